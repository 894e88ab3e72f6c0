#include "campaign/failure_cause.h"

#include <map>

namespace {

bool starts_with(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// A recording's problem, as recording_problems words it.
std::string retest_cause(const std::string& reason) {
  if (starts_with(reason, "not analysed")) return "not analysed";
  if (starts_with(reason, "reading stopped") || starts_with(reason, "last row incomplete"))
    return "damaged recording";
  if (starts_with(reason, "the configuration looks wrong")) return "wrong configuration";
  if (reason.find(" events") != std::string::npos) return "too few events";
  return "damaged recording";
}

std::string flag_cause(const channel_flag& f) {
  if (f.kind == "verdict") {
    if (f.verdict == "no_pulse" || f.verdict == "no_usable_points" || f.verdict == "too_few_points")
      return "dead channel";
    if (f.verdict == "saturated") return "saturation";
    if (f.verdict == "few_events") return "too few events";
    return "bad fit";
  }
  if (f.quantity == "rise_time") return "rise time";
  if (f.quantity == "time_stamp") return "time stamp";
  if (f.quantity.size() > 4 && f.quantity.compare(f.quantity.size() - 4, 4, "_err") == 0)
    return "fit errors";
  return f.quantity;
}

}  // namespace

std::string failure_cause(const chip_verdict& v) {
  if (v.outcome == chip_outcome::retest)
    return v.reasons.empty() ? "damaged recording" : retest_cause(v.reasons.front());
  if (v.outcome != chip_outcome::fail) return "";
  // A channel counts once, under its first flag: a dead channel is flagged for its verdict and
  // often for its amplitude too.
  std::map<std::string, int> count;
  std::string best;
  int previous_channel = -1;
  for (const channel_flag& f : v.flags) {
    if (f.channel == previous_channel) continue;
    previous_channel = f.channel;
    std::string cause = flag_cause(f);
    if (++count[cause] > (best.empty() ? 0 : count[best])) best = cause;
  }
  return best.empty() ? "flagged channels" : best;
}
