#include "fit/fit_judgement.h"

#include <cmath>

namespace {

bool without_pulse(const channel_fit& f) {
  const bool amplitude_insignificant =
      f.amplitude_err > 0 && std::abs(f.amplitude) < min_pulse_significance * f.amplitude_err;
  return amplitude_insignificant || !(f.significance >= min_pulse_significance) ||
         !(f.seen_height > min_height_over_scatter * f.scatter) ||
         f.pulse_points < min_pulse_points;
}

// A time stamp counts as outside the points' times only when more than a few of its errors
// lie between it and them: a pulse that starts right at the first point may fit just before it.
bool unphysical(const channel_fit& f) {
  const double slack = outside_range_errors * f.time_stamp_err;
  return !(f.peak_time > 0) || !(f.time_stamp >= f.xmin - slack && f.time_stamp <= f.xmax + slack);
}

bool poor(const channel_fit& f) {
  return f.ndf > 0 && f.chi2 > max_good_chi2_per_ndf * f.ndf;
}

}  // namespace

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
