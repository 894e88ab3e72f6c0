#include "campaign/judge/failure_cause.h"

#include <map>

#include "reconstruction/recording_format.h"

namespace {

std::string retest_cause(problem_kind kind) {
  switch (kind) {
    case problem_kind::not_analysed:
      return "not analysed";
    case problem_kind::too_few_events:
      return "too few events";
    case problem_kind::window_gap:
      return "gaps in the pulse window";
    case problem_kind::wrong_configuration:
      return "wrong configuration";
    case problem_kind::damaged:
      break;
  }
  return "damaged recording";
}

std::string flag_cause(const channel_flag& f) {
  if (f.kind == flag_kind::verdict) {
    switch (f.verdict) {
      case fit_verdict::no_pulse:
      case fit_verdict::no_usable_points:
      case fit_verdict::too_few_points:
        return "dead channel";
      case fit_verdict::saturated:
        return "saturation";
      case fit_verdict::few_events:
        return "too few events";
      default:
        return "bad fit";
    }
  }
  if (f.quantity == "amplitude" && f.kind == flag_kind::invalid) return "negative pulse";
  if (f.quantity == "rise_time") return "rise time";
  if (f.quantity == "time_stamp") return "time stamp";
  if (f.quantity == "misfit") return "bad fit";
  if (f.quantity == "common_mode_noise") return "noise";
  if (f.quantity.size() > 4 && f.quantity.compare(f.quantity.size() - 4, 4, "_err") == 0)
    return "fit errors";
  return f.quantity;
}

}  // namespace

std::string failure_cause(const chip_verdict& v) {
  if (v.outcome == chip_outcome::retest)
    return v.problems.empty() ? "damaged recording" : retest_cause(v.problems.front().kind);
  if (v.outcome != chip_outcome::fail) return "";
  // A channel counts once, under its first flag: a dead channel is flagged for its verdict and
  // often for its amplitude too. A flag of the whole chip, which comes first, counts for every
  // channel.
  std::map<std::string, int> count;
  std::string best;
  bool whole_chip = false;
  int previous_channel = -1;
  for (const channel_flag& f : v.flags) {
    if (f.channel < 0 ? whole_chip : f.channel == previous_channel) continue;
    whole_chip = whole_chip || f.channel < 0;
    previous_channel = f.channel;
    std::string cause = flag_cause(f);
    count[cause] += f.channel < 0 ? channel_count : 1;
    if (count[cause] > (best.empty() ? 0 : count[best])) best = cause;
  }
  return best.empty() ? "flagged channels" : best;
}
