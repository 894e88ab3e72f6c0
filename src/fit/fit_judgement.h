#pragma once

#include "fit/fit_verdict.h"
#include "fit/rise_time_fit.h"

/// A pulse whose amplitude is below this many of its errors, or that lowers chi2 by less than
/// this squared against no pulse at all, is none.
inline constexpr double min_pulse_significance = 5.0;
/// Nor is one that stands three scatters above zero on fewer points than this: a single point
/// off the baseline is not a pulse.
inline constexpr int min_pulse_points = 3;
/// Nor is a pulse whose height at the points stays below this many times their scatter about
/// the fit: the baseline's own wiggles reach a few times it.
inline constexpr double min_height_over_scatter = 4.5;
/// A time stamp this many of its errors outside the points' times is unphysical.
inline constexpr double outside_range_errors = 3.0;
/// A chi2 per degree of freedom above this is a poor fit (clean channels stay far below).
inline constexpr double max_good_chi2_per_ndf = 50.0;

/// What `f` is worth, the first reason that applies in this order: no usable points, too few
/// points, saturated, no pulse, not converged, unphysical, poor fit; otherwise good.
fit_verdict judge_fit(const channel_fit& f);
