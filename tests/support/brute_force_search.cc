#include "support/brute_force_search.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

struct weighted {
  double x, y, w;  // time, amplitude, 1 / error^2
  int slot;        // x on the lattice of starts
};

constexpr double lattice = 5.0;         // ns between the starts tried
constexpr double shortest_peak = 10.0;  // half the spacing of a reconstruction's points

// The pulse shape of unit height, written out here rather than taken from the tool.
double unit_shape(double t, double peak_time, double start) {
  if (t < start) return 0.0;
  double u = (t - start) / peak_time;
  double u2 = u * u;
  return u2 * u2 * std::exp(4.0 - 4.0 * u);
}

// chi2 with the amplitude solved linearly, and that amplitude.
double profile(const std::vector<weighted>& pts, double peak_time, double start, double& amp) {
  double gg = 0, gy = 0, yy = 0;
  for (const weighted& p : pts) {
    double g = unit_shape(p.x, peak_time, start);
    gg += p.w * g * g;
    gy += p.w * g * p.y;
    yy += p.w * p.y * p.y;
  }
  amp = gg > 0 ? gy / gg : 0.0;
  return gg > 0 ? yy - gy * gy / gg : yy;
}

struct cell {
  double chi2, log_peak_time, start;
};

// Nelder-Mead on (log peak time, start) from a triangle of the given size about `from`.
cell simplex(const std::vector<weighted>& pts, cell from, double size_log, double size_start) {
  auto value = [&pts](double lt, double s) {
    double amp;
    return std::exp(lt) < shortest_peak ? INFINITY : profile(pts, std::exp(lt), s, amp);
  };
  std::array<cell, 3> v = {from, cell{0, from.log_peak_time + size_log, from.start},
                           cell{0, from.log_peak_time, from.start + size_start}};
  for (int i = 1; i < 3; ++i) v[i].chi2 = value(v[i].log_peak_time, v[i].start);
  for (int it = 0; it < 300; ++it) {
    std::sort(v.begin(), v.end(), [](const cell& a, const cell& b) { return a.chi2 < b.chi2; });
    if (v[2].chi2 - v[0].chi2 < 1e-11 * v[0].chi2) break;
    double cl = (v[0].log_peak_time + v[1].log_peak_time) / 2, cs = (v[0].start + v[1].start) / 2;
    auto along = [&](double f) {
      cell c{0, cl + f * (v[2].log_peak_time - cl), cs + f * (v[2].start - cs)};
      c.chi2 = value(c.log_peak_time, c.start);
      return c;
    };
    cell r = along(-1.0);
    if (r.chi2 < v[0].chi2) {
      cell e = along(-2.0);
      v[2] = e.chi2 < r.chi2 ? e : r;
    } else if (r.chi2 < v[1].chi2) {
      v[2] = r;
    } else {
      cell c = along(r.chi2 < v[2].chi2 ? -0.5 : 0.5);
      if (c.chi2 < std::min(r.chi2, v[2].chi2)) {
        v[2] = c;
      } else {
        for (int i = 1; i < 3; ++i) {
          v[i].log_peak_time = (v[i].log_peak_time + v[0].log_peak_time) / 2;
          v[i].start = (v[i].start + v[0].start) / 2;
          v[i].chi2 = value(v[i].log_peak_time, v[i].start);
        }
      }
    }
  }
  return *std::min_element(v.begin(), v.end(),
                           [](const cell& a, const cell& b) { return a.chi2 < b.chi2; });
}

}  // namespace

brute_force_minimum brute_force_fit(const channel_points& points, double xmin, double xmax,
                                    const std::vector<bool>& left_out) {
  std::vector<weighted> pts;
  for (size_t i = 0; i < points.size(); ++i) {
    const auto& [x, ye] = points[i];
    if (!(ye.second > 1e-10) || x < xmin || x > xmax) continue;
    if (!left_out.empty() && left_out[i]) continue;
    pts.push_back({x, ye.first, 1.0 / (ye.second * ye.second), static_cast<int>(x / lattice)});
  }
  // Starts on a 5 ns lattice: with the points' times on it too (the reconstruction's are on a
  // 20 ns one), each shape value comes from one table per peak time.
  for (const weighted& p : pts)
    if (p.slot * lattice != p.x) return {INFINITY};
  const int peak_steps = 24;
  const double low = std::log(shortest_peak), high = std::log(800.0);
  const double dlog = (high - low) / (peak_steps - 1);
  std::vector<cell> cells;
  std::vector<double> table;
  for (int i = 0; i < peak_steps; ++i) {
    const double lt = low + i * dlog, peak_time = std::exp(lt);
    const double first = std::floor((xmin - 2 * peak_time) / lattice) * lattice;
    const int span = static_cast<int>((xmax - first) / lattice) + 1;
    table.assign(span + 1, 0.0);
    for (int d = 0; d <= span; ++d) table[d] = unit_shape(d * lattice, peak_time, 0.0);
    const int stride = std::clamp(static_cast<int>(peak_time / 3 / lattice), 1, 8);
    const int first_slot = static_cast<int>(first / lattice);
    for (int j = 0; j * lattice + first <= xmax; j += stride) {
      const double start = first + j * lattice;
      double gg = 0, gy = 0, yy = 0;
      for (const weighted& p : pts) {
        const int d = p.slot - first_slot - j;
        const double g = d >= 0 ? table[d] : 0.0;
        gg += p.w * g * g;
        gy += p.w * g * p.y;
        yy += p.w * p.y * p.y;
      }
      cells.push_back({gg > 0 ? yy - gy * gy / gg : yy, lt, start});
    }
  }
  std::sort(cells.begin(), cells.end(),
            [](const cell& a, const cell& b) { return a.chi2 < b.chi2; });
  // The best cells of distinct neighbourhoods, each refined.
  std::vector<cell> seeds;
  for (const cell& c : cells) {
    if (seeds.size() == 3) break;
    bool near = false;
    for (const cell& s : seeds)
      near = near || (std::abs(s.log_peak_time - c.log_peak_time) < 2.5 * dlog &&
                      std::abs(s.start - c.start) < std::exp(c.log_peak_time) / 2 + 2 * lattice);
    if (!near) seeds.push_back(c);
  }
  brute_force_minimum best;
  best.chi2 = INFINITY;
  for (const cell& seed : seeds) {
    const double step = std::clamp(std::exp(seed.log_peak_time) / 4, lattice, 40.0);
    cell c = simplex(pts, seed, dlog, step);
    c = simplex(pts, c, dlog / 10, step / 10);  // a restart shakes off a collapsed simplex
    if (c.chi2 < best.chi2) {
      best.chi2 = c.chi2;
      best.peak_time = std::exp(c.log_peak_time);
      best.time_stamp = c.start;
      profile(pts, best.peak_time, best.time_stamp, best.amplitude);
    }
  }
  return best;
}
