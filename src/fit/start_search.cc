#include "fit/start_search.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr double shortest_peak_time = 20.0;  // ns
constexpr double longest_peak_time = 600.0;  // ns
constexpr int peak_time_steps = 14;
// Peak times of the starts placed across the whole range, ns.
constexpr double range_peak_times[] = {25.0, 60.0, 150.0};

const data_point* largest_magnitude(const std::vector<data_point>& data) {
  const data_point* best = nullptr;
  for (const data_point& d : data)
    if (!best || std::abs(d.y) > std::abs(best->y)) best = &d;
  return best;
}

// Where the pulse's maximum may lie: on the point of largest |amplitude|, or between it and
// its nearest point before or after it in time, for a maximum that falls between samples:
// halfway, and across a gap wider than the points' usual spacing at its quarters too.
std::vector<double> peak_positions(const std::vector<data_point>& data, double at) {
  double before = -INFINITY, after = INFINITY;
  for (const data_point& d : data) {
    if (d.x < at) before = std::max(before, d.x);
    if (d.x > at) after = std::min(after, d.x);
  }
  const double usual = std::min(at - before, after - at);
  std::vector<double> positions = {at};
  for (double side : {before, after}) {
    if (!std::isfinite(side)) continue;
    const double gap = side - at;
    positions.push_back(at + gap / 2);
    if (std::abs(gap) > 1.5 * usual) {
      positions.push_back(at + gap / 4);
      positions.push_back(at + 3 * gap / 4);
    }
  }
  return positions;
}

// Where the pulse may start: a quarter and a half of the spacing before each of the two
// points that precede the one of largest |amplitude|. A short pulse whose maximum falls in a gap
// between points is pinned by the first point it reaches; a start placed after that point
// leaves it out of the fit's sight, and the fit then never comes back to it.
std::vector<double> start_positions(const std::vector<data_point>& data, double at) {
  std::vector<double> times;
  for (const data_point& d : data)
    if (d.x < at) times.push_back(d.x);
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end()), times.end());
  std::vector<double> starts;
  for (size_t n = times.size(), i = n > 2 ? n - 2 : 0; i < n; ++i) {
    const double spacing =
        (i > 0 ? times[i] - times[i - 1] : (i + 1 < n ? times[i + 1] - times[i] : 0.0));
    if (!(spacing > 0)) continue;
    starts.push_back(times[i] - spacing / 4);
    starts.push_back(times[i] - spacing / 2);
  }
  return starts;
}

// The sums g.g and g.y over the points [first, last), in time order and none before
// `time_stamp`, of the shape of unit height g, each divided by its point's error. Along the
// points e^(-4u) is carried from one to the next by the factor e^(-4 dt / peak_time), worked
// out afresh only where the spacing dt changes: most points then cost a multiplication
// instead of an exponential. The order of the operations is fixed, so the sums are the same on
// every run.
template <typename It>
void shape_sums(It first, It last, double peak_time, double time_stamp, double& gg, double& gy) {
  gg = gy = 0.0;
  if (first == last) return;
  const double e4 = std::exp(4.0), rate = 1.0 / peak_time;
  double decay = std::exp(-4 * ((first->x - time_stamp) * rate));
  double spacing = NAN, step = 0.0, x = first->x;
  for (It it = first; it != last; ++it) {
    if (it != first) {
      const double dt = it->x - x;
      if (dt != spacing) {
        spacing = dt;
        step = std::exp(-4 * (dt * rate));
      }
      decay *= step;
      x = it->x;
    }
    const double u = (it->x - time_stamp) * rate, u2 = u * u;
    const double g = u2 * u2 * e4 * decay * it->w;
    gg += g * g;
    gy += g * it->yw;
  }
}

}  // namespace

shape_profile::shape_profile(const std::vector<data_point>& data) : points_(data) {
  std::sort(points_.begin(), points_.end(),
            [](const data_point& a, const data_point& b) { return a.x < b.x; });
  for (const data_point& d : points_) {
    yy_ += (d.y / d.ey) * (d.y / d.ey);
    weighted_.push_back({d.x, 1.0 / d.ey, d.y / d.ey});
  }
}

void shape_profile::sums(double peak_time, double time_stamp, double reach, double& gg,
                         double& gy) const {
  auto first = std::lower_bound(weighted_.begin(), weighted_.end(), time_stamp,
                                [](const weighted& d, double t) { return d.x < t; });
  auto last = std::upper_bound(first, weighted_.end(), time_stamp + reach * peak_time,
                               [](double t, const weighted& d) { return t < d.x; });
  shape_sums(first, last, peak_time, time_stamp, gg, gy);
}

double shape_profile::chi2(double peak_time, double time_stamp, double& peak) const {
  double gg, gy;
  sums(peak_time, time_stamp, 12, gg, gy);
  peak = gg > 0 ? gy / gg : 0.0;
  return gg > 0 ? yy_ - gy * gy / gg : yy_;
}

std::vector<fit_start> data_driven_starts(const shape_profile& profile, int max_starts) {
  const std::vector<data_point>& data = profile.points();
  const data_point* top = largest_magnitude(data);
  if (!top) return {};
  // Along geometric steps of the peak time, so that short and long ones are tried with the
  // same relative spacing, the local minima of chi2 for each position of the maximum, and for
  // each time at which the pulse may start.
  std::vector<fit_start> minima;
  double peak_times[peak_time_steps];
  for (int k = 0; k < peak_time_steps; ++k) {
    const double ratio = static_cast<double>(k) / (peak_time_steps - 1);
    peak_times[k] = shortest_peak_time * std::pow(longest_peak_time / shortest_peak_time, ratio);
  }
  auto add_line_minima = [&](auto time_stamp_of) {
    std::vector<fit_start> line;
    for (double peak_time : peak_times) {
      fit_start s;
      s.peak_time = peak_time;
      s.time_stamp = time_stamp_of(s.peak_time);
      s.chi2 = profile.chi2(s.peak_time, s.time_stamp, s.peak);
      line.push_back(s);
    }
    for (size_t k = 0; k < line.size(); ++k) {
      const bool below_left = k == 0 || line[k].chi2 <= line[k - 1].chi2;
      const bool below_right = k + 1 == line.size() || line[k].chi2 < line[k + 1].chi2;
      if (below_left && below_right) minima.push_back(line[k]);
    }
  };
  for (double at : peak_positions(data, top->x))
    add_line_minima([at](double peak_time) { return at - peak_time; });
  for (double start : start_positions(data, top->x))
    add_line_minima([start](double) { return start; });
  std::stable_sort(minima.begin(), minima.end(),
                   [](const fit_start& a, const fit_start& b) { return a.chi2 < b.chi2; });
  if (static_cast<int>(minima.size()) > max_starts) minima.resize(max_starts);
  return minima;
}

std::vector<fit_start> range_starts(const shape_profile& profile, int max_starts) {
  const std::vector<data_point>& sorted = profile.points();
  // Every point's time, and halfway to the next one for maxima between samples.
  std::vector<double> placings;
  for (size_t i = 0; i < sorted.size(); ++i) {
    placings.push_back(sorted[i].x);
    if (i + 1 < sorted.size() && sorted[i + 1].x > sorted[i].x)
      placings.push_back((sorted[i].x + sorted[i + 1].x) / 2);
  }
  std::vector<fit_start> best;
  for (double peak_time : range_peak_times) {
    fit_start lowest;
    lowest.chi2 = INFINITY;
    // Only the points from the start to where the shape has died away (u = 8, below 1e-8 of
    // its height) count; the rest add y^2 alone.
    for (double at : placings) {
      const double start = at - peak_time;
      double gg, gy;
      profile.sums(peak_time, start, 8, gg, gy);
      if (!(gg > 0)) continue;
      const double chi2 = profile.yy() - gy * gy / gg;
      if (chi2 < lowest.chi2) lowest = {peak_time, start, gy / gg, chi2};
    }
    if (std::isfinite(lowest.chi2)) best.push_back(lowest);
  }
  std::stable_sort(best.begin(), best.end(),
                   [](const fit_start& a, const fit_start& b) { return a.chi2 < b.chi2; });
  if (static_cast<int>(best.size()) > max_starts) best.resize(max_starts);
  return best;
}
