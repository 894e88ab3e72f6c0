#include "fit/start_search.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double shortest_peak_time = 20.0;  // ns
constexpr double longest_peak_time = 600.0;  // ns
constexpr int peak_time_steps = 14;

const data_point* largest_magnitude(const std::vector<data_point>& data) {
  const data_point* best = nullptr;
  for (const data_point& d : data)
    if (!best || std::abs(d.y) > std::abs(best->y)) best = &d;
  return best;
}

// Where the pulse's maximum may lie: on the point of largest |amplitude|, or halfway to the
// nearest point before or after it in time, for a maximum that falls between samples.
std::vector<double> peak_positions(const std::vector<data_point>& data, double at) {
  double before = -INFINITY, after = INFINITY;
  for (const data_point& d : data) {
    if (d.x < at) before = std::max(before, d.x);
    if (d.x > at) after = std::min(after, d.x);
  }
  std::vector<double> positions = {at};
  if (std::isfinite(before)) positions.push_back((before + at) / 2);
  if (std::isfinite(after)) positions.push_back((after + at) / 2);
  return positions;
}

// The shape of unit height at t, as the model computes it but with u^4 by multiplication.
double unit_shape(double t, double peak_time, double time_stamp) {
  const double d = t - time_stamp;
  if (d < 0) return 0.0;
  const double u = d / peak_time, u2 = u * u;
  return u2 * u2 * std::exp((u - 1) * -4);
}

}  // namespace

double profile_chi2(const std::vector<data_point>& data, double peak_time, double time_stamp,
                    double& peak) {
  double gg = 0.0, gy = 0.0, yy = 0.0;
  for (const data_point& d : data) {
    double g = unit_shape(d.x, peak_time, time_stamp) / d.ey, y = d.y / d.ey;
    gg += g * g;
    gy += g * y;
    yy += y * y;
  }
  peak = gg > 0 ? gy / gg : 0.0;
  return gg > 0 ? yy - gy * gy / gg : yy;
}

std::vector<fit_start> data_driven_starts(const std::vector<data_point>& data, int max_starts) {
  const data_point* top = largest_magnitude(data);
  if (!top) return {};
  const std::vector<double> positions = peak_positions(data, top->x);
  // Geometric steps, so that short and long peak times are tried with the same relative
  // spacing; at each, the best of the maximum's positions.
  std::vector<fit_start> line;
  for (int k = 0; k < peak_time_steps; ++k) {
    double ratio = static_cast<double>(k) / (peak_time_steps - 1);
    double peak_time = shortest_peak_time * std::pow(longest_peak_time / shortest_peak_time, ratio);
    fit_start best;
    best.chi2 = INFINITY;
    for (double at : positions) {
      fit_start s{peak_time, at - peak_time};
      s.chi2 = profile_chi2(data, s.peak_time, s.time_stamp, s.peak);
      if (s.chi2 < best.chi2) best = s;
    }
    line.push_back(best);
  }
  std::vector<fit_start> minima;
  for (size_t k = 0; k < line.size(); ++k) {
    bool below_left = k == 0 || line[k].chi2 <= line[k - 1].chi2;
    bool below_right = k + 1 == line.size() || line[k].chi2 < line[k + 1].chi2;
    if (below_left && below_right) minima.push_back(line[k]);
  }
  std::stable_sort(minima.begin(), minima.end(),
                   [](const fit_start& a, const fit_start& b) { return a.chi2 < b.chi2; });
  if (static_cast<int>(minima.size()) > max_starts) minima.resize(max_starts);
  return minima;
}
