#include "support/pulse_shapes.h"

#include <algorithm>
#include <cmath>

namespace {

// The semi-Gaussian response of `order` at u = (t - t0) / T, 1 at its maximum u = 1.
double semi_gaussian(double order, double u) {
  return u > 0 ? std::pow(u, order) * std::exp(order * (1 - u)) : 0.0;
}

// A tail that grows with the pulse and decays slowly, 1 at its largest.
double slow_tail(double d, double peak_time, double tail_time) {
  if (!(d > 0)) return 0.0;
  const double at = peak_time * std::log1p(tail_time / peak_time);
  const double largest = (1 - std::exp(-at / peak_time)) * std::exp(-at / tail_time);
  return (1 - std::exp(-d / peak_time)) * std::exp(-d / tail_time) / largest;
}

double ideal_level(const pulse_shape& s, const grid_channel& c, double t) {
  const double d = t - c.time_stamp;
  return c.amplitude * (semi_gaussian(s.order, d / c.peak_time) +
                        s.tail * slow_tail(d, c.peak_time, s.tail_time));
}

}  // namespace

double shape_level(const pulse_shape& s, const grid_channel& c, double t) {
  if (!(s.rise > 0)) return ideal_level(s, c, t);
  // A ramp of the step's rise is the mean of the step's responses started along it.
  constexpr int parts = 8;
  double sum = 0.0;
  for (int k = 0; k < parts; ++k) sum += ideal_level(s, c, t - s.rise * (k + 0.5) / parts);
  return sum / parts;
}

std::vector<framed_time> right_framing(bool slow) {
  std::vector<framed_time> times;
  for (double t : point_times(slow)) times.push_back({t, t});
  return times;
}

std::vector<framed_time> low_charge_framed_as_default() {
  std::vector<framed_time> times;
  const std::vector<double> labels = point_times(false);
  for (size_t i = 0; i < labels.size(); ++i) {
    const int step = static_cast<int>(i % 10);
    times.push_back({labels[i], step < 2 ? NAN : labels[i] + 40.0});
  }
  return times;
}

channel_points shaped_points(const pulse_shape& s, const grid_channel& c,
                             const std::vector<framed_time>& times, double noise,
                             std::mt19937_64& random) {
  std::normal_distribution<double> gauss(0.0, noise), smear(0.0, s.jitter);
  channel_points points;
  for (const framed_time& t : times) {
    const bool pulse = !std::isnan(t.truth);
    const double steady = pulse ? shape_level(s, c, t.truth) : 0.0;
    double sum = 0.0, squares = 0.0;
    for (int k = 0; k < c.events; ++k) {
      const double level =
          pulse && s.jitter > 0 ? shape_level(s, c, t.truth + smear(random)) : steady;
      const double sample = std::clamp(std::round(c.baseline + level + gauss(random)), 0.0, 4095.0);
      sum += sample;
      squares += sample * sample;
    }
    points.push_back(averaged_point(t.label, sum, squares, c.events, c.baseline));
  }
  return points;
}
