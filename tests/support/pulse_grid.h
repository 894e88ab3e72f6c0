#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "reconstruction/snapshots.h"

// Channels of points made straight from the shaper model, with the spread of averaged ADC
// samples, for tests that need many channels quickly.

/// One simulated channel's truth and how its points were made.
struct grid_channel {
  double peak_time = 150.0;   ///< ns
  double time_stamp = 800.0;  ///< ns
  double amplitude = 500.0;   ///< ADC counts, either sign
  double baseline = 100.0;    ///< ADC counts, the raw level the samples sit on
  int events = 20;            ///< samples per point
  bool slow = false;          ///< the slower configuration's time axis (8 delay steps, not 10)
};

/// The equivalent times of a reconstruction: (q + 1) * 200 - r * 20 ns for sample q 0..14 of
/// delay step r, in bin order.
std::vector<double> point_times(bool slow);

/// The points of `c`: each the mean of `events` samples of baseline + model + Gaussian noise of
/// `noise` ADC counts, rounded to whole counts and clipped to 0..4095, less the baseline, with
/// the sample spread over the square root of `events` as its error.
channel_points grid_points(const grid_channel& c, double noise, std::mt19937_64& random);

/// The point at `time` of `events` samples whose sum is `sum` and sum of squares `squares`:
/// their mean less `baseline`, with their spread over the square root of `events` as its error.
snapshot_point averaged_point(double time, double sum, double squares, int events, double baseline);
