#include "plot/figure_layout.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "fit/shaper_model.h"

namespace {

bool overlaps(page_box a, page_box b) {
  return a.xmin < b.xmax && b.xmin < a.xmax && a.ymin < b.ymax && b.ymin < a.ymax;
}

TEST(FigureLayout, PanelsLieOnThePageWithoutOverlapping) {
  std::vector<page_box> boxes;
  for (int ch = 0; ch < 32; ++ch) boxes.push_back(channel_panel(ch));
  boxes.push_back(rise_time_panel());
  boxes.push_back(amplitude_panel());
  for (size_t i = 0; i < boxes.size(); ++i) {
    const page_box& b = boxes[i];
    EXPECT_TRUE(b.xmin >= 0 && b.xmin < b.xmax && b.xmax <= 1) << i;
    EXPECT_TRUE(b.ymin >= 0 && b.ymin < b.ymax && b.ymax <= 1) << i;
    for (size_t j = i + 1; j < boxes.size(); ++j)
      EXPECT_FALSE(overlaps(b, boxes[j])) << i << " " << j;
  }
}

TEST(SummaryRange, ShowsTheBulkWithErrorBarsAndLeavesAFarOutlierOutside) {
  std::vector<double> v = {150, 153, 156, 220, 2586, 153};
  std::vector<double> e = {0.05, 0.05, 0.05, 10, 1346, 0.05};
  axis_range r = summary_range(v, e);
  for (size_t i = 0; i < v.size(); ++i) EXPECT_EQ(in_range(v[i], r), v[i] != 2586) << v[i];
  EXPECT_GE(r.max, 230);  // the error bar of a bulk value fits
  EXPECT_LT(r.max, 400);  // detail enough to tell 3 ns steps apart
  axis_range flat = summary_range({150, 150}, {0, 0});
  EXPECT_TRUE(flat.min < 150 && flat.max > 150);
}

TEST(AxisRanges, CoverTheUsablePointsOnly) {
  snapshot_table t(2);
  t[0] = {{20.0, {5.0, 1.0}}, {3000.0, {400.0, 2.0}}};
  t[1] = {{-500.0, {9000.0, 0.0}}, {1000.0, {-10.0, 1.0}}};  // the first is not usable
  axis_range tr = time_range(t), ar = amplitude_range(t);
  EXPECT_TRUE(tr.min < 20.0 && tr.min > -100.0 && tr.max > 3000.0);
  EXPECT_TRUE(ar.min < -11.0 && ar.max > 402.0 && ar.max < 1000.0);
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

TEST(VerdictLabel, NamesTheReasonOfEveryFlaggedChannelAndNothingForAGoodOne) {
  channel_fit f;
  f.usable_points = 150;
  f.converged = true;
  f.peak_time = 150.0;
  EXPECT_EQ(verdict_label(f.verdict), "");
  EXPECT_FALSE(is_odd_channel(f, {100.0, 200.0}));
  const std::pair<fit_verdict, const char*> labels[] = {
      {fit_verdict::no_usable_points, "no usable points"},
      {fit_verdict::too_few_points, "too few points"},
      {fit_verdict::no_pulse, "no pulse"},
      {fit_verdict::saturated, "saturated"},
      {fit_verdict::poor_fit, "poor fit"},
      {fit_verdict::not_converged, "not converged"},
      {fit_verdict::unphysical, "unphysical"},
      {fit_verdict::few_events, "too few events"}};
  for (const auto& [verdict, label] : labels) {
    f.verdict = verdict;
    EXPECT_EQ(verdict_label(f.verdict), label);
    EXPECT_TRUE(is_odd_channel(f, {100.0, 200.0})) << label;
  }
}

TEST(FittedCurve, IsTheModelWithZeroBaselineOverTheFitRange) {
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
  EXPECT_TRUE(t.front() == 30 && t.back() == 1290 && a.front() == 0.0);
  // Samples are 20 ns apart, so one lands on the peak at 950 ns.
  EXPECT_NEAR(*std::max_element(a.begin(), a.end()), 400.0, 1e-9);
  f.usable_points = 0;
  fitted_curve(f, 64, t, a);
  EXPECT_TRUE(t.empty() && a.empty());
}

}  // namespace
