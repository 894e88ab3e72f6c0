#include "reconstruction/baseline.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/rows.h"

namespace {

// Frames `s` with the geometry of (window_offset, skipped_steps) and fills a table from it.
snapshot_table reconstructed(const row_stream& s, int window_offset = 15, int skipped = 0) {
  frame_geometry g = make_frame_geometry(first_window_row_of(window_offset), 10, skipped);
  framing_state state;
  bin_table bins(g.bins_per_channel);
  frame_rows(s.values().data(), s.rows(), g, state, bins);
  snapshot_table table(channel_count, channel_points(g.bins_per_channel));
  EXPECT_TRUE(has_samples(bins));
  fill_snapshots(bins, g.used_steps, 20.0, table);
  return table;
}

// `events` events whose data rows read value(event, row) on every channel.
template <typename F>
row_stream events_of(int events, F value) {
  row_stream s;
  s.gap(10).data(5);
  for (int e = 0; e < events; ++e) {
    if (e > 0) s.data(3);
    for (int r = 0; r < 207; ++r) s.add(r < 10 ? flat_row(0) : flat_row(value(e, r)));
  }
  return s;
}

TEST(SnapshotTimes, RunBackwardsWithinAStepRunAndForwardAcrossRuns) {
  snapshot_table t = reconstructed(events_of(2, [](int, int) { return 100; }));
  const double expected[][2] = {{0, 200},  {1, 180},    {9, 20},    {10, 400},
                                {11, 380}, {140, 3000}, {149, 2820}};
  for (auto [i, time] : expected) EXPECT_EQ(t[0][static_cast<int>(i)].first, time) << i;
  std::vector<bool> seen(151, false);
  for (const snapshot_point& p : t[17]) seen[static_cast<int>(p.first) / 20] = true;
  for (int k = 1; k <= 150; ++k) EXPECT_TRUE(seen[k]) << k * 20;
}

TEST(SnapshotTimes, LeaveTwoOfEveryTenOutWithEightUsedSteps) {
  snapshot_table t = reconstructed(events_of(2, [](int, int) { return 100; }), 45, 2);
  ASSERT_EQ(t[0].size(), 120u);
  EXPECT_EQ(t[0][0].first, 200.0);
  EXPECT_EQ(t[0][7].first, 60.0);
  EXPECT_EQ(t[0][8].first, 400.0);
  EXPECT_EQ(t[0][119].first, 2860.0);
}

TEST(Baseline, DividesEachWindowsThreeLevelsByThreeBeforeAddingThem) {
  // Samples 0, 1 and 2 of every window read 100, 100 and 101; the rest 100. Summed first and
  // divided after, the level would round to a different double.
  snapshot_table t = reconstructed(events_of(2, [](int, int r) {
    int q = (r - 11) % 15;
    return r >= 11 && q == 2 ? 101 : 100;
  }));
  const double level = 100 / 3.0 + 100 / 3.0 + 101 / 3.0;
  ASSERT_NE(level, (100 + 100 + 101) / 3.0);
  for (int i = 30; i < 150; ++i) EXPECT_EQ(t[4][i].second.first, 100 - level) << i;
}

TEST(Baseline, GivesABinOfTwoSamplesTheErrorOfItsMean) {
  // Two events reading 100 and 104: sd = sqrt(8), error = sd / sqrt(2) = 2.
  snapshot_table t = reconstructed(events_of(2, [](int e, int) { return e == 0 ? 100 : 104; }));
  for (int i = 0; i < 150; ++i) EXPECT_DOUBLE_EQ(t[9][i].second.second, 2.0) << i;
}

TEST(Baseline, MakesAConstantChannelZero) {
  snapshot_table t = reconstructed(events_of(5, [](int, int) { return 612; }));
  for (const channel_points& ch : t)
    for (const snapshot_point& p : ch) {
      EXPECT_EQ(p.second.first, 0.0);
      EXPECT_EQ(p.second.second, 0.0);
    }
}

TEST(Baseline, OneEventGivesSingleSamplesWithoutErrors) {
  snapshot_table t = reconstructed(events_of(1, [](int, int r) { return 100 + (r == 60) * 50; }));
  for (const snapshot_point& p : t[4]) EXPECT_EQ(p.second.second, 0.0);
  // Row 60 is window position 49: bin 4 * 10 + 3.
  EXPECT_NEAR(t[4][43].second.first, 50.0, 1e-9);
}

TEST(Baseline, RemovesADriftAndEvaluatesAtEachBinsWindowPosition) {
  // A baseline rising by one count per row is linear in the window position, so the spline
  // through the window levels matches it exactly where, and only where, each bin's samples lie.
  snapshot_table t = reconstructed(events_of(4, [](int e, int r) { return 100 + r + 3 * e; }));
  for (int ch : {0, 31})
    for (const snapshot_point& p : t[ch]) EXPECT_NEAR(p.second.first, 0.0, 1e-9);
}

TEST(Baseline, RemovesASlowCurvedDrift) {
  snapshot_table t =
      reconstructed(events_of(4, [](int, int r) { return 1000 + (r - 80) * (r - 80) / 4; }));
  for (const snapshot_point& p : t[9]) EXPECT_NEAR(p.second.first, 0.0, 1.0);
}

TEST(Baseline, DividesEachSpreadByTheRootOfItsOwnCount) {
  // Events alternate 100 and 104 on every row; a cut last event leaves late bins one short.
  row_stream s = events_of(4, [](int e, int) { return e % 2 ? 104 : 100; });
  s.data(3).gap(10);
  for (int r = 10; r < 60; ++r) s.add(flat_row(100));
  snapshot_table t = reconstructed(s);
  // Bin 0 (row 11) has five samples 100 104 100 104 100.
  double sd5 = std::sqrt((3 * 1.6 * 1.6 + 2 * 2.4 * 2.4) / 4);
  EXPECT_NEAR(t[0][0].second.second, sd5 / std::sqrt(5.0), 1e-12);
  // Bin 149 (row 160) has four: 100 104 100 104.
  EXPECT_NEAR(t[0][149].second.second, std::sqrt(16.0 / 3) / 2, 1e-12);
}

TEST(HasSamples, IsFalseWithoutBinsOrWithAnEmptyFirstBin) {
  EXPECT_FALSE(has_samples(bin_table(0)));
  EXPECT_FALSE(has_samples(bin_table(150)));
}

}  // namespace
