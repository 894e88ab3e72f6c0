#include "plot/figure_layout.h"

#include <algorithm>
#include <cmath>

#include "common/number_text.h"
#include "fit/shaper_model.h"
#include "numerics/robust_statistics.h"
#include "results/plot_run.h"

namespace {

// The channel grid fills the upper part of the page; the left margin holds the amplitude label
// and the tick labels of the first column, the band under it the summaries.
constexpr page_box grid_area{0.055, 0.992, 0.40, 0.945};
// Space inside a grid cell for the panel's title above it and a little air around it.
constexpr double cell_pad_x = 0.006, cell_pad_bottom = 0.004, cell_title_space = 0.02;

axis_range padded(double lo, double hi, double fraction) {
  double pad = (hi - lo) * fraction;
  if (pad <= 0.0) pad = 1.0;
  return {lo - pad, hi + pad};
}

int decimals_for(double err) {
  if (!std::isfinite(err) || err <= 0.0) return 1;
  int d = -static_cast<int>(std::floor(std::log10(err)));
  return std::clamp(d, 0, 2);
}

}  // namespace

page_box channel_panel(int channel) {
  int col = channel % grid_columns, row = channel / grid_columns;
  double w = (grid_area.xmax - grid_area.xmin) / grid_columns;
  double h = (grid_area.ymax - grid_area.ymin) / grid_rows;
  double x0 = grid_area.xmin + col * w, y1 = grid_area.ymax - row * h;
  return {x0 + cell_pad_x, x0 + w - cell_pad_x, y1 - h + cell_pad_bottom, y1 - cell_title_space};
}

page_box rise_time_panel() {
  return {grid_area.xmin + cell_pad_x, 0.62, 0.085, 0.305};
}

page_box amplitude_panel() {
  return {0.69, grid_area.xmax - cell_pad_x, 0.085, 0.305};
}

axis_range time_range(const snapshot_table& table) {
  double lo = INFINITY, hi = -INFINITY;
  for (const channel_points& ch : table)
    for (const snapshot_point& p : ch)
      if (is_usable(p) && std::isfinite(p.first)) {
        lo = std::min(lo, p.first);
        hi = std::max(hi, p.first);
      }
  if (lo > hi) return {};
  return padded(lo, hi, 0.03);
}

axis_range amplitude_range(const snapshot_table& table) {
  double lo = 0.0, hi = 0.0;
  bool any = false;
  for (const channel_points& ch : table)
    for (const snapshot_point& p : ch) {
      double y = p.second.first, e = p.second.second;
      if (!is_usable(p) || !std::isfinite(y) || !std::isfinite(e)) continue;
      lo = std::min(lo, y - e);
      hi = std::max(hi, y + e);
      any = true;
    }
  if (!any) return {};
  return padded(lo, hi, 0.05);
}

axis_range summary_range(const std::vector<double>& values, const std::vector<double>& errors) {
  std::vector<double> finite;
  for (double v : values)
    if (std::isfinite(v)) finite.push_back(v);
  if (finite.empty()) return {};
  double m = median(finite);
  // The median's own size around it counts as the bulk; a dead channel's rise time or
  // amplitude falls far outside and is then marked at the edge instead of squashing the rest.
  double bulk = std::abs(m);
  double half = std::max(0.05 * std::abs(m), 1.0);
  for (size_t i = 0; i < values.size(); ++i) {
    double v = values[i], e = i < errors.size() && std::isfinite(errors[i]) ? errors[i] : 0.0;
    if (std::isfinite(v) && std::abs(v - m) <= bulk)
      half = std::max(half, 1.2 * (std::abs(v - m) + e));
  }
  return {m - half, m + half};
}

bool in_range(double v, axis_range r) {
  return v >= r.min && v <= r.max;
}

std::string rise_time_title(int channel, const channel_fit& f) {
  const std::string name = "ch " + std::to_string(channel) + ": ";
  if (f.usable_points == 0) return name + "no usable points";
  int d = decimals_for(f.peak_time_err);
  return name + fixed_text(f.peak_time, d) + " \u00b1 " + fixed_text(f.peak_time_err, d) + " ns";
}

bool is_odd_channel(const channel_fit& f, axis_range expected) {
  return f.verdict != fit_verdict::good || f.usable_points == 0 || !f.converged ||
         !in_range(f.peak_time, expected);
}

void fitted_curve(const channel_fit& f, int samples, std::vector<double>& t,
                  std::vector<double>& amplitude) {
  t.clear();
  amplitude.clear();
  if (f.usable_points == 0) return;
  for (double v : {f.peak_time, f.time_stamp, f.amplitude, f.xmin, f.xmax})
    if (!std::isfinite(v)) return;
  const double par[shaper_parameter_count] = {f.peak_time, f.time_stamp, 0.0, f.amplitude};
  for (int i = 0; i < samples; ++i) {
    double x = f.xmin + (f.xmax - f.xmin) * i / (samples - 1);
    t.push_back(x);
    amplitude.push_back(Fit_Function(&x, par));
  }
}
