#include "plot/figure_layout.h"

#include <gtest/gtest.h>

#include <cmath>

#include "fit/shaper_model.h"

namespace {

bool overlaps(page_box a, page_box b) {
  return a.xmin < b.xmax && b.xmin < a.xmax && a.ymin < b.ymax && b.ymin < a.ymax;
}

bool on_page(page_box b) {
  return b.xmin >= 0 && b.xmax <= 1 && b.ymin >= 0 && b.ymax <= 1 && b.xmin < b.xmax &&
         b.ymin < b.ymax;
}

TEST(FigureLayout, PanelsTileThePageWithoutOverlapping) {
  std::vector<page_box> boxes;
  for (int ch = 0; ch < 32; ++ch) boxes.push_back(channel_panel(ch));
  boxes.push_back(rise_time_panel());
  boxes.push_back(amplitude_panel());
  for (size_t i = 0; i < boxes.size(); ++i) {
    EXPECT_TRUE(on_page(boxes[i])) << i;
    for (size_t j = i + 1; j < boxes.size(); ++j)
      EXPECT_FALSE(overlaps(boxes[i], boxes[j])) << i << " " << j;
  }
}

TEST(FigureLayout, ChannelsRunAlongRowsFromTheTopLeft) {
  EXPECT_LT(channel_panel(0).xmax, channel_panel(1).xmin);
  EXPECT_DOUBLE_EQ(channel_panel(0).ymin, channel_panel(7).ymin);
  EXPECT_GT(channel_panel(0).ymin, channel_panel(8).ymax);
  EXPECT_DOUBLE_EQ(channel_panel(0).xmin, channel_panel(24).xmin);
  EXPECT_GT(channel_panel(31).ymin, rise_time_panel().ymax);
}

TEST(SummaryRange, ShowsTheBulkAndLeavesAFarOutlierOutside) {
  std::vector<double> v = {150, 153, 156, 159, 162, 2586, 153};
  std::vector<double> e = {0.05, 0.05, 0.05, 0.05, 0.05, 1346, 0.05};
  axis_range r = summary_range(v, e);
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(in_range(v[i], r), v[i] != 2586) << v[i];
  EXPECT_LT(r.max - r.min, 100.0);  // detail enough to tell 3 ns steps apart
}

TEST(SummaryRange, CoversTheBulkWithItsErrorBars) {
  std::vector<double> v = {400, 410, 420, 560, 0.2};
  std::vector<double> e = {1, 1, 1, 30, 0.1};
  axis_range r = summary_range(v, e);
  EXPECT_LE(r.min, 399);
  EXPECT_GE(r.max, 590);
  EXPECT_FALSE(in_range(0.2, r));
  EXPECT_TRUE(in_range(0.5, summary_range({}, {})));
  axis_range flat = summary_range({150, 150, 150}, {0, 0, 0});
  EXPECT_LT(flat.min, 150);
  EXPECT_GT(flat.max, 150);
}

TEST(AxisRanges, CoverTheUsablePointsOnly) {
  snapshot_table t(2);
  t[0] = {{20.0, {5.0, 1.0}}, {3000.0, {400.0, 2.0}}};
  t[1] = {{-500.0, {9000.0, 0.0}}, {1000.0, {-10.0, 1.0}}};  // the first is not usable
  axis_range tr = time_range(t), ar = amplitude_range(t);
  EXPECT_LT(tr.min, 20.0);
  EXPECT_GT(tr.min, -100.0);
  EXPECT_GT(tr.max, 3000.0);
  EXPECT_LT(ar.min, -11.0);
  EXPECT_GT(ar.max, 402.0);
  EXPECT_LT(ar.max, 1000.0);
  snapshot_table empty(32);
  EXPECT_LT(time_range(empty).min, time_range(empty).max);
}

TEST(RiseTimeTitle, ShowsAsManyDecimalsAsTheErrorNeeds) {
  channel_fit f;
  f.usable_points = 10;
  f.peak_time = 163.26;
  f.peak_time_err = 0.91;
  EXPECT_EQ(rise_time_title(3, f), "ch 3: 163.3 \u00b1 0.9 ns");
  f.peak_time_err = 0.04;
  EXPECT_EQ(rise_time_title(3, f), "ch 3: 163.26 \u00b1 0.04 ns");
  f.peak_time = 2585.64;
  f.peak_time_err = 1345.78;
  EXPECT_EQ(rise_time_title(31, f), "ch 31: 2586 \u00b1 1346 ns");
  f.usable_points = 0;
  EXPECT_EQ(rise_time_title(0, f), "ch 0: no usable points");
}

TEST(OddChannel, IsOneWithoutAConvergedFitOrOutsideTheExpectedRange) {
  channel_fit f;
  f.usable_points = 10;
  f.converged = true;
  f.peak_time = 150;
  EXPECT_FALSE(is_odd_channel(f, {140, 160}));
  EXPECT_TRUE(is_odd_channel(f, {155, 160}));
  f.converged = false;
  EXPECT_TRUE(is_odd_channel(f, {140, 160}));
  f.converged = true;
  f.usable_points = 0;
  EXPECT_TRUE(is_odd_channel(f, {140, 160}));
}

TEST(FittedCurve, FollowsTheModelWithZeroBaselineOverTheFitRange) {
  channel_fit f;
  f.usable_points = 100;
  f.peak_time = 150;
  f.time_stamp = 800;
  f.amplitude = 400;
  f.xmin = 30;
  f.xmax = 1290;
  std::vector<double> t, a;
  fitted_curve(f, 64, t, a);
  ASSERT_EQ(t.size(), 64u);
  EXPECT_DOUBLE_EQ(t.front(), 30);
  EXPECT_DOUBLE_EQ(t.back(), 1290);
  EXPECT_EQ(a.front(), 0.0);
  const double par[] = {150, 800, 0, 400};
  for (size_t i = 0; i < t.size(); ++i) EXPECT_DOUBLE_EQ(a[i], Fit_Function(&t[i], par));
  // Samples are 20 ns apart, and sample 46 is the peak at 950 ns.
  EXPECT_NEAR(*std::max_element(a.begin(), a.end()), 400.0, 1e-9);
  f.usable_points = 0;
  fitted_curve(f, 64, t, a);
  EXPECT_TRUE(t.empty() && a.empty());
}

}  // namespace
