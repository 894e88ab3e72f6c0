#include "fit/start_search.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

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

}  // namespace

shape_profile::shape_profile(const std::vector<data_point>& data) : points_(data) {
  std::sort(points_.begin(), points_.end(),
            [](const data_point& a, const data_point& b) { return a.x < b.x; });
  for (const data_point& d : points_) {
    yy_ += (d.y / d.ey) * (d.y / d.ey);
    times_.push_back(d.x);
    inverse_errors_.push_back(1.0 / d.ey);
    weighted_amplitudes_.push_back(d.y / d.ey);
  }
}

namespace {

// Each shape's sums run over its points [first, last) in time order, none before its time stamp.
// Along the points e^(-4u) is carried from one to the next by the factor e^(-4 dt / peak_time),
// worked out afresh only where the spacing dt changes: most points then cost a multiplication
// instead of an exponential. Several shapes are summed side by side in the lanes of a vector,
// each with the operations and in the order it would be alone, so that each sum is the same to
// the last bit on every instruction set (none of them fuses a multiplication into an addition
// here); a lane outside its shape's points adds an exact zero.
typedef double lanes __attribute__((vector_size(shape_profile::max_shapes * sizeof(double))));
typedef long long lane_mask
    __attribute__((vector_size(shape_profile::max_shapes * sizeof(long long))));

__attribute__((target_clones("avx2", "default"))) void sum_shapes(
    const double* x, const double* w, const double* yw, const size_t* first, const size_t* last,
    const double* time_stamp, const double* rate, int count, double* gg, double* gy) {
  const double e4 = std::exp(4.0);
  lanes begin = {}, end = {}, ts = {}, r = {}, decay = {}, step = {}, sgg = {}, sgy = {};
  // Where a shape begins its decay with an exponential, and where it works out its first step.
  size_t events[2 * shape_profile::max_shapes];
  int event_count = 0;
  size_t from = SIZE_MAX, to = 0;
  for (int l = 0; l < count; ++l) {
    begin[l] = static_cast<double>(first[l]);
    end[l] = static_cast<double>(last[l]);
    ts[l] = time_stamp[l];
    r[l] = rate[l];
    if (first[l] >= last[l]) continue;
    from = std::min(from, first[l]);
    to = std::max(to, last[l]);
    events[event_count++] = first[l];
    events[event_count++] = first[l] + 1;
  }
  for (int a = 1; a < event_count; ++a)
    for (int b = a; b > 0 && events[b - 1] > events[b]; --b) std::swap(events[b - 1], events[b]);
  int next_event = 0;
  const lanes zero = {};
  double previous_dt = NAN;
  for (size_t i = from; i < to; ++i) {
    const double xi = x[i];
    const double dt = i > 0 ? xi - x[i - 1] : NAN;
    const bool changed = !(dt == previous_dt);
    previous_dt = dt;
    const bool event = next_event < event_count && events[next_event] == i;
    if (changed || event) {
      // The same exponentials a shape alone works out here; worked out again for a shape whose
      // spacing is unchanged, the step is the same.
      for (int l = 0; l < count; ++l) {
        if (i < first[l] || i >= last[l]) continue;
        if (i == first[l])
          decay[l] = std::exp(-4 * ((xi - time_stamp[l]) * rate[l]));
        else
          step[l] = std::exp(-4 * (dt * rate[l]));
      }
      while (next_event < event_count && events[next_event] <= i) ++next_event;
    }
    const double at = static_cast<double>(i);
    const lane_mask active = (at >= begin) & (at < end);
    const lane_mask later = active & (at > begin);
    decay = later ? decay * step : decay;
    const lanes u = (xi - ts) * r, u2 = u * u;
    const lanes g = active ? u2 * u2 * e4 * decay * w[i] : zero;
    sgg += g * g;
    sgy += g * yw[i];
  }
  for (int l = 0; l < count; ++l) {
    gg[l] = sgg[l];
    gy[l] = sgy[l];
  }
}

}  // namespace

void shape_profile::sums(const double* peak_time, const double* time_stamp, int count, double reach,
                         double* gg, double* gy) const {
  size_t first[max_shapes], last[max_shapes];
  double rate[max_shapes];
  for (int l = 0; l < count; ++l) {
    auto begin = std::lower_bound(times_.begin(), times_.end(), time_stamp[l]);
    auto end = std::upper_bound(begin, times_.end(), time_stamp[l] + reach * peak_time[l]);
    first[l] = static_cast<size_t>(begin - times_.begin());
    last[l] = static_cast<size_t>(end - times_.begin());
    rate[l] = 1.0 / peak_time[l];
  }
  sum_shapes(times_.data(), inverse_errors_.data(), weighted_amplitudes_.data(), first, last,
             time_stamp, rate, count, gg, gy);
}

void shape_profile::chi2(const double* peak_time, const double* time_stamp, int count, double* chi2,
                         double* peak) const {
  double gg[max_shapes], gy[max_shapes];
  sums(peak_time, time_stamp, count, 12, gg, gy);
  for (int l = 0; l < count; ++l) {
    peak[l] = gg[l] > 0 ? gy[l] / gg[l] : 0.0;
    chi2[l] = gg[l] > 0 ? yy_ - gy[l] * gy[l] / gg[l] : yy_;
  }
}

double shape_profile::chi2(double peak_time, double time_stamp, double& peak) const {
  double chi2_at;
  chi2(&peak_time, &time_stamp, 1, &chi2_at, &peak);
  return chi2_at;
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
  // A line holds either the time of the maximum or the start fixed.
  struct line {
    double at;
    bool fixed_start;
    double time_stamp(double peak_time) const { return fixed_start ? at : at - peak_time; }
  };
  std::vector<line> lines;
  for (double at : peak_positions(data, top->x)) lines.push_back({at, false});
  for (double start : start_positions(data, top->x)) lines.push_back({start, true});
  // The starts of every line at every peak time, worked out for several lines at once.
  std::vector<fit_start> grid(lines.size() * peak_time_steps);
  constexpr int at_once = shape_profile::max_shapes;
  for (int k = 0; k < peak_time_steps; ++k)
    for (size_t j = 0; j < lines.size(); j += at_once) {
      const int count = static_cast<int>(std::min<size_t>(at_once, lines.size() - j));
      double peak_time[at_once], time_stamp[at_once], chi2[at_once], peak[at_once];
      for (int l = 0; l < count; ++l) {
        peak_time[l] = peak_times[k];
        time_stamp[l] = lines[j + l].time_stamp(peak_times[k]);
      }
      profile.chi2(peak_time, time_stamp, count, chi2, peak);
      for (int l = 0; l < count; ++l)
        grid[(j + l) * peak_time_steps + k] = {peak_time[l], time_stamp[l], peak[l], chi2[l]};
    }
  for (size_t j = 0; j < lines.size(); ++j) {
    const fit_start* row = &grid[j * peak_time_steps];
    for (int k = 0; k < peak_time_steps; ++k) {
      const bool below_left = k == 0 || row[k].chi2 <= row[k - 1].chi2;
      const bool below_right = k + 1 == peak_time_steps || row[k].chi2 < row[k + 1].chi2;
      if (below_left && below_right) minima.push_back(row[k]);
    }
  }
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
    constexpr int at_once = shape_profile::max_shapes;
    for (size_t i = 0; i < placings.size(); i += at_once) {
      const int count = static_cast<int>(std::min<size_t>(at_once, placings.size() - i));
      double peak_time_of[at_once], start[at_once], gg[at_once], gy[at_once];
      for (int l = 0; l < count; ++l) {
        peak_time_of[l] = peak_time;
        start[l] = placings[i + l] - peak_time;
      }
      profile.sums(peak_time_of, start, count, 8, gg, gy);
      for (int l = 0; l < count; ++l) {
        if (!(gg[l] > 0)) continue;
        const double chi2 = profile.yy() - gy[l] * gy[l] / gg[l];
        if (chi2 < lowest.chi2) lowest = {peak_time, start[l], gy[l] / gg[l], chi2};
      }
    }
    if (std::isfinite(lowest.chi2)) best.push_back(lowest);
  }
  std::stable_sort(best.begin(), best.end(),
                   [](const fit_start& a, const fit_start& b) { return a.chi2 < b.chi2; });
  if (static_cast<int>(best.size()) > max_starts) best.resize(max_starts);
  return best;
}
