#pragma once

#include <string>
#include <vector>

#include "fit/rise_time_fit.h"
#include "reconstruction/snapshots.h"

// Where things go on the page and what the panels say: everything of the picture that needs no
// drawing library.

/// A rectangle in normalised page coordinates (0..1 each way, y upwards).
struct page_box {
  double xmin = 0.0, xmax = 1.0, ymin = 0.0, ymax = 1.0;
};

/// An axis range in world units.
struct axis_range {
  double min = 0.0, max = 1.0;
};

/// Columns of the channel grid.
inline constexpr int grid_columns = 8;
/// Rows of the channel grid.
inline constexpr int grid_rows = 4;

/// The frame of `channel`'s panel: row 0 (channels 0..7) at the top. Channels outside 0..31 get
/// the box of their position as if the grid continued.
page_box channel_panel(int channel);
/// The frame of the rise-time summary, below the grid, spanning most of the page width.
page_box rise_time_panel();
/// The frame of the amplitude summary, right of the rise-time one.
page_box amplitude_panel();

/// The time range (ns) covering every usable point of `table`, padded by 3 %; 0..1 without
/// usable points.
axis_range time_range(const snapshot_table& table);
/// The amplitude range (ADC counts) covering every usable point with its error bar, padded by
/// 5 %, and always including 0; 0..1 without usable points.
axis_range amplitude_range(const snapshot_table& table);

/// A range for one value per channel that shows the bulk of `values` in detail: centred on their
/// median, wide enough for every value within the median's size of it (with its error),
/// at least 5 % of the median and 1 unit each side. Empty `values` give 0..1.
axis_range summary_range(const std::vector<double>& values, const std::vector<double>& errors);
/// Whether `v` lies inside `r`, ends included.
bool in_range(double v, axis_range r);

/// The panel title of `channel`: "ch 3: 163.3 ± 0.9 ns", with as many decimals (0..2) as the
/// error's first significant digit needs; "ch 3: no usable points" when nothing was fitted.
std::string rise_time_title(int channel, const channel_fit& f);
/// Whether the panel of `f` is flagged: a verdict other than good, no usable points, no
/// converged fit, or a rise time outside `expected`.
bool is_odd_channel(const channel_fit& f, axis_range expected);

/// The fitted shaper curve, Baseline 0, sampled at `samples` (>= 2) evenly spaced times over the
/// fit range; empty when the fit has no usable points or a non-finite parameter or range.
void fitted_curve(const channel_fit& f, int samples, std::vector<double>& t,
                  std::vector<double>& amplitude);
