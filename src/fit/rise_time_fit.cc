#include "fit/rise_time_fit.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
#include <tuple>
#include <utility>

#include "fit/fit_judgement.h"
#include "fit/saturation.h"
#include "fit/shaper_model.h"
#include "fit/start_search.h"
#include "numerics/least_squares.h"
#include "numerics/robust_statistics.h"

bool p_sort(std::pair<int32_t, double> a, std::pair<int32_t, double> b) {
  return a.first < b.first;
}

int32_t truncated_time(double t) {
  if (std::isnan(t) || t <= static_cast<double>(INT32_MIN)) return INT32_MIN;
  if (t >= static_cast<double>(INT32_MAX)) return INT32_MAX;
  return static_cast<int32_t>(t);
}

namespace {

constexpr int max_data_starts = 4;
constexpr int max_range_starts = 2;
constexpr double weak_height = 10.0;
// A later start replaces the best result only if it lowers chi2 by more than this fraction, so
// that the specified start keeps a minimum that another start merely finds again.
constexpr double tie_tolerance = 1e-9;
// A start this close (as a fraction of the peak time, and of the points' spacing) to a minimum
// already found leads to it.
constexpr double near_fraction = 0.25;
// A pulse whose peak time is below this many of the largest gap between points is narrow.
constexpr double narrow_spacings = 4.0;

bool usable(const snapshot_point& p) {
  return p.second.second > min_usable_error;
}

// The usable points in stored order.
std::vector<data_point> usable_points(const channel_points& points) {
  std::vector<data_point> data;
  for (const snapshot_point& p : points)
    if (usable(p)) data.push_back({p.first, p.second.first, p.second.second});
  return data;
}

// The usable points not at a ceiling, and the largest positive amplitude among them (0.0 if
// none).
std::vector<data_point> points_to_fit(const channel_points& points,
                                      const std::vector<bool>& clipped, double& peak_start) {
  std::vector<data_point> data;
  peak_start = 0.0;
  for (size_t i = 0; i < points.size(); ++i) {
    const snapshot_point& p = points[i];
    if (!usable(p) || clipped[i]) continue;
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

std::vector<data_point> inside(const std::vector<data_point>& data, double xmin, double xmax) {
  std::vector<data_point> in;
  for (const data_point& d : data)
    if (d.x >= xmin && d.x <= xmax) in.push_back(d);
  return in;
}

// The smallest and the largest spacing of the points' times (0.0 for fewer than two distinct
// times).
struct spacings {
  double smallest = 0.0, largest = 0.0;
};

spacings point_spacings(const std::vector<data_point>& data) {
  std::vector<double> times;
  for (const data_point& d : data) times.push_back(d.x);
  std::sort(times.begin(), times.end());
  spacings s{INFINITY, 0.0};
  for (size_t i = 1; i < times.size(); ++i) {
    if (!(times[i] > times[i - 1])) continue;
    s.smallest = std::min(s.smallest, times[i] - times[i - 1]);
    s.largest = std::max(s.largest, times[i] - times[i - 1]);
  }
  if (!std::isfinite(s.smallest)) s.smallest = 0.0;
  return s;
}

// Where a fit may wander before it is given up as lost: its range, the shortest and longest
// peak times and the largest height that can still describe a pulse seen by the points.
struct search_bounds {
  double xmin = 0.0, xmax = 0.0;
  double shortest = 0.0, longest = 0.0;  // ns
  double tallest = 0.0;                  // ADC counts
};

search_bounds bounds_for(const std::vector<data_point>& in_range, double xmin, double xmax) {
  search_bounds b{xmin, xmax};
  // A pulse narrower than a quarter of the spacing falls between points: a height on one point
  // alone is no pulse the points can show. Nor is one a hundred times any point's height, which
  // only a pulse whose maximum lies far from every point reaches.
  b.shortest = point_spacings(in_range).smallest / 4;
  b.longest = 2 * (xmax - xmin);
  for (const data_point& d : in_range) b.tallest = std::max(b.tallest, 100 * std::abs(d.y));
  return b;
}

// How a start is fitted: the specified start with the exact model; the others with the faster
// form of the model, fewer steps, and the final Newton steps only for the winner.
struct fit_manner {
  int max_iterations = 500;
  bool polish = true;
  bool fast_model = false;
  double tolerance = 1e-12;
  bool normal_equations = false;
};

// The specified start may take as many steps as it always could; a start drawn from the data
// begins near its minimum (a dozen steps are typical, 30 rare), so one that needs many more is
// wandering. The trust region stops once a step changes the parameters by less than 1e-7 of
// their size: the Newton steps of a fit that ends the search take it on to the minimum in one or
// two steps, where a tolerance of 1e-12 cost as many trust-region steps again, most of them
// rejected for a chi2 that no longer falls within rounding.
constexpr fit_manner specified_manner{100, true, false, 1e-7, true};
constexpr fit_manner data_start_manner{60, false, true, 1e-7, true};
constexpr fit_manner winner_manner{500, true, true, 1e-7};

// Whether the parameters `v` lie so close to the minimum `m` that a fit from there can only
// end in it: within half an error of it in every free parameter, and, for a minimum so shallow
// that its errors are wide, within 2 % of its peak time and height and 1 ns of its time stamp.
bool inside_minimum(const double* v, const fit_result& m) {
  const double peak_time = m.values[peak_time_par], peak = m.values[peak_par];
  const double reach[] = {std::min(0.5 * m.errors[peak_time_par], 0.02 * peak_time),
                          std::min(0.5 * m.errors[time_stamp_par], 1.0),
                          std::min(0.5 * m.errors[peak_par], 0.02 * std::abs(peak))};
  return std::abs(v[peak_time_par] - peak_time) < reach[0] &&
         std::abs(v[time_stamp_par] - m.values[time_stamp_par]) < reach[1] &&
         std::abs(v[peak_par] - peak) < reach[2];
}

fit_result fit_from(const fit_start& s, const std::vector<data_point>& data, const search_bounds& b,
                    const fit_manner& manner, const std::vector<fit_result>& known = {}) {
  std::vector<fit_parameter> pars = {{shaper_parameter_names[peak_time_par], s.peak_time},
                                     {shaper_parameter_names[time_stamp_par], s.time_stamp},
                                     {shaper_parameter_names[baseline_par], 0.0, true},
                                     {shaper_parameter_names[peak_par], s.peak}};
  const fit_model model{shaper_parameter_count,
                        manner.fast_model ? shaper_with_derivatives_fast : shaper_with_derivatives,
                        shaper_gradient,
                        manner.fast_model ? shaper_at_times_fast : shaper_at_times};
  // Once the peak time is not positive, or the pulse starts after the last point, the model's
  // slopes in both times vanish or flip and the fit cannot come back to a pulse; outside the
  // bounds it chases single points or flattens into a slope.
  fit_limits limits;
  limits.max_iterations = manner.max_iterations;
  limits.polish = manner.polish;
  limits.tolerance = manner.tolerance;
  limits.normal_equations = manner.normal_equations;
  limits.give_up = [&b, &known](const double* v) {
    const double peak_time = v[peak_time_par];
    if (!(peak_time >= b.shortest) || peak_time > b.longest || !(v[time_stamp_par] <= b.xmax) ||
        !(std::abs(v[peak_par]) <= b.tallest))
      return true;
    return std::any_of(known.begin(), known.end(),
                       [v](const fit_result& m) { return inside_minimum(v, m); });
  };
  return least_squares_fit(model, pars, data, b.xmin, b.xmax, limits);
}

bool acceptable(const fit_result& r) {
  return r.converged && r.values[peak_time_par] > 0;
}

bool clearly_lower(const fit_result& r, const fit_result& best) {
  return r.chi2 < best.chi2 - tie_tolerance * std::abs(best.chi2);
}

// A result that may stand for the channel: a finite chi2 at a positive peak time, from a fit
// that was not given up as lost. It need not have converged yet: a start cut short on its way
// to a lower minimum is finished afterwards.
bool candidate(const fit_result& r) {
  return std::isfinite(r.chi2) && r.values[peak_time_par] > 0 && !r.gave_up;
}

// Whether `r` should replace `best`: a candidate beats a non-candidate; between two, the clearly
// lower chi2 wins, and at equal chi2 a converged result beats one that is not.
bool better(const fit_result& r, const fit_result& best) {
  if (!candidate(r)) return false;
  if (!candidate(best) || clearly_lower(r, best)) return true;
  return r.converged && !best.converged && !clearly_lower(best, r);
}

// Whether a start would only find `best` again: its chi2 is no lower, and its peak time and
// the time of its maximum lie within a quarter of best's peak time of best's. A pulse of a few
// point spacings or less has a maximum that may fall between points, where minima lie close
// together: then the times of the maxima must agree within a quarter of the smallest spacing.
bool already_found(const fit_start& s, const fit_result& best, const spacings& gaps) {
  if (!acceptable(best) || s.chi2 < best.chi2) return false;
  const double peak_time = best.values[peak_time_par];
  const double maximum = best.values[time_stamp_par] + peak_time;
  const bool narrow = peak_time < narrow_spacings * gaps.largest;
  const double within = near_fraction * (narrow ? gaps.smallest : peak_time);
  return std::abs(s.peak_time - peak_time) < near_fraction * peak_time &&
         std::abs(s.time_stamp + s.peak_time - maximum) < within;
}

// Whether a start lies in the basin of a minimum already found: along the straight path from
// the start to the minimum (in peak time and the time of the maximum, the height solved
// linearly at each step) chi2 never rises. A minimiser set off from there runs down that slope
// to the same minimum, so the start is not worth its fit. Not so for a pulse of a few point
// spacings: its minima lie close together, with maxima between the same two points and peak
// times apart, and a path may run past one into another.
constexpr int basin_path_steps = 8;

bool in_basin(const fit_start& s, const fit_result& m, const shape_profile& profile,
              const spacings& gaps) {
  if (!acceptable(m) || s.chi2 < m.chi2) return false;
  const double peak_time = m.values[peak_time_par];
  if (peak_time < narrow_spacings * gaps.largest) return false;
  const double maximum = m.values[time_stamp_par] + peak_time;
  const double start_maximum = s.time_stamp + s.peak_time;
  double previous = s.chi2;
  for (int k = 1; k < basin_path_steps; ++k) {
    const double f = static_cast<double>(k) / basin_path_steps;
    const double t = s.peak_time * std::pow(peak_time / s.peak_time, f);
    const double at = start_maximum + f * (maximum - start_maximum);
    double height = 0.0;
    const double chi2 = profile.chi2(t, at - t, height);
    if (!(chi2 <= previous)) return false;
    previous = chi2;
  }
  return m.chi2 <= previous;
}

// How the points stand about a result: the largest |model value| at the points in range;
// their spread about the model, the median absolute residual scaled to a Gaussian's sigma,
// which a few stray points do not move; and how far the pulse lowers chi2 against no pulse at
// all, and on how many points it stands clear of the scatter; and how far they lie from the
// shape (misfit_of).
struct residual_figures {
  double seen_height = 0.0, scatter = 0.0, significance = 0.0, misfit = NAN;
  int pulse_points = 0;
};

// How far the points lie from the fitted shape beyond what their errors explain, as a fraction
// of the fitted height, over the pulse's span: the m fitted points from its start t0 to
// t0 + misfit_span_peak_times * T, where the response has fallen to 0.2 % of its height (and no
// shorter than misfit_shortest_span). A
// point i there with residual r_i = y_i - f(t_i) and error e_i has E[r_i^2] = e_i^2 + d_i^2,
// d_i being the true shape's distance from the model; the fit's three free parameters, which
// these points set, take up about (m - 3) / m of the noise. So
//   D^2 = (sum r_i^2 - ((m - 3) / m) sum e_i^2) / m
// estimates the mean d_i^2 whatever the number of events, where chi2/ndf grows as the errors
// shrink. From noise alone sum r_i^2 spreads by sqrt(2 sum e_i^4), which on a small pulse from
// few events is a large part of |A|^2: only what lies beyond misfit_noise_spreads of that
// spread counts, so that noise alone gives 0 and a noisy small pulse is not taken for a wrong
// shape. The misfit is sqrt(max(0, D^2 - misfit_noise_spreads sqrt(2 sum e_i^4) / m)) / |A|,
// a 0.5 % deviation of a 120-count pulse from 60 events reading about 7 % low, one of 500
// counts less than 1 %. Over the span alone, not the whole window,
// so that a shape wrong at the pulse stands apart from a slow tail of the same size: over every
// point, order 6 and a 1 % tail both gave 0.5 %; over the span 1.26 % and 0.53 %.
constexpr double misfit_span_peak_times = 4.0;
// A span of at least this (ns, some 20 points of the delay scan) keeps enough points in it for
// the noise's spread to be that of many: over the 7 points of a 33 ns pulse it was not.
constexpr double misfit_shortest_span = 400.0;
constexpr double misfit_noise_spreads = 5.0;

double misfit_of(const std::vector<data_point>& in_range, const std::vector<double>& residuals,
                 const fit_result& r) {
  const double height = std::abs(r.values[peak_par]);
  const double start = r.values[time_stamp_par], peak_time = r.values[peak_time_par];
  if (!(height > 0) || !std::isfinite(height) || !(peak_time > 0)) return NAN;
  const double end = start + std::max(misfit_span_peak_times * peak_time, misfit_shortest_span);
  double squares = 0.0, errors = 0.0, fourths = 0.0, m = 0.0;
  for (size_t i = 0; i < in_range.size(); ++i) {
    if (!(in_range[i].x >= start && in_range[i].x <= end)) continue;
    const double e2 = in_range[i].ey * in_range[i].ey;
    squares += residuals[i] * residuals[i];
    errors += e2;
    fourths += e2 * e2;
    ++m;
  }
  if (m <= 3) return NAN;
  const double noise_spread = misfit_noise_spreads * std::sqrt(2 * fourths);
  const double excess = (squares - ((m - 3) / m) * errors - noise_spread) / m;
  return std::sqrt(std::max(0.0, excess)) / height;
}

residual_figures describe_residuals(const std::vector<data_point>& in_range, const fit_result& r) {
  residual_figures out;
  std::vector<double> models, residuals;
  double without_pulse = 0.0;
  for (const data_point& d : in_range) {
    const double model = Fit_Function(&d.x, r.values.data());
    out.seen_height = std::max(out.seen_height, std::abs(model));
    models.push_back(model);
    residuals.push_back(std::abs(d.y - model));
    without_pulse += (d.y / d.ey) * (d.y / d.ey);
  }
  out.significance = std::sqrt(std::max(0.0, without_pulse - r.chi2));
  if (residuals.empty()) return out;
  out.misfit = misfit_of(in_range, residuals, r);
  // The upper median, as the thresholds were measured.
  out.scatter = mad_to_sigma * upper_median(std::move(residuals));
  for (double model : models) out.pulse_points += std::abs(model) > 3 * out.scatter;
  return out;
}

// Whether the pulse found stands so little above the points' noise that another place may hold
// a better one: its height at the points is below `weak_height` times their scatter about it.
bool weak(const residual_figures& f) {
  return !(f.seen_height > weak_height * f.scatter);
}

// Whether the pulse found stands clear of the points' scatter on fewer points than a pulse
// needs to count as one.
bool on_few_points(const residual_figures& f) {
  return f.pulse_points < min_pulse_points;
}

// A pulse this many of the smallest point spacings wide or narrower sits on so few points that
// a still narrower one at the same maximum may fit them better: a valley the other starts do
// not reach.
constexpr double few_point_spacings = 2.0;

// A pulse narrower than best but with its maximum at the same time: 0.4 of its peak time,
// the height solved linearly.
fit_start narrower_start(const fit_result& best, const shape_profile& profile) {
  constexpr double fraction = 0.4;
  const double peak_time = best.values[peak_time_par];
  const double maximum = best.values[time_stamp_par] + peak_time;
  fit_start s{fraction * peak_time, maximum - fraction * peak_time};
  s.chi2 = profile.chi2(s.peak_time, s.time_stamp, s.peak);
  return s;
}

}  // namespace

channel_fit fit_channel(const channel_points& points, double peak_time_start) {
  channel_fit out;
  out.misfit = NAN;
  std::vector<data_point> usable = usable_points(points);
  out.usable_points = static_cast<int>(usable.size());
  if (usable.empty()) {
    out.verdict = fit_verdict::no_usable_points;
    return out;
  }
  std::tie(out.xmin, out.xmax) = fit_range(usable);
  std::vector<bool> clipped = ceiling_points(points);
  out.clipped_points = static_cast<int>(std::count(clipped.begin(), clipped.end(), true));
  fit_start specified{peak_time_start, time_stamp_start};
  std::vector<data_point> data = points_to_fit(points, clipped, specified.peak);
  const std::vector<data_point> in_range = inside(data, out.xmin, out.xmax);
  const spacings gaps = point_spacings(in_range);
  const shape_profile profile(in_range);
  const search_bounds bounds = bounds_for(in_range, out.xmin, out.xmax);
  fit_result best = fit_from(specified, data, bounds, specified_manner);
  out.fits_run = 1;
  // The other starts run without the final Newton steps, which only the winner needs: they
  // leave chi2 at or a little above its minimum, so a start that merely finds the specified
  // start's minimum again never displaces it.
  bool polished = true;
  // The residuals' figures of the best result, worked out again only once another replaced it.
  std::optional<residual_figures> figures;
  auto figures_of_best = [&]() -> const residual_figures& {
    if (!figures) figures = describe_residuals(in_range, best);
    return *figures;
  };
  std::vector<fit_result> minima;
  if (acceptable(best)) minima.push_back(best);
  auto try_starts = [&](const std::vector<fit_start>& starts) {
    for (const fit_start& s : starts) {
      if (already_found(s, best, gaps)) continue;
      if (std::any_of(minima.begin(), minima.end(),
                      [&](const fit_result& m) { return in_basin(s, m, profile, gaps); }))
        continue;
      fit_result r = fit_from(s, data, bounds, data_start_manner, minima);
      ++out.fits_run;
      if (acceptable(r)) minima.push_back(r);
      if (!better(r, best)) continue;
      best = std::move(r);
      figures.reset();
      polished = false;
    }
  };
  if (best.points >= 3) {
    try_starts(data_driven_starts(profile, max_data_starts));
    if (weak(figures_of_best())) try_starts(range_starts(profile, max_range_starts));
    if (best.values[peak_time_par] < few_point_spacings * gaps.smallest &&
        on_few_points(figures_of_best()))
      try_starts({narrower_start(best, profile)});
  }
  if (!polished) {
    const fit_start from{best.values[peak_time_par], best.values[time_stamp_par],
                         best.values[peak_par]};
    fit_result r = fit_from(from, data, bounds, winner_manner);
    ++out.fits_run;
    if (r.converged || !best.converged) {
      best = std::move(r);
      figures.reset();
    }
  }
  out.peak_time = best.values[peak_time_par];
  out.peak_time_err = best.errors[peak_time_par];
  out.time_stamp = best.values[time_stamp_par];
  out.time_stamp_err = best.errors[time_stamp_par];
  out.amplitude = best.values[peak_par];
  out.amplitude_err = best.errors[peak_par];
  out.fitted_points = best.points;
  out.chi2 = best.chi2;
  out.ndf = best.ndf;
  out.minimised = best.points >= 3;
  out.converged = best.converged;
  const residual_figures& f = figures_of_best();
  out.seen_height = f.seen_height;
  out.scatter = f.scatter;
  out.significance = f.significance;
  out.pulse_points = f.pulse_points;
  out.misfit = out.minimised ? f.misfit : NAN;
  out.verdict = judge_fit(out);
  return out;
}
