#include "campaign/judge/reason_text.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "common/number_text.h"
#include "fit/fit_judgement.h"
#include "reconstruction/recording_format.h"

namespace {

struct flag_group {
  std::vector<int> channels;
  std::vector<const channel_flag*> flags;
};

// A value or limit of a reason, "none" for a bound that is not finite.
std::string figure(double v, int decimals = 2) {
  return std::isfinite(v) ? fixed_text(v, decimals) : "none";
}

// The decimals of a robust flag's deviation and limit: a tenth of a percent for a ratio.
int robust_decimals(const channel_flag& f) {
  return f.relative ? 1 : 2;
}

// "140.00 to 175.00" for a range; for the robust rule "4.87 ns" or, for a ratio, "4.7 %".
std::string limit_text(const channel_flag& f) {
  if (f.kind == flag_kind::range) return figure(f.range.min) + " to " + figure(f.range.max);
  return figure(f.most, robust_decimals(f)) + " " + (f.relative ? "%" : f.unit);
}

bool same_number(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

bool same_limit(const channel_flag& a, const channel_flag& b) {
  return same_number(a.range.min, b.range.min) && same_number(a.range.max, b.range.max) &&
         same_number(a.most, b.most);
}

// "3.10", "3.10, 4.20" or, for more than four, "3.10 to 7.90".
std::string values_text(std::vector<double> values, int digits) {
  if (values.size() == 1) return figure(values[0], digits);
  if (values.size() <= 4) {
    std::string text;
    for (double x : values) text += (text.empty() ? "" : ", ") + figure(x, digits);
    return text;
  }
  auto [low, high] = std::minmax_element(values.begin(), values.end());
  return figure(*low, digits) + " to " + figure(*high, digits);
}

// What a flagged value is wrong with, for flag_kind::invalid.
std::string invalid_words(const channel_flag& f) {
  if (std::isnan(f.value)) return f.quantity + " not a number";
  if (std::isinf(f.value)) return f.quantity + " infinite";
  return f.quantity + " " + figure(f.value) +
         (f.quantity == "amplitude" ? ": a negative pulse" : ": not positive");
}

std::string group_text(const flag_group& g) {
  const channel_flag& f = *g.flags.front();
  const bool whole_chip = f.channel < 0;
  std::string who = whole_chip ? (f.quantity == "common_mode_noise" ? "" : "all channels: ")
                               : channels_text(g.channels) + ": ";
  if (f.kind == flag_kind::verdict)
    return who + std::string(verdict_words(f.verdict)) + " (fit verdict " +
           std::string(verdict_name(f.verdict)) + ")";
  if (f.kind == flag_kind::invalid) return who + invalid_words(f);
  std::string limit = limit_text(f);
  std::vector<double> values;
  bool doubled = f.relative && f.high;
  for (const channel_flag* other : g.flags) {
    if (!same_limit(*other, f)) limit = "per channel";
    values.push_back(std::fabs(other->value));
    doubled = doubled && other->value >= 100.0;
  }
  std::string side = f.high ? " above" : " below";
  if (f.kind == flag_kind::range)
    return who + f.quantity + side + " its range (" + values_text(values, 2) + " " + f.unit +
           "; limit " + limit + ")";
  const bool within = f.kind == flag_kind::within_chip;
  if (doubled) {
    // A value at least twice the others' reads better as a multiple of it.
    for (double& v : values) v = 1.0 + v / 100.0;
    const char* of = whole_chip ? " the other chips'"
                     : within   ? " the other chips', beyond its chip's offset"
                                : " the campaign's median";
    return who + f.quantity + " " + values_text(values, 1) + " times" + of + " (limit +" + limit +
           ")";
  }
  const char* others = whole_chip ? " the other chips"
                       : within   ? " the other chips, beyond its chip's offset"
                                  : " the campaign's median";
  std::string unit = f.relative ? " %" : " " + f.unit;
  return who + f.quantity + " " + values_text(values, robust_decimals(f)) + unit + side + others +
         " (limit " + limit + ")";
}

int kind_order(flag_kind k) {
  switch (k) {
    case flag_kind::chip_offset:
      return 0;
    case flag_kind::verdict:
      return 1;
    case flag_kind::invalid:
      return 2;
    case flag_kind::range:
      return 3;
    case flag_kind::robust:
    case flag_kind::within_chip:
      break;
  }
  return 4;
}

}  // namespace

std::vector<std::string> grouped_reasons(const std::vector<channel_flag>& flags) {
  // The chip's own first, then bad fit verdicts, figures gone wrong, ranges and the robust
  // rule, each in the quantities' order.
  std::map<std::tuple<int, size_t, std::string, bool>, flag_group> groups;
  for (const channel_flag& f : flags) {
    std::string what =
        f.kind == flag_kind::verdict ? std::string(verdict_name(f.verdict)) : f.quantity;
    flag_group& g = groups[{kind_order(f.kind), quantity_order(f.quantity), what, f.high}];
    g.channels.push_back(f.channel);
    g.flags.push_back(&f);
  }
  std::vector<std::string> out;
  for (const auto& [key, g] : groups) out.push_back(group_text(g));
  return out;
}

std::string rule_text(const acceptance_limits& limits) {
  std::string text;
  if (!limits.file.empty()) text = "Limits from " + limits.file + ". ";
  text +=
      "A chip needs a retest when its recording was not analysed, reading stopped early, "
      "its last row is incomplete, gaps reach into its first pulse window, it looks like "
      "another configuration's, or it has fewer than " +
      std::to_string(min_events_for_errors) + " events or fewer than " +
      fixed_text(100 * min_event_share, 0) +
      " % of its configuration's usual count. Otherwise a channel is flagged when its fit "
      "verdict is not \"good\", when a figure is not a number, when a quantity leaves its "
      "range (headroom at least " +
      fixed_text(default_min_headroom, 0) +
      " ADC counts unless the limits say otherwise), and, for a quantity without one, in two "
      "levels: the chip as a whole when its offset from the other chips (the median over its "
      "channels) lies more than k = " +
      significant_text(limits.k) +
      " robust standard deviations of the chips' offsets, times 1 + 5 / chips, from zero; a "
      "channel when, beyond its chip's offset, it lies more than k robust standard deviations "
      "of the channels' own deviations from the other chips' same channel (amplitude, noise "
      "and errors as ratios; noise, misfit and errors only above), judged with at least " +
      std::to_string(min_robust_chips) +
      " chips. A chip fails when it is flagged as a whole "
      "or with more than " +
      std::to_string(limits.max_flagged_channels) + " flagged channels";
  for (const auto& [config, c] : limits.configs)
    if (c.max_flagged_channels && *c.max_flagged_channels != limits.max_flagged_channels)
      text += " (" + std::to_string(*c.max_flagged_channels) + " in " + config + ")";
  return text + ".";
}

std::string channels_text(const std::vector<int>& channels) {
  std::vector<int> sorted = channels;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  if (sorted.size() == static_cast<size_t>(channel_count))
    return "all " + std::to_string(channel_count) + " channels";
  if (sorted.size() == 1) return "channel " + std::to_string(sorted[0]);
  std::string text = "channels ";
  for (size_t i = 0; i < sorted.size();) {
    size_t j = i;
    while (j + 1 < sorted.size() && sorted[j + 1] == sorted[j] + 1) ++j;
    // Appended: GCC 12 warns falsely of an overlapping copy for a text added in front of a
    // temporary.
    text.append(i ? ", " : "").append(std::to_string(sorted[i]));
    if (j >= i + 2)
      text.append("-").append(std::to_string(sorted[j]));
    else
      j = i;
    i = j + 1;
  }
  return text;
}

std::string verdict_line(const chip_verdict& v) {
  std::string line = v.chip + " " + v.config + " " + outcome_name(v.outcome);
  for (size_t i = 0; i < v.reasons.size(); ++i) line += (i ? "; " : ": ") + v.reasons[i];
  return line;
}

std::string channel_reason(const chip_verdict& v, int channel) {
  std::vector<channel_flag> own;
  for (const channel_flag& f : v.flags)
    if (f.channel == channel || f.channel < 0) own.push_back(f);
  std::string text;
  for (const std::string& r : grouped_reasons(own)) text += (text.empty() ? "" : "; ") + r;
  return text;
}

std::string chip_line(const chip_summary& s) {
  std::string line = s.chip + " " + outcome_name(s.outcome);
  for (size_t i = 0; i < s.reasons.size(); ++i) line += (i ? "; " : ": ") + s.reasons[i];
  return line;
}
