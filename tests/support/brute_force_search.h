#pragma once

#include "reconstruction/snapshots.h"

// An exhaustive search for the lowest chi2 of the shaper model, written apart from the tool's
// fit, to check that the fit finds the global minimum.

/// The lowest chi2 found and where.
struct brute_force_minimum {
  double chi2 = 0.0;
  double peak_time = 0.0, time_stamp = 0.0, amplitude = 0.0;
};

/// Scans peak times 10 to 800 ns and time stamps across and before the points' span (the
/// amplitude solved linearly at each), then refines the best few cells by a simplex search.
/// Uses the points whose error is above 1e-10 and lies in [xmin, xmax], skipping those marked
/// in `left_out` (by index, may be empty).
brute_force_minimum brute_force_fit(const channel_points& points, double xmin, double xmax,
                                    const std::vector<bool>& left_out);
