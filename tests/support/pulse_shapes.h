#pragma once

#include <random>
#include <vector>

#include "reconstruction/snapshots.h"
#include "support/pulse_grid.h"

// Pulses of shapes a little or far off the fitted model, as a real front end gives them, made
// into points the way a reconstruction averages samples.

/// How a pulse differs from the fourth-order shaper response.
struct pulse_shape {
  double order = 4.0;  ///< the shaper's order: u^order * e^(order * (1 - u))
  double tail = 0.0;   ///< a slow tail's largest height, fraction of the amplitude (< 0 undershoot)
  double tail_time = 1500.0;  ///< the tail's decay time, ns
  double rise = 0.0;          ///< ns: the injected step's rise, a linear ramp the shaper smooths
  double jitter = 0.0;        ///< ns: the Gaussian spread of each sample's time
};

/// The level above the baseline of a pulse `s` with the truth of `c` at time `t` (ns), ADC counts.
double shape_level(const pulse_shape& s, const grid_channel& c, double t);

/// Where a point's samples were taken: the time the point is labelled with and the time the
/// samples truly belong to (NaN where they hold no pulse, only the baseline).
struct framed_time {
  double label = 0.0, truth = 0.0;  ///< ns
};

/// The times of the configuration's own framing (point_times), each its own truth.
std::vector<framed_time> right_framing(bool slow);

/// A low-charge recording (pulse windows two windows later, the first two delay steps left
/// out) framed as a default one: delay steps 0 and 1 hold only the baseline, step r the pulse of
/// step r - 2, 40 ns later than its label says.
std::vector<framed_time> low_charge_framed_as_default();

/// The points of pulse `s` with the truth of `c` at `times`: each the mean of c.events samples
/// of baseline + level + Gaussian noise of `noise` ADC counts, each sample at its own jittered
/// time, rounded to whole counts, less the baseline, with the sample spread over the square root
/// of the event count as its error.
channel_points shaped_points(const pulse_shape& s, const grid_channel& c,
                             const std::vector<framed_time>& times, double noise,
                             std::mt19937_64& random);
