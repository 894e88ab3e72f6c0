#include "support/pulse_grid.h"

#include <algorithm>
#include <cmath>

#include "fit/shaper_model.h"

std::vector<double> point_times(bool slow) {
  const int steps = slow ? 8 : 10;
  std::vector<double> times;
  for (int q = 0; q < 15; ++q)
    for (int r = 0; r < steps; ++r) times.push_back((q + 1) * 200.0 - r * 20.0);
  return times;
}

channel_points grid_points(const grid_channel& c, double noise, std::mt19937_64& random) {
  std::normal_distribution<double> gauss(0.0, noise);
  const double par[] = {c.peak_time, c.time_stamp, c.baseline, c.amplitude};
  channel_points points;
  for (double t : point_times(c.slow)) {
    const double level = Fit_Function(&t, par);
    double sum = 0.0, squares = 0.0;
    for (int k = 0; k < c.events; ++k) {
      double sample = std::clamp(std::round(level + gauss(random)), 0.0, 4095.0);
      sum += sample;
      squares += sample * sample;
    }
    points.push_back(averaged_point(t, sum, squares, c.events, c.baseline));
  }
  return points;
}

snapshot_point averaged_point(double time, double sum, double squares, int events,
                              double baseline) {
  // Whole counts keep both sums exact, so that alike samples give an error of exactly 0.
  const double n = events;
  const double variance = n > 1 ? (n * squares - sum * sum) / (n * (n - 1)) : 0.0;
  return {time, {sum / n - baseline, std::sqrt(variance / n)}};
}
