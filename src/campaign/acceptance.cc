#include "campaign/acceptance.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

namespace {

struct quantity {
  const char* name;
  double stored_channel::*value;
  std::optional<quantity_range> config_limits::*range;
};

constexpr quantity quantities[] = {
    {"rise_time", &stored_channel::rise_time, &config_limits::rise_time},
    {"amplitude", &stored_channel::amplitude, &config_limits::amplitude},
    {"time_stamp", &stored_channel::time_stamp, &config_limits::time_stamp},
};
constexpr size_t quantity_count = std::size(quantities);
constexpr int channel_count = 32;
// The robust rule needs a few chips before a median and a spread mean anything.
constexpr size_t min_robust_values = 3;
// MAD times this estimates the standard deviation of normally distributed values.
constexpr double mad_to_sigma = 1.4826;

// The median and robust standard deviation of one channel's quantity over the campaign.
struct robust_spread {
  double median = 0.0, sigma = 0.0;
  bool usable = false;
};

using campaign_spreads = std::array<std::array<robust_spread, quantity_count>, channel_count>;

std::string number_text(double v) {
  if (!std::isfinite(v)) return "none";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", v);
  return text;
}

double median_of(std::vector<double> v) {
  size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
  double upper = v[mid];
  if (v.size() % 2) return upper;
  return (upper + *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid))) / 2;
}

robust_spread spread_of(const std::vector<double>& values) {
  if (values.size() < min_robust_values) return {};
  double m = median_of(values);
  std::vector<double> deviations;
  for (double v : values) deviations.push_back(std::fabs(v - m));
  return {m, mad_to_sigma * median_of(deviations), true};
}

bool later(const stored_recording& a, const stored_recording& b) {
  return a.mtime_ns.value_or(0) != b.mtime_ns.value_or(0)
             ? a.mtime_ns.value_or(0) > b.mtime_ns.value_or(0)
             : a.id > b.id;
}

// The latest successful recording of each chip and configuration, else the latest failed one.
std::map<std::pair<std::string, std::string>, const stored_recording*> judged_recordings(
    const std::vector<stored_recording>& recordings) {
  std::map<std::pair<std::string, std::string>, const stored_recording*> chosen;
  for (const stored_recording& r : recordings) {
    const stored_recording*& c = chosen[{r.chip, r.config}];
    bool better = !c || (r.status == 0 && c->status != 0) ||
                  ((r.status == 0) == (c->status == 0) && later(r, *c));
    if (better) c = &r;
  }
  return chosen;
}

campaign_spreads spreads_of(const std::vector<const stored_recording*>& judged) {
  campaign_spreads s{};
  for (size_t q = 0; q < quantity_count; ++q) {
    std::array<std::vector<double>, channel_count> values;
    for (const stored_recording* r : judged)
      for (const stored_channel& c : r->channels) {
        double v = c.*quantities[q].value;
        if (c.channel >= 0 && c.channel < channel_count && c.verdict == "good" && std::isfinite(v))
          values[static_cast<size_t>(c.channel)].push_back(v);
      }
    for (int ch = 0; ch < channel_count; ++ch)
      s[static_cast<size_t>(ch)][q] = spread_of(values[static_cast<size_t>(ch)]);
  }
  return s;
}

void check_range(const stored_channel& c, const quantity& q, const quantity_range& r,
                 std::vector<channel_failure>& out) {
  double v = c.*q.value;
  if (std::isfinite(v) && v >= r.min && v <= r.max) return;
  out.push_back(
      {c.channel, q.name, number_text(v), number_text(r.min) + " to " + number_text(r.max)});
}

void check_spread(const stored_channel& c, const quantity& q, const robust_spread& s, double k,
                  std::vector<channel_failure>& out) {
  double v = c.*q.value;
  if (!s.usable || (std::isfinite(v) && std::fabs(v - s.median) <= k * s.sigma)) return;
  out.push_back({c.channel, q.name, number_text(v),
                 number_text(s.median) + " +/- " + number_text(k * s.sigma)});
}

chip_verdict judge(const stored_recording& r, const acceptance_limits& limits,
                   const campaign_spreads* spreads) {
  chip_verdict v;
  v.chip = r.chip;
  v.config = r.config;
  v.recording_id = r.id;
  v.recording_path = r.path;
  auto table = limits.configs.find(r.config);
  const config_limits* ranges = table == limits.configs.end() ? nullptr : &table->second;
  v.max_flagged_channels = ranges && ranges->max_flagged_channels ? *ranges->max_flagged_channels
                                                                  : limits.max_flagged_channels;
  if (r.status != 0) {
    v.reason = r.message.empty() ? "the analysis failed" : r.message;
    return v;
  }
  for (const stored_channel& c : r.channels) {
    if (c.verdict != "good") v.failures.push_back({c.channel, "verdict", c.verdict, "good"});
    for (size_t q = 0; q < quantity_count; ++q) {
      if (ranges && ranges->*quantities[q].range)
        check_range(c, quantities[q], *(ranges->*quantities[q].range), v.failures);
      else if (!ranges && c.channel >= 0 && c.channel < channel_count)
        check_spread(c, quantities[q], (*spreads)[static_cast<size_t>(c.channel)][q], limits.k,
                     v.failures);
    }
  }
  std::set<int> flagged;
  for (const channel_failure& f : v.failures) flagged.insert(f.channel);
  v.flagged_channels = static_cast<int>(flagged.size());
  v.outcome = v.flagged_channels > v.max_flagged_channels ? chip_outcome::fail : chip_outcome::pass;
  return v;
}

}  // namespace

const char* outcome_name(chip_outcome o) {
  switch (o) {
    case chip_outcome::pass:
      return "pass";
    case chip_outcome::fail:
      return "fail";
    case chip_outcome::not_analysed:
      break;
  }
  return "not analysed";
}

std::vector<chip_verdict> judge_campaign(const std::vector<stored_recording>& recordings,
                                         const acceptance_limits& limits) {
  auto chosen = judged_recordings(recordings);
  std::map<std::string, std::vector<const stored_recording*>> by_config;
  for (const auto& [key, r] : chosen)
    if (r->status == 0) by_config[key.second].push_back(r);
  std::map<std::string, campaign_spreads> spreads;
  for (const auto& [config, judged] : by_config) spreads[config] = spreads_of(judged);
  std::vector<chip_verdict> out;
  for (const auto& [key, r] : chosen) out.push_back(judge(*r, limits, &spreads[key.second]));
  return out;
}

std::string rule_text(const acceptance_limits& limits) {
  std::string text;
  for (const auto& [config, c] : limits.configs) {
    text += "Configuration " + config + " (limits from " + limits.file + "):";
    for (const quantity& q : quantities)
      if (c.*q.range)
        text += std::string(" ") + q.name + " " + number_text((c.*q.range)->min) + " to " +
                number_text((c.*q.range)->max) + ";";
    text += " at most " +
            std::to_string(c.max_flagged_channels.value_or(limits.max_flagged_channels)) +
            " flagged channels. ";
  }
  char k[32];
  std::snprintf(k, sizeof k, "%g", limits.k);
  text +=
      std::string(limits.configs.empty() ? "Every configuration" : "Every other configuration") +
      ": a channel is flagged when its rise time, amplitude or time stamp lies more than k = " + k +
      " robust standard deviations (1.4826 x MAD) from the median of that channel over the "
      "campaign's chips (with at least 3 good values); at most " +
      std::to_string(limits.max_flagged_channels) +
      " flagged channels. Everywhere a channel whose fit verdict is not \"good\" is flagged.";
  return text;
}

std::string verdict_line(const chip_verdict& v) {
  std::string line = v.chip + " " + v.config + " " + outcome_name(v.outcome);
  if (v.outcome == chip_outcome::not_analysed) return line + ": " + v.reason;
  if (v.outcome == chip_outcome::pass) return line;
  line += ":";
  for (size_t i = 0; i < v.failures.size(); ++i) {
    const channel_failure& f = v.failures[i];
    line += (i ? "; ch " : " ch ") + std::to_string(f.channel) + " " + f.quantity + " " + f.value +
            " (limit " + f.limit + ")";
  }
  return line;
}
