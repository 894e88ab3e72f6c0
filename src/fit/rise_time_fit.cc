#include "fit/rise_time_fit.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <tuple>

#include "fit/shaper_model.h"
#include "numerics/least_squares.h"

bool p_sort(std::pair<int32_t, double> a, std::pair<int32_t, double> b) {
  return a.first < b.first;
}

int32_t truncated_time(double t) {
  if (std::isnan(t) || t <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  if (t >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  return static_cast<int32_t>(t);
}

namespace {

bool usable(const snapshot_point& p) {
  return p.second.second > min_usable_error;
}

// The usable points in stored order, and the largest positive amplitude among them (0.0 if none).
std::vector<data_point> usable_points(const channel_points& points, double& peak_start) {
  std::vector<data_point> data;
  peak_start = 0.0;
  for (const snapshot_point& p : points) {
    if (!usable(p)) continue;
    data.push_back({p.first, p.second.first, p.second.second});
    if (p.second.first > peak_start) peak_start = p.second.first;
  }
  return data;
}

// The fit range: the times of the first and last point once sorted by their integer part.
std::pair<double, double> fit_range(const std::vector<data_point>& data) {
  std::vector<std::pair<double, double>> range;
  for (const data_point& d : data) range.emplace_back(d.x, d.y);
  std::sort(range.begin(), range.end(), [](const auto& a, const auto& b) {
    return p_sort({truncated_time(a.first), a.second}, {truncated_time(b.first), b.second});
  });
  return {range.front().first, range.back().first};
}

double shaper(double x, const double* par, double* grad, double* hess) {
  return shaper_with_derivatives(x, par, grad, hess);
}

}  // namespace

channel_fit fit_channel(const channel_points& points, double peak_time_start) {
  channel_fit out;
  double peak_start = 0.0;
  std::vector<data_point> data = usable_points(points, peak_start);
  out.usable_points = static_cast<int>(data.size());
  if (data.empty()) return out;
  std::tie(out.xmin, out.xmax) = fit_range(data);
  std::vector<fit_parameter> pars = {{shaper_parameter_names[peak_time_par], peak_time_start},
                                     {shaper_parameter_names[time_stamp_par], time_stamp_start},
                                     {shaper_parameter_names[baseline_par], 0.0, true},
                                     {shaper_parameter_names[peak_par], peak_start}};
  const fit_model model{shaper_parameter_count, shaper};
  fit_result r = least_squares_fit(model, pars, data, out.xmin, out.xmax);
  out.peak_time = r.values[peak_time_par];
  out.peak_time_err = r.errors[peak_time_par];
  out.time_stamp = r.values[time_stamp_par];
  out.time_stamp_err = r.errors[time_stamp_par];
  out.amplitude = r.values[peak_par];
  out.amplitude_err = r.errors[peak_par];
  out.fitted_points = r.points;
  out.chi2 = r.chi2;
  out.ndf = r.ndf;
  out.minimised = r.points >= 3;
  out.converged = r.converged;
  return out;
}
