#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "fit/fit_verdict.h"
#include "reconstruction/snapshots.h"

/// Orders (time, amplitude) pairs by the integer part of the time alone: true exactly when a's
/// integer member is less than b's.
bool p_sort(std::pair<int32_t, double> a, std::pair<int32_t, double> b);

/// A time truncated toward zero to a 32-bit integer, saturating at the limits; NaN gives the
/// lower limit, so that every double compares in a defined way.
int32_t truncated_time(double t);

/// A point enters the fit only if its amplitude error is above this (ADC counts).
inline constexpr double min_usable_error = 1e-10;
/// The start value of "Time_stamp", ns.
inline constexpr double time_stamp_start = 800.0;

/// One channel's fit result and how it was obtained.
struct channel_fit {
  double peak_time = 0.0, peak_time_err = 0.0;    ///< ns
  double amplitude = 0.0, amplitude_err = 0.0;    ///< ADC counts
  double time_stamp = 0.0, time_stamp_err = 0.0;  ///< ns
  int usable_points = 0;                          ///< points with an error above min_usable_error
  int fitted_points = 0;                          ///< usable points inside the fit range
  int clipped_points = 0;         ///< points at a constant ceiling, left out of the fit
  double xmin = 0.0, xmax = 0.0;  ///< the fit range, ns
  double chi2 = 0.0;
  int ndf = 0;
  double seen_height = 0.0;   ///< largest |model value| at the fitted points, ADC counts
  double scatter = 0.0;       ///< robust spread of the fitted points about the model, ADC counts
  double significance = 0.0;  ///< sqrt of the chi2 the pulse removes against no pulse at all
  int pulse_points = 0;       ///< fitted points where the model stands 3 scatters above zero
  int fits_run = 0;           ///< minimisations run, one per start tried
  bool minimised = false;     ///< a minimisation ran (enough usable points)
  bool converged = false;     ///< it reached the minimum
  fit_verdict verdict = fit_verdict::good;  ///< what the result is worth
  /// The verdict that `few_events` replaced, judged from the points alone; none otherwise.
  std::optional<fit_verdict> replaced_verdict = std::nullopt;
  /// ADC counts: the spread of one sample where no pulse is; NaN when it cannot be measured.
  double noise = 0.0;
  /// The points' RMS deviation from the fitted shape beyond what their errors explain, as a
  /// fraction of the fitted amplitude's magnitude (0.01 is 1 %); NaN when it cannot be measured.
  /// Unlike chi2/ndf it does not grow with the number of events.
  double misfit = 0.0;
  /// ADC counts: the mean raw reading where no pulse is (the baseline samples); NaN when none.
  double pedestal = 0.0;
  /// ADC counts: the distance from the channel's averaged readings, pulse included, to the
  /// nearer end of the ADC's range; NaN when it cannot be measured.
  double headroom = 0.0;

  /// Every field equal (a NaN equals nothing, as in arithmetic).
  friend bool operator==(const channel_fit&, const channel_fit&) = default;
};

/// Fits the shaper model to the usable points of `points`, starting "Peak_Time" at
/// `peak_time_start` (ns). With no usable point nothing is fitted and the result is all zeros;
/// with fewer usable points than the three free parameters the start values come back with
/// errors 0.0 and `minimised` false.
channel_fit fit_channel(const channel_points& points, double peak_time_start);
