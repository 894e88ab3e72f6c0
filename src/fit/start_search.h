#pragma once

#include <vector>

#include "numerics/least_squares.h"

/// A start of the shaper fit: peak time (ns), time stamp (ns) and height (ADC counts), with the
/// chi2 the points give there.
struct fit_start {
  double peak_time = 0.0;
  double time_stamp = 0.0;
  double peak = 0.0;
  double chi2 = 0.0;
};

/// The shape's chi2 over `data` at (`peak_time`, `time_stamp`) with the height that minimises
/// it, solved linearly; the height goes to `peak`. A shape that is zero on every point gives
/// the height 0.0 and the chi2 of the points about zero.
double profile_chi2(const std::vector<data_point>& data, double peak_time, double time_stamp,
                    double& peak);

/// Starts drawn from the data alone: the shape's maximum placed on the point of largest
/// |amplitude| or between it and its neighbours in time, or its start placed just before one of
/// the two points ahead of that point, at peak times spanning 20 to 600 ns, with the height
/// solved linearly; for each placing, the starts at which chi2 is lowest along the peak times
/// (its local minima); of all these the lowest first, at most `max_starts`. Empty when `data`
/// is.
std::vector<fit_start> data_driven_starts(const std::vector<data_point>& data, int max_starts);

/// Starts with the shape's maximum placed on every point in turn and halfway between
/// neighbours, at peak times of 25, 60 and
/// 150 ns (the height solved linearly): for each peak time the placing of lowest chi2; of
/// these the lowest first, at most `max_starts`. For pulses too weak to stand out of the noise,
/// whose largest point may lie anywhere.
std::vector<fit_start> range_starts(const std::vector<data_point>& data, int max_starts);
