#include "campaign/judge/acceptance.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>

#include "campaign/judge/reason_text.h"
#include "common/number_text.h"
#include "fit/fit_judgement.h"
#include "numerics/robust_statistics.h"
#include "reconstruction/recording_format.h"

namespace {

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// ---- Recordings and their problems ----

using chip_config = std::pair<std::string, std::string>;

// ---- One chip ----

struct config_context {
  std::string name;
  const config_limits* limits = nullptr;  // null when the file does not name it
  const population_stats* population = nullptr;
  double k = 5.0;
};

// What could not be judged in a chip: quantities without a value, channels without enough
// other chips to compare with.
struct unjudged {
  std::set<std::string> unmeasured;
  std::vector<int> uncompared;
  bool empty() const { return unmeasured.empty() && uncompared.empty(); }
};

judged_quantity judged(const channel_quantity& q) {
  return {q.name, q.unit, q.relative, q.scale};
}

// The range `quantity` has for `channel`: the limits' own, else its default; null for none.
const quantity_range* range_of(const config_context& ctx, int channel,
                               const channel_quantity& quantity) {
  if (ctx.limits)
    if (const quantity_range* r = ctx.limits->range_for(channel, quantity.name)) return r;
  return quantity.default_range ? &*quantity.default_range : nullptr;
}

bool robust_for(const config_context& ctx, const channel_quantity& quantity) {
  return (!ctx.limits || ctx.limits->robust) && !quantity.default_range;
}

// Flags the quantities of channel `c`; notes in `missed` what had nothing to be judged by.
void check_channel(const stored_channel& c, const config_context& ctx,
                   const deviation_grid& deviations, std::vector<channel_flag>& flags,
                   unjudged& missed) {
  for (size_t q = 0; q < quantity_count; ++q) {
    const channel_quantity& quantity = channel_quantities()[q];
    double v = c.fit.*quantity.value;
    const quantity_range* range = range_of(ctx, c.channel, quantity);
    bool robust = robust_for(ctx, quantity);
    if (!range && !robust) continue;
    if (std::isnan(v) && quantity.evidence) {
      missed.unmeasured.insert(quantity.name);
      continue;
    }
    double d = deviations[static_cast<size_t>(c.channel)][q];
    robust_limit limit{ctx.population->within_sigma[q], ctx.k, quantity.least, quantity.upper_only,
                       flag_kind::within_chip};
    if (!judge_value({c.channel, judged(quantity), v, range, robust, d, limit}, flags) &&
        (missed.uncompared.empty() || missed.uncompared.back() != c.channel))
      missed.uncompared.push_back(c.channel);
  }
}

// Flags the chip as a whole where its offset from the other chips in a quantity without a
// range for the whole configuration lies beyond the chip level's limit.
void check_chip(const chip_deviations& own, const config_context& ctx,
                std::vector<channel_flag>& flags) {
  const population_stats& p = *ctx.population;
  for (size_t q = 0; q < quantity_count; ++q) {
    const channel_quantity& quantity = channel_quantities()[q];
    if (!robust_for(ctx, quantity) || (ctx.limits && ctx.limits->ranges.count(quantity.name)))
      continue;
    const double offset = own.chip_offset[q];
    if (!std::isfinite(offset)) continue;
    robust_limit limit{p.chip_sigma[q] * small_sample_factor(p.offset_chips[q]), ctx.k,
                       quantity.least, quantity.upper_only, flag_kind::chip_offset};
    // The chip's level: a ratio for a relative quantity, else the offset itself.
    const double level = quantity.relative ? 1.0 + offset : offset;
    judge_value({-1, judged(quantity), level, nullptr, true, offset, limit}, flags);
  }
}

// Flags a recording whose common-mode noise leaves its range, or lies too far above the other
// chips'.
void check_common_mode(const stored_recording& r, const chip_deviations& own,
                       const config_context& ctx, std::vector<channel_flag>& flags) {
  const population_stats& p = *ctx.population;
  const quantity_range* range =
      ctx.limits && ctx.limits->common_mode_noise ? &*ctx.limits->common_mode_noise : nullptr;
  bool robust = !ctx.limits || ctx.limits->robust;
  if (std::isnan(r.common_mode_noise) || (!range && !robust)) return;
  double d = own.common_mode;
  int chips = static_cast<int>(p.sound_chips);
  robust_limit limit{p.common_mode_sigma * small_sample_factor(chips), ctx.k,
                     least_common_mode_excess, true, flag_kind::chip_offset};
  judge_value(
      {-1, {"common_mode_noise", "ADC", false, 1.0}, r.common_mode_noise, range, robust, d, limit},
      flags);
}

std::vector<std::string> unjudged_reasons(const unjudged& missed, const population_stats& p,
                                          const std::string& config) {
  if (!p.ready)
    return {"only " + std::to_string(p.sound_chips) + " chips in " + config +
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
  v.problems = recording_problems(r, ctx.population->usual_events, min_events);
  if (!v.problems.empty()) {
    v.outcome = chip_outcome::retest;
    v.reasons = problem_words(v.problems);
    return v;
  }
  const chip_deviations own = deviations_of(r, *ctx.population);
  check_chip(own, ctx, v.flags);
  check_common_mode(r, own, ctx, v.flags);
  unjudged missed;
  for (const stored_channel& c : r.channels) {
    if (c.channel < 0 || c.channel >= channel_count) continue;
    if (c.fit.verdict != fit_verdict::good) {
      channel_flag f;
      f.channel = c.channel;
      f.quantity = "verdict";
      f.kind = flag_kind::verdict;
      f.value = not_a_number;
      f.verdict = c.fit.verdict;
      v.flags.push_back(f);
      continue;
    }
    check_channel(c, ctx, own.residual, v.flags, missed);
  }
  decide_outcome(v, missed.empty() ? std::vector<std::string>{}
                                   : unjudged_reasons(missed, *ctx.population, ctx.name));
  return v;
}

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

}  // namespace

const char* outcome_name(chip_outcome o) {
  switch (o) {
    case chip_outcome::pass:
      return "pass";
    case chip_outcome::fail:
      return "fail";
    case chip_outcome::retest:
      return "retest";
    case chip_outcome::incomplete:
      return "incomplete";
    case chip_outcome::not_judged:
      break;
  }
  return "not judged";
}

std::vector<int> flagged_channels(const chip_verdict& v) {
  std::set<int> flagged;
  for (const channel_flag& f : v.flags) {
    if (f.channel >= 0) {
      flagged.insert(f.channel);
      continue;
    }
    for (int ch = 0; ch < channel_count; ++ch) flagged.insert(ch);
  }
  return {flagged.begin(), flagged.end()};
}

void decide_outcome(chip_verdict& v, const std::vector<std::string>& unjudged) {
  v.flagged_channels = static_cast<int>(flagged_channels(v).size());
  if (v.flagged_channels > v.max_flagged_channels ||
      std::any_of(v.flags.begin(), v.flags.end(),
                  [](const channel_flag& f) { return f.channel < 0; })) {
    v.outcome = chip_outcome::fail;
    v.reasons = grouped_reasons(v.flags);
  } else if (!unjudged.empty()) {
    v.outcome = chip_outcome::not_judged;
    v.reasons = unjudged;
  } else {
    v.outcome = chip_outcome::pass;
  }
}

bool judge_value(const judged_value& j, std::vector<channel_flag>& flags) {
  const judged_quantity& q = j.quantity;
  const double value = j.value;
  // Most values pass: a flag is made only for one that does not.
  auto flag = [&]() -> channel_flag& {
    channel_flag& f = flags.emplace_back();
    f.channel = j.channel;
    f.quantity = q.name;
    f.unit = q.unit;
    f.relative = q.relative;
    return f;
  };
  // A figure gone wrong fails whatever the rule: it cannot lie within a range, nor be compared.
  if (!std::isfinite(value) || (q.relative && !(value > 0))) {
    channel_flag& f = flag();
    f.kind = flag_kind::invalid;
    f.value = value * q.scale;
    return true;
  }
  if (j.range) {
    if (value >= j.range->min && value <= j.range->max) return true;
    channel_flag& f = flag();
    f.kind = flag_kind::range;
    f.high = value > j.range->max;
    f.value = value * q.scale;
    f.range = {j.range->min * q.scale, j.range->max * q.scale};
    return true;
  }
  if (!j.robust) return true;
  const robust_limit& limit = j.limit;
  const double deviation = j.deviation;
  // Without a spread, a least limit still says what no chip may pass.
  if (!std::isfinite(deviation) || !(limit.sigma > 0 || limit.least > 0)) return false;
  double most = std::max(limit.k * (std::isfinite(limit.sigma) ? limit.sigma : 0.0), limit.least);
  if (limit.upper_only ? deviation <= most : std::fabs(deviation) <= most) return true;
  double scale = q.relative ? 100.0 : q.scale;
  channel_flag& f = flag();
  f.kind = limit.kind;
  f.high = deviation > 0;
  f.value = deviation * scale;
  f.most = most * scale;
  return true;
}

std::vector<recording_problem> recording_problems(const stored_recording& r, int64_t usual_events,
                                                  std::optional<int> min_events) {
  if (r.status != 0)
    return {
        {problem_kind::not_analysed,
         "not analysed: " + (r.message.empty() ? std::string("the analysis failed") : r.message)}};
  std::vector<recording_problem> out;
  if (r.reading_end == read_outcome::not_a_number || r.reading_end == read_outcome::out_of_range)
    out.push_back({problem_kind::damaged,
                   "reading stopped at value " + std::to_string(r.values_read + 1) + ": " +
                       (r.reading_end == read_outcome::not_a_number ? "not a number"
                                                                    : "number out of range")});
  if (const uint64_t left = r.values_read % channel_count; left != 0)
    out.push_back({problem_kind::damaged, "last row incomplete (" + std::to_string(left) + " of " +
                                              std::to_string(channel_count) + " values)"});
  if (r.window_gap_events > 0)
    out.push_back({problem_kind::window_gap, "gaps reach into the first pulse window in " +
                                                 std::to_string(r.window_gap_events) + " of " +
                                                 std::to_string(r.events_completed) + " events"});
  if (!r.config_check.looks_like.empty()) {
    std::string words = "this recording looks like " + r.config_check.looks_like;
    if (std::isfinite(r.config_check.own_misfit) && std::isfinite(r.config_check.other_misfit))
      words += " (its pulses differ from the model by " +
               fixed_text(100 * r.config_check.own_misfit, 1) + " % as " + r.config + ", by " +
               fixed_text(100 * r.config_check.other_misfit, 1) + " % as " +
               r.config_check.looks_like + ")";
    out.push_back({problem_kind::wrong_configuration, words});
  }
  int64_t events = r.events_completed;
  if (events < min_events_for_errors)
    out.push_back({problem_kind::too_few_events,
                   "only " + std::to_string(events) + " events, fewer than the " +
                       std::to_string(min_events_for_errors) + " that trustworthy errors need"});
  else if (min_events && events < *min_events)
    out.push_back({problem_kind::too_few_events, std::to_string(events) +
                                                     " events, the limits ask for at least " +
                                                     std::to_string(*min_events)});
  else if (!min_events && usual_events > 0 &&
           static_cast<double>(events) < min_event_share * static_cast<double>(usual_events))
    out.push_back({problem_kind::too_few_events,
                   std::to_string(events) + " events, the campaign's recordings of " + r.config +
                       " have " + std::to_string(usual_events)});
  return out;
}

std::vector<std::string> problem_words(const std::vector<recording_problem>& problems) {
  std::vector<std::string> out;
  for (const recording_problem& p : problems) out.push_back(p.words);
  return out;
}

std::map<std::string, config_population> campaign_populations(
    const std::vector<stored_recording>& recordings, const acceptance_limits& limits) {
  std::map<std::string, std::vector<const stored_recording*>> by_config;
  for (const auto& [key, r] : current_of(recordings)) by_config[key.second].push_back(r);
  std::map<std::string, config_population> out;
  for (const auto& [config, rs] : by_config) {
    const config_limits* c = limits_of(limits, config);
    std::optional<int> min_events = c ? c->min_events : std::nullopt;
    population_builder builder(min_events);
    for (const stored_recording* r : rs) builder.add(*r);
    config_population& p = out[config];
    static_cast<population_stats&>(p) = builder.finish();
    for (const stored_recording* r : rs)
      if (recording_problems(*r, p.usual_events, min_events).empty()) p.sound.push_back(r);
  }
  return out;
}

std::vector<recording_problem> own_problems(const recording_record& r) {
  stored_recording s;
  s.path = r.path;
  s.config = r.config;
  s.status = r.status;
  s.message = r.message;
  s.events_completed = r.summary.events_completed;
  s.window_gap_events = r.summary.window_gap_events;
  s.values_read = r.summary.values_read;
  s.reading_end = r.summary.reading_end;
  s.config_check = r.config_check;
  return recording_problems(s, 0, std::nullopt);
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

chip_verdict judge_recording(const stored_recording& current, const population_stats& population,
                             const acceptance_limits& limits) {
  config_context ctx{current.config, limits_of(limits, current.config), &population, limits.k};
  return judge_chip(current, ctx, limits);
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
    chip_verdict v = judge_recording(*r, populations[key.second], limits);
    v.superseded = superseded[key];
    out.verdicts.push_back(std::move(v));
  }
  return out;
}

std::vector<std::string> required_configurations(const std::map<std::string, size_t>& chips_in,
                                                 size_t chips, const acceptance_limits& limits) {
  if (limits.required) return *limits.required;
  std::vector<std::string> out;
  for (const auto& [config, in] : chips_in)
    if (2 * in > chips) out.push_back(config);
  return out;
}

std::vector<std::string> required_configurations(const std::vector<chip_verdict>& verdicts,
                                                 const acceptance_limits& limits) {
  std::set<std::string> chips;
  std::map<std::string, std::set<std::string>> chips_in;
  for (const chip_verdict& v : verdicts) {
    chips.insert(v.chip);
    chips_in[v.config].insert(v.chip);
  }
  std::map<std::string, size_t> counts;
  for (const auto& [config, in] : chips_in) counts[config] = in.size();
  return required_configurations(counts, chips.size(), limits);
}

namespace {

// The first outcome of `order` that any of `verdicts` has, with the reasons of each verdict of
// it; pass when none has one.
chip_summary summary_of(const std::string& chip, const std::vector<const chip_verdict*>& verdicts,
                        const std::vector<std::string>& missing) {
  chip_summary s;
  s.chip = chip;
  auto with = [&](chip_outcome o) {
    for (const chip_verdict* v : verdicts)
      if (v->outcome == o) {
        std::string text = v->config;
        for (size_t i = 0; i < v->reasons.size(); ++i) text += (i ? "; " : ": ") + v->reasons[i];
        s.reasons.push_back(text);
      }
    if (!s.reasons.empty()) s.outcome = o;
    return !s.reasons.empty();
  };
  if (with(chip_outcome::fail) || with(chip_outcome::retest)) return s;
  if (!missing.empty()) {
    s.outcome = chip_outcome::incomplete;
    for (const std::string& config : missing) s.reasons.push_back("not tested in " + config);
    return s;
  }
  with(chip_outcome::not_judged);
  return s;
}

}  // namespace

std::vector<chip_summary> summarise_chips(const std::vector<chip_verdict>& verdicts,
                                          const std::vector<std::string>& required) {
  std::map<std::string, std::vector<const chip_verdict*>> by_chip;
  for (const chip_verdict& v : verdicts) by_chip[v.chip].push_back(&v);
  std::vector<chip_summary> out;
  for (const auto& [chip, vs] : by_chip) {
    std::vector<std::string> missing;
    for (const std::string& config : required)
      if (std::none_of(vs.begin(), vs.end(),
                       [&](const chip_verdict* v) { return v->config == config; }))
        missing.push_back(config);
    out.push_back(summary_of(chip, vs, missing));
  }
  return out;
}
