#include "fit/fit_messages.h"

#include "common/number_text.h"
#include "fit/fit_judgement.h"

namespace {

// A message's figures: three significant digits are all its reader compares.
constexpr int message_digits = 3;

// A fraction as a percentage: one decimal below 10 %, none from there.
std::string percent(double fraction) {
  const double p = 100 * fraction;
  return fixed_text(p, p < 10 ? 1 : 0);
}

std::string unphysical_note(const std::string& name, const channel_fit& f) {
  if (!(f.peak_time > 0))
    return name + " gives an unphysical result: peak time " +
           significant_text(f.peak_time, message_digits) + " ns.";
  return name + " gives an unphysical result: time stamp " +
         significant_text(f.time_stamp, message_digits) + " ns, outside its points' times " +
         significant_text(f.xmin, message_digits) + " to " +
         significant_text(f.xmax, message_digits) + " ns.";
}

}  // namespace

std::string fit_not_converged(int channel) {
  return "Fit of channel " + std::to_string(channel) + " did not converge.";
}

std::string verdict_note(int channel, const channel_fit& f) {
  const std::string name = "Channel " + std::to_string(channel);
  switch (f.verdict) {
    case fit_verdict::good:
      return {};
    case fit_verdict::no_usable_points:
      return name + " has no point to fit.";
    case fit_verdict::too_few_points:
      return name + " has too few points to fit (" + std::to_string(f.fitted_points) + ").";
    case fit_verdict::no_pulse:
      return name + " shows no pulse: " + no_pulse_criterion(f) + ".";
    case fit_verdict::saturated:
      return name + " is saturated: " + std::to_string(f.clipped_points) +
             " points at its ceiling were left out of the fit.";
    case fit_verdict::poor_fit:
      return name + " fits the pulse shape poorly: it differs from the model by " +
             percent(f.misfit) + " % of its amplitude (chi2/ndf " +
             significant_text(f.chi2 / f.ndf, message_digits) + ").";
    case fit_verdict::not_converged:
      return fit_not_converged(channel);
    case fit_verdict::unphysical:
      return unphysical_note(name, f);
    case fit_verdict::few_events:
      return {};  // one line for the recording says it, few_events_note()
  }
  return {};
}

std::string few_events_note(int64_t events, int flagged_channels) {
  return "The recording holds only " + std::to_string(events) +
         " events, too few for trustworthy errors: " + std::to_string(flagged_channels) +
         (flagged_channels == 1 ? " channel is" : " channels are") + " flagged.";
}

std::string shape_off_model_note(double median_misfit) {
  return "The pulse shape differs from the model by about " + percent(median_misfit) +
         " % of the amplitude on most channels: the results are the model's best fit to it.";
}

std::string looks_like_configuration(const std::string& looks_like, const std::string& config,
                                     double own_chi2_per_ndf, double other_chi2_per_ndf) {
  return "This recording looks like " + looks_like + ": its channels fit that configuration's " +
         "framing far better (median chi2/ndf " +
         significant_text(other_chi2_per_ndf, message_digits) + " against " +
         significant_text(own_chi2_per_ndf, message_digits) + " as " + config +
         "); check that configuration " + config + " is the right one for this recording.";
}
