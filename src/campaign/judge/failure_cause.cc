#include "campaign/judge/failure_cause.h"

#include <array>
#include <map>
#include <string_view>
#include <utility>

#include "reconstruction/recording_format.h"

namespace {

// Every cause with its words, in the enumeration's order.
constexpr std::array<std::pair<chip_cause, const char*>, 23> cause_names{{
    {chip_cause::none, ""},
    {chip_cause::dead_channel, "dead channel"},
    {chip_cause::saturation, "saturation"},
    {chip_cause::bad_fit, "bad fit"},
    {chip_cause::too_few_events, "too few events"},
    {chip_cause::negative_pulse, "negative pulse"},
    {chip_cause::rise_time, "rise time"},
    {chip_cause::amplitude, "amplitude"},
    {chip_cause::time_stamp, "time stamp"},
    {chip_cause::noise, "noise"},
    {chip_cause::fit_errors, "fit errors"},
    {chip_cause::pedestal, "pedestal"},
    {chip_cause::headroom, "headroom"},
    {chip_cause::gain, "gain"},
    {chip_cause::nonlinearity, "nonlinearity"},
    {chip_cause::noise_mV, "noise_mV"},
    {chip_cause::rise_time_spread, "rise_time_spread"},
    {chip_cause::time_stamp_spread, "time_stamp_spread"},
    {chip_cause::damaged_recording, "damaged recording"},
    {chip_cause::window_gaps, "gaps in the pulse window"},
    {chip_cause::wrong_configuration, "wrong configuration"},
    {chip_cause::not_analysed, "not analysed"},
    {chip_cause::flagged_channels, "flagged channels"},
}};

// The cause a flag of each judged quantity stands for.
constexpr std::array<std::pair<std::string_view, chip_cause>, 16> quantity_causes{{
    {"rise_time", chip_cause::rise_time},
    {"amplitude", chip_cause::amplitude},
    {"time_stamp", chip_cause::time_stamp},
    {"noise", chip_cause::noise},
    {"rise_time_err", chip_cause::fit_errors},
    {"amplitude_err", chip_cause::fit_errors},
    {"time_stamp_err", chip_cause::fit_errors},
    {"misfit", chip_cause::bad_fit},
    {"pedestal", chip_cause::pedestal},
    {"headroom", chip_cause::headroom},
    {"common_mode_noise", chip_cause::noise},
    {"gain", chip_cause::gain},
    {"nonlinearity", chip_cause::nonlinearity},
    {"noise_mV", chip_cause::noise_mV},
    {"rise_time_spread", chip_cause::rise_time_spread},
    {"time_stamp_spread", chip_cause::time_stamp_spread},
}};

chip_cause retest_cause(problem_kind kind) {
  switch (kind) {
    case problem_kind::not_analysed:
      return chip_cause::not_analysed;
    case problem_kind::too_few_events:
      return chip_cause::too_few_events;
    case problem_kind::window_gap:
      return chip_cause::window_gaps;
    case problem_kind::wrong_configuration:
      return chip_cause::wrong_configuration;
    case problem_kind::damaged:
      break;
  }
  return chip_cause::damaged_recording;
}

chip_cause verdict_cause(fit_verdict v) {
  switch (v) {
    case fit_verdict::no_pulse:
    case fit_verdict::no_usable_points:
    case fit_verdict::too_few_points:
      return chip_cause::dead_channel;
    case fit_verdict::saturated:
      return chip_cause::saturation;
    case fit_verdict::few_events:
      return chip_cause::too_few_events;
    default:
      return chip_cause::bad_fit;
  }
}

chip_cause flag_cause(const channel_flag& f) {
  if (f.kind == flag_kind::verdict) return verdict_cause(f.verdict);
  if (f.quantity == "amplitude" && f.kind == flag_kind::invalid) return chip_cause::negative_pulse;
  for (const auto& [name, cause] : quantity_causes)
    if (f.quantity == name) return cause;
  return chip_cause::flagged_channels;
}

}  // namespace

const char* cause_name(chip_cause c) {
  for (const auto& [cause, name] : cause_names)
    if (cause == c) return name;
  return "";
}

chip_cause cause_of(const chip_verdict& v) {
  if (v.outcome == chip_outcome::retest)
    return v.problems.empty() ? chip_cause::damaged_recording
                              : retest_cause(v.problems.front().kind);
  if (v.outcome != chip_outcome::fail) return chip_cause::none;
  // A channel counts once, under its first flag: a dead channel is flagged for its verdict and
  // often for its amplitude too. A flag of the whole chip, which comes first, counts for every
  // channel.
  std::map<chip_cause, int> count;
  chip_cause best = chip_cause::none;
  bool whole_chip = false;
  int previous_channel = -1;
  for (const channel_flag& f : v.flags) {
    if (f.channel < 0 ? whole_chip : f.channel == previous_channel) continue;
    whole_chip = whole_chip || f.channel < 0;
    previous_channel = f.channel;
    chip_cause cause = flag_cause(f);
    count[cause] += f.channel < 0 ? channel_count : 1;
    if (count[cause] > (best == chip_cause::none ? 0 : count[best])) best = cause;
  }
  return best == chip_cause::none ? chip_cause::flagged_channels : best;
}

std::string failure_cause(const chip_verdict& v) {
  return cause_name(cause_of(v));
}
