#include "fit/fit_judgement.h"

#include <algorithm>
#include <cmath>

#include "common/number_text.h"

namespace {

// A criterion's figures, to two significant digits in plain notation: 0.076, 4.5, 140, 1637.
constexpr int criterion_digits = 2;

bool without_pulse(const channel_fit& f) {
  return !no_pulse_criterion(f).empty();
}

// A time stamp counts as outside the points' times only when more than a few of its errors
// lie between it and them: a pulse that starts right at the first point may fit just before it.
bool unphysical(const channel_fit& f) {
  const double slack = outside_range_errors * f.time_stamp_err;
  return !(f.peak_time > 0) || !(f.time_stamp >= f.xmin - slack && f.time_stamp <= f.xmax + slack);
}

// On the misfit, not chi2/ndf: chi2/ndf grows with the number of events for the same shape.
// A misfit that cannot be measured (NaN) does not make a fit poor.
bool poor(const channel_fit& f) {
  return f.misfit > max_good_misfit;
}

}  // namespace

std::string no_pulse_criterion(const channel_fit& f) {
  if (f.amplitude_err > 0 && std::abs(f.amplitude) < min_pulse_significance * f.amplitude_err)
    return "amplitude " + plain_significant_text(f.amplitude, criterion_digits) + " ± " +
           plain_significant_text(f.amplitude_err, criterion_digits) + ", " +
           plain_significant_text(std::abs(f.amplitude) / f.amplitude_err, criterion_digits) + "σ";
  if (!(f.significance >= min_pulse_significance))
    return "significance against no pulse " +
           plain_significant_text(f.significance, criterion_digits) + "σ";
  if (!(f.seen_height > min_height_over_scatter * f.scatter))
    return f.scatter > 0
               ? "height " + plain_significant_text(f.seen_height, criterion_digits) + ", " +
                     plain_significant_text(f.seen_height / f.scatter, criterion_digits) +
                     " times the points' scatter " +
                     plain_significant_text(f.scatter, criterion_digits)
               : "height " + plain_significant_text(f.seen_height, criterion_digits);
  if (f.pulse_points < min_pulse_points)
    return std::to_string(f.pulse_points) + (f.pulse_points == 1 ? " point" : " points") +
           " 3 scatters above zero";
  return {};
}

fit_verdict judge_fit(const channel_fit& f) {
  if (f.usable_points == 0) return fit_verdict::no_usable_points;
  if (!f.minimised) return fit_verdict::too_few_points;
  if (f.clipped_points > 0) return fit_verdict::saturated;
  if (without_pulse(f)) return fit_verdict::no_pulse;
  if (!f.converged) return fit_verdict::not_converged;
  if (unphysical(f)) return fit_verdict::unphysical;
  if (poor(f)) return fit_verdict::poor_fit;
  return fit_verdict::good;
}

fit_verdict judge_events(fit_verdict verdict, int64_t events) {
  if (events >= min_events_for_errors) return verdict;
  switch (verdict) {
    case fit_verdict::good:
    case fit_verdict::unphysical:
    case fit_verdict::poor_fit:
      return fit_verdict::few_events;
    default:
      return verdict;
  }
}
