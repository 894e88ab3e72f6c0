#include "campaign/acceptance.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include "fit/fit_judgement.h"
#include "numerics/robust_statistics.h"
#include "reconstruction/recording_format.h"

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

std::string fixed(double v, int digits = 2) {
  if (!std::isfinite(v)) return "none";
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

// ---- Recordings and their problems ----

using chip_config = std::pair<std::string, std::string>;

// The rest of the first note that begins with `prefix`, without its final full stop; none when
// no note does.
std::optional<std::string> note_after(const std::string& notes, const std::string& prefix) {
  size_t line_start = 0;
  while (line_start <= notes.size()) {
    size_t line_end = notes.find('\n', line_start);
    if (line_end == std::string::npos) line_end = notes.size();
    std::string_view line(notes.data() + line_start, line_end - line_start);
    if (line.starts_with(prefix)) {
      std::string_view rest = line.substr(prefix.size());
      if (rest.ends_with('.')) rest.remove_suffix(1);
      return std::string(rest);
    }
    line_start = line_end + 1;
  }
  return std::nullopt;
}

// What follows "PATH: " in `text`, where PATH is the recording's path, or else its last ": ".
std::string after_path(const std::string& text, const std::string& path) {
  size_t at = text.find(path + ": ");
  if (at != std::string::npos) return text.substr(at + path.size() + 2);
  at = text.rfind(": ");
  return at == std::string::npos ? text : text.substr(at + 2);
}

// ---- The robust rule ----

bool measured(const stored_channel& c, const channel_quantity& q) {
  return c.fit.verdict == fit_verdict::good && std::isfinite(c.fit.*q.value);
}

void add_robust(config_population& s) {
  s.ready = s.sound.size() >= static_cast<size_t>(min_robust_chips);
  for (const stored_recording* r : s.sound)
    for (auto& row : s.deviations[r->id]) row.fill(not_a_number);
  for (size_t q = 0; q < quantity_count; ++q) {
    const channel_quantity& quantity = channel_quantities()[q];
    std::array<double, channel_count> none;
    none.fill(not_a_number);
    chip_channel_values values(s.sound.size(), none);
    for (size_t i = 0; i < s.sound.size(); ++i)
      for (const stored_channel& c : s.sound[i]->channels)
        if (c.channel >= 0 && c.channel < channel_count && measured(c, quantity))
          values[i][static_cast<size_t>(c.channel)] = c.fit.*quantity.value;
    robust_deviations r = robust_deviations_of(values, quantity.relative);
    s.sigma[q] = s.ready ? r.sigma : not_a_number;
    if (!s.ready) continue;
    for (size_t i = 0; i < s.sound.size(); ++i)
      for (size_t ch = 0; ch < static_cast<size_t>(channel_count); ++ch)
        s.deviations[s.sound[i]->id][ch][q] = r.deviation[i][ch];
  }
}

// ---- One chip ----

struct config_context {
  std::string name;
  const config_limits* limits = nullptr;  // null when the file does not name it
  const config_population* population = nullptr;
};

std::string verdict_words(std::string_view verdict) {
  static const std::map<std::string_view, const char*> words = {
      {"no_usable_points", "no usable points"},
      {"too_few_points", "too few points to fit"},
      {"no_pulse", "no pulse"},
      {"saturated", "saturated"},
      {"poor_fit", "poor fit"},
      {"not_converged", "fit did not converge"},
      {"unphysical", "unphysical fit"},
      {"few_events", "too few events for trustworthy errors"},
  };
  auto it = words.find(verdict);
  return it == words.end() ? std::string(verdict) : it->second;
}

// What could not be judged in a chip: quantities without a value, channels without enough
// other chips to compare with.
struct unjudged {
  std::set<std::string> unmeasured;
  std::vector<int> uncompared;
  bool empty() const { return unmeasured.empty() && uncompared.empty(); }
};

// Flags the quantities of channel `c`; notes in `missed` what had nothing to be judged by.
void check_channel(const stored_channel& c, const config_context& ctx, double k,
                   const deviation_grid* deviations, std::vector<channel_flag>& flags,
                   unjudged& missed) {
  for (size_t q = 0; q < quantity_count; ++q) {
    const channel_quantity& quantity = channel_quantities()[q];
    double v = c.fit.*quantity.value;
    const quantity_range* range =
        ctx.limits ? ctx.limits->range_for(c.channel, quantity.name) : nullptr;
    bool robust = !ctx.limits || ctx.limits->robust;
    if (!range && !robust) continue;
    if (!std::isfinite(v) || (!range && quantity.relative && !(v > 0))) {
      missed.unmeasured.insert(quantity.name);
      continue;
    }
    double d = deviations ? (*deviations)[static_cast<size_t>(c.channel)][q] : not_a_number;
    robust_limit limit{ctx.population->sigma[q], k, 0.0, quantity.upper_only};
    if (!judge_value(c.channel, quantity.name, quantity.unit, quantity.relative, v, range, robust,
                     d, limit, flags) &&
        (missed.uncompared.empty() || missed.uncompared.back() != c.channel))
      missed.uncompared.push_back(c.channel);
  }
}

std::vector<std::string> unjudged_reasons(const unjudged& missed, const config_population& p,
                                          const std::string& config) {
  if (!p.ready)
    return {"only " + std::to_string(p.sound.size()) + " chips in " + config +
            " have sound recordings, the campaign's rule needs " +
            std::to_string(min_robust_chips) + " (or limits: varnel-campaign limits)"};
  std::vector<std::string> out;
  if (!missed.uncompared.empty())
    out.push_back(channels_text(missed.uncompared) + ": fewer than " +
                  std::to_string(min_robust_chips) + " chips with a good fit to compare with");
  for (const std::string& q : missed.unmeasured) out.push_back(q + " not measured");
  return out;
}

chip_verdict judge_chip(const stored_recording& r, const config_context& ctx,
                        const acceptance_limits& limits) {
  chip_verdict v;
  v.chip = r.chip;
  v.config = r.config;
  v.recording_id = r.id;
  v.recording_path = r.path;
  v.max_flagged_channels = ctx.limits && ctx.limits->max_flagged_channels
                               ? *ctx.limits->max_flagged_channels
                               : limits.max_flagged_channels;
  std::optional<int> min_events = ctx.limits ? ctx.limits->min_events : std::nullopt;
  v.reasons = recording_problems(r, ctx.population->usual_events, min_events);
  if (!v.reasons.empty()) {
    v.outcome = chip_outcome::retest;
    return v;
  }
  auto own = ctx.population->deviations.find(r.id);
  const deviation_grid* deviations =
      own == ctx.population->deviations.end() ? nullptr : &own->second;
  unjudged missed;
  for (const stored_channel& c : r.channels) {
    if (c.channel < 0 || c.channel >= channel_count) continue;
    if (c.fit.verdict != fit_verdict::good) {
      std::string name(verdict_name(c.fit.verdict));
      v.flags.push_back(
          {c.channel, "verdict", "", false, "verdict", false, not_a_number, "good", name});
      continue;
    }
    check_channel(c, ctx, limits.k, deviations, v.flags, missed);
  }
  decide_outcome(v, missed.empty() ? std::vector<std::string>{}
                                   : unjudged_reasons(missed, *ctx.population, ctx.name));
  return v;
}

// ---- Reasons in words ----

struct flag_group {
  std::vector<int> channels;
  std::vector<const channel_flag*> flags;
};

// "3.10", "3.10, 4.20" or, for more than four, "3.10 to 7.90".
std::string values_text(std::vector<double> values, int digits) {
  if (values.size() == 1) return fixed(values[0], digits);
  if (values.size() <= 4) {
    std::string text;
    for (double x : values) text += (text.empty() ? "" : ", ") + fixed(x, digits);
    return text;
  }
  auto [low, high] = std::minmax_element(values.begin(), values.end());
  return fixed(*low, digits) + " to " + fixed(*high, digits);
}

std::string group_text(const flag_group& g) {
  const channel_flag& f = *g.flags.front();
  std::string who = channels_text(g.channels) + ": ";
  if (f.kind == "verdict")
    return who + verdict_words(f.verdict) + " (fit verdict " + f.verdict + ")";
  std::string limit = f.limit;
  std::vector<double> values;
  bool doubled = f.relative && f.high;
  for (const channel_flag* other : g.flags) {
    if (other->limit != f.limit) limit = "per channel";
    values.push_back(std::fabs(other->value));
    doubled = doubled && other->value >= 100.0;
  }
  std::string side = f.high ? " above" : " below";
  if (f.kind == "range")
    return who + f.quantity + side + " its range (" + values_text(values, 2) + " " + f.unit +
           "; limit " + limit + ")";
  if (doubled) {
    // A value at least twice the median reads better as a multiple of it.
    for (double& v : values) v = 1.0 + v / 100.0;
    return who + f.quantity + " " + values_text(values, 1) +
           " times the campaign's median (limit +" + limit + ")";
  }
  std::string unit = f.relative ? " %" : " " + f.unit;
  return who + f.quantity + " " + values_text(values, f.relative ? 1 : 2) + unit + side +
         " the campaign's median (limit " + limit + ")";
}

}  // namespace

std::vector<std::string> grouped_reasons(const std::vector<channel_flag>& flags) {
  // Bad fit verdicts first, then ranges, then the robust rule, each in the quantities' order.
  std::map<std::tuple<int, size_t, std::string, bool>, flag_group> groups;
  for (const channel_flag& f : flags) {
    int order = f.kind == "verdict" ? 0 : f.kind == "range" ? 1 : 2;
    std::string what = f.kind == "verdict" ? f.verdict : f.quantity;
    flag_group& g = groups[{order, quantity_order(f.quantity), what, f.high}];
    g.channels.push_back(f.channel);
    g.flags.push_back(&f);
  }
  std::vector<std::string> out;
  for (const auto& [key, g] : groups) out.push_back(group_text(g));
  return out;
}

namespace {

// ---- The campaign ----

// The current recording of each chip and configuration.
std::map<chip_config, const stored_recording*> current_of(
    const std::vector<stored_recording>& recordings) {
  std::map<chip_config, const stored_recording*> current;
  for (const stored_recording& r : recordings)
    if (r.current) current[{r.chip, r.config}] = &r;
  return current;
}

const config_limits* limits_of(const acceptance_limits& limits, const std::string& config) {
  auto named = limits.configs.find(config);
  return named == limits.configs.end() ? nullptr : &named->second;
}

std::vector<std::string> limits_warnings(const acceptance_limits& limits,
                                         const std::set<std::string>& configs) {
  std::vector<std::string> out;
  std::string have;
  for (const std::string& c : configs) have += (have.empty() ? "" : ", ") + c;
  for (const auto& [name, c] : limits.configs)
    if (!configs.count(name))
      out.push_back("limits " + limits.file + " line " + std::to_string(c.line) +
                    ": configuration \"" + name + "\" is not in the campaign (it has " +
                    (have.empty() ? "none" : have) + ")");
  return out;
}

}  // namespace

const char* outcome_name(chip_outcome o) {
  switch (o) {
    case chip_outcome::pass:
      return "pass";
    case chip_outcome::fail:
      return "fail";
    case chip_outcome::retest:
      return "retest";
    case chip_outcome::not_judged:
      break;
  }
  return "not judged";
}

void decide_outcome(chip_verdict& v, const std::vector<std::string>& unjudged) {
  std::set<int> flagged;
  for (const channel_flag& f : v.flags) flagged.insert(f.channel);
  v.flagged_channels = static_cast<int>(flagged.size());
  if (v.flagged_channels > v.max_flagged_channels) {
    v.outcome = chip_outcome::fail;
    v.reasons = grouped_reasons(v.flags);
  } else if (!unjudged.empty()) {
    v.outcome = chip_outcome::not_judged;
    v.reasons = unjudged;
  } else {
    v.outcome = chip_outcome::pass;
  }
}

bool judge_value(int channel, const std::string& name, const std::string& unit, bool relative,
                 double value, const quantity_range* range, bool robust, double deviation,
                 const robust_limit& limit, std::vector<channel_flag>& flags) {
  channel_flag f;
  f.channel = channel;
  f.quantity = name;
  f.unit = unit;
  f.relative = relative;
  if (range) {
    if (value >= range->min && value <= range->max) return true;
    f.kind = "range";
    f.high = value > range->max;
    f.value = value;
    f.limit = fixed(range->min) + " to " + fixed(range->max);
    flags.push_back(f);
    return true;
  }
  if (!robust) return true;
  // Without a spread, a least limit still says what no chip may pass.
  if (!std::isfinite(deviation) || !(limit.sigma > 0 || limit.least > 0)) return false;
  double most = std::max(limit.k * limit.sigma, limit.least);
  if (limit.upper_only ? deviation <= most : std::fabs(deviation) <= most) return true;
  double scale = relative ? 100.0 : 1.0;
  f.kind = "robust";
  f.high = deviation > 0;
  f.value = deviation * scale;
  f.limit = fixed(most * scale, relative ? 1 : 2) + " " + (relative ? "%" : unit);
  flags.push_back(f);
  return true;
}

std::vector<std::string> recording_problems(const stored_recording& r, int64_t usual_events,
                                            std::optional<int> min_events) {
  if (r.status != 0)
    return {"not analysed: " +
            (r.message.empty() ? std::string("the analysis failed") : r.message)};
  std::vector<std::string> out;
  if (auto stop = note_after(r.notes, "Reading stopped at value ")) {
    // "N of PATH: REASON" without the path, which the reader knows.
    out.push_back("reading stopped at value " + stop->substr(0, stop->find(' ')) + ": " +
                  after_path(*stop, r.path));
  }
  if (auto last = note_after(r.notes, "Last row of ")) {
    size_t open = last->rfind(" (");
    size_t close = last->rfind(')');
    out.push_back("last row incomplete" + (open == std::string::npos || close < open
                                               ? std::string()
                                               : last->substr(open, close - open + 1)));
  }
  int64_t events = r.events_completed;
  if (events < min_events_for_errors)
    out.push_back("only " + std::to_string(events) + " events, fewer than the " +
                  std::to_string(min_events_for_errors) + " that trustworthy errors need");
  else if (min_events && events < *min_events)
    out.push_back(std::to_string(events) + " events, the limits ask for at least " +
                  std::to_string(*min_events));
  else if (!min_events && usual_events > 0 &&
           static_cast<double>(events) < min_event_share * static_cast<double>(usual_events))
    out.push_back(std::to_string(events) + " events, the campaign's recordings of " + r.config +
                  " have " + std::to_string(usual_events));
  if (auto like = note_after(r.notes, "This recording looks like ")) {
    out.push_back("the configuration looks wrong: the recording looks like " +
                  like->substr(0, like->find(':')));
  } else if (auto poor = note_after(r.notes, "Most channels fit the pulse shape poorly (")) {
    // The note of earlier builds, still in databases they filled.
    out.push_back("the configuration looks wrong: most channels fit the pulse shape poorly (" +
                  poor->substr(0, poor->find(')')) + ")");
  }
  return out;
}

std::map<std::string, config_population> campaign_populations(
    const std::vector<stored_recording>& recordings, const acceptance_limits& limits) {
  std::map<std::string, std::vector<const stored_recording*>> by_config;
  for (const auto& [key, r] : current_of(recordings)) by_config[key.second].push_back(r);
  std::map<std::string, config_population> out;
  for (const auto& [config, rs] : by_config) {
    config_population& p = out[config];
    std::vector<double> events;
    for (const stored_recording* r : rs)
      if (r->status == 0) events.push_back(static_cast<double>(r->events_completed));
    if (events.size() >= 3) p.usual_events = static_cast<int64_t>(median(events));
    const config_limits* c = limits_of(limits, config);
    std::optional<int> min_events = c ? c->min_events : std::nullopt;
    for (const stored_recording* r : rs)
      if (recording_problems(*r, p.usual_events, min_events).empty()) p.sound.push_back(r);
    add_robust(p);
  }
  return out;
}

std::vector<std::string> own_problems(const recording_record& r) {
  stored_recording s;
  s.path = r.path;
  s.config = r.config;
  s.status = r.status;
  s.message = r.message;
  for (const std::string& n : r.notes) s.notes += (s.notes.empty() ? "" : "\n") + n;
  s.events_completed = r.summary.events_completed;
  return recording_problems(s, 0, std::nullopt);
}

campaign_judgement judge_campaign(const std::vector<stored_recording>& recordings,
                                  const acceptance_limits& limits) {
  std::map<chip_config, std::vector<std::string>> superseded;
  std::set<std::string> configs;
  for (const stored_recording& r : recordings) {
    configs.insert(r.config);
    if (!r.current) superseded[{r.chip, r.config}].push_back(r.path);
  }
  std::map<std::string, config_population> populations = campaign_populations(recordings, limits);
  campaign_judgement out;
  out.warnings = limits_warnings(limits, configs);
  for (const auto& [key, r] : current_of(recordings)) {
    config_context ctx{key.second, limits_of(limits, key.second), &populations[key.second]};
    chip_verdict v = judge_chip(*r, ctx, limits);
    v.superseded = superseded[key];
    out.verdicts.push_back(std::move(v));
  }
  return out;
}

std::string rule_text(const acceptance_limits& limits) {
  char k[32];
  std::snprintf(k, sizeof k, "%g", limits.k);
  std::string text;
  if (!limits.file.empty()) text = "Limits from " + limits.file + ". ";
  text +=
      "A chip needs a retest when its recording was not analysed, reading stopped early, "
      "its last row is incomplete, it has fewer than " +
      std::to_string(min_events_for_errors) + " events or fewer than " +
      fixed(100 * min_event_share, 0) +
      " % of its configuration's usual count, or its configuration looks wrong. Otherwise "
      "a channel is flagged when its fit verdict is not \"good\", when a quantity leaves "
      "its range, and, for a quantity without one, when it lies more than k = " +
      std::string(k) +
      " robust standard deviations from the median of that channel over the other chips "
      "(amplitude, noise and errors as ratios; noise and errors only above), the robust "
      "standard deviation pooled over the configuration's channels and judged with at "
      "least " +
      std::to_string(min_robust_chips) + " chips. A chip fails with more than " +
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
    text += (i ? ", " : "") + std::to_string(sorted[i]);
    if (j >= i + 2)
      text += "-" + std::to_string(sorted[j]);
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
    if (f.channel == channel) own.push_back(f);
  std::string text;
  for (const std::string& r : grouped_reasons(own)) text += (text.empty() ? "" : "; ") + r;
  return text;
}
