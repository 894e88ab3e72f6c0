#include "reconstruction/framing.h"

#include <gtest/gtest.h>

#include "support/rows.h"

namespace {

const frame_geometry default_geometry = make_frame_geometry(first_window_row_of(15), 10, 0);

struct framed {
  framing_state state;
  bin_table bins{default_geometry.bins_per_channel};
};

framed frame(const row_stream& s, const frame_geometry& g = default_geometry) {
  framed f{{}, bin_table(g.bins_per_channel)};
  frame_rows(s.values().data(), s.rows(), g, f.state, f.bins);
  return f;
}

TEST(FrameGeometry, PlacesTheWindowForBothConfigurations) {
  EXPECT_EQ(default_geometry.window_start, 11);
  EXPECT_EQ(default_geometry.used_steps, 10);
  EXPECT_EQ(default_geometry.bins_per_channel, 150);
  frame_geometry low = make_frame_geometry(first_window_row_of(45), 10, 2);
  EXPECT_EQ(low.window_start, 71);
  EXPECT_EQ(low.used_steps, 8);
  EXPECT_EQ(low.bins_per_channel, 120);
  EXPECT_EQ(make_frame_geometry(first_window_row_of(15), 10, 10).bins_per_channel, 0);
  EXPECT_EQ(make_frame_geometry(first_window_row_of(15), 10, 12).bins_per_channel, 0);
}

TEST(GapRow, CountsValuesBelowThirtyAsLow) {
  EXPECT_TRUE(is_gap_row(row_with_low(21).data()));
  EXPECT_FALSE(is_gap_row(row_with_low(20).data()));
  std::vector<int32_t> row = row_with_low(20);
  row[31] = 29;
  EXPECT_TRUE(is_gap_row(row.data()));
  row[31] = 30;
  EXPECT_FALSE(is_gap_row(row.data()));
  row[31] = -2147483647 - 1;
  EXPECT_TRUE(is_gap_row(row.data()));
}

TEST(BinOfPosition, OrdersByPositionInWindowThenByStep) {
  EXPECT_EQ(bin_of_position(0, 10), 0);
  EXPECT_EQ(bin_of_position(1, 10), 10);
  EXPECT_EQ(bin_of_position(14, 10), 140);
  EXPECT_EQ(bin_of_position(15, 10), 1);
  EXPECT_EQ(bin_of_position(16, 10), 11);
  EXPECT_EQ(bin_of_position(149, 10), 149);
}

TEST(Synchronisation, NeedsAGapRowAndAnotherThreeRowsLater) {
  row_stream two_any_between;
  two_any_between.gap(1).data(2).gap(1);
  EXPECT_TRUE(frame(two_any_between).state.synchronised);

  row_stream third_not_gap;
  third_not_gap.gap(3).data(1);
  EXPECT_FALSE(frame(third_not_gap).state.synchronised);

  // After a failed confirmation the fifth row is the next one tested.
  row_stream retry;
  retry.gap(3).data(1).gap(1).data(2).gap(1);
  EXPECT_TRUE(frame(retry).state.synchronised);
  row_stream retry_too_late;
  retry_too_late.gap(3).data(2).gap(3);
  EXPECT_FALSE(frame(retry_too_late).state.synchronised);
}

TEST(Synchronisation, TheSynchronisingGapStartsNoEvent) {
  row_stream s;
  s.gap(10).data(50);
  framed f = frame(s);
  EXPECT_TRUE(f.state.synchronised);
  EXPECT_EQ(f.state.events_started, 0);
  EXPECT_EQ(f.state.event_rows, 0.0);
  s.gap(1);
  EXPECT_EQ(frame(s).state.events_started, 1);
}

TEST(Framing, CountsTwoHundredAndSevenRowsPerCompleteEvent) {
  row_stream s;
  for (int i = 0; i < 3; ++i) s.gap(10).data(200);
  framed f = frame(s);
  EXPECT_EQ(f.state.event_rows, 414.0);
  EXPECT_EQ(f.state.events_completed, 2);
}

TEST(Framing, StartsOnlyEverySecondGapAtSpacingsOf206And207) {
  for (int spacing : {206, 207}) {
    row_stream s;
    for (int i = 0; i < 5; ++i) s.gap(10).data(spacing - 10);
    framed f = frame(s);
    EXPECT_EQ(f.state.events_started, 2) << spacing;
    EXPECT_EQ(f.state.event_rows, 414.0) << spacing;
  }
}

TEST(Framing, StartsEveryGapAfterTheFirstAtSpacingsOf208AndMore) {
  for (int spacing : {208, 209, 260}) {
    row_stream s;
    for (int i = 0; i < 5; ++i) s.gap(10).data(spacing - 10);
    framed f = frame(s);
    EXPECT_EQ(f.state.events_completed, 4) << spacing;
    EXPECT_EQ(f.state.event_rows, 4 * 207.0) << spacing;
  }
}

TEST(Framing, IgnoresGapRowsInsideAnEvent) {
  row_stream s;
  s.gap(10).data(5).gap(10).data(20).gap(30).data(140).gap(1);
  framed f = frame(s);
  EXPECT_EQ(f.state.events_started, 1);
  EXPECT_EQ(f.state.events_completed, 0);
  EXPECT_TRUE(f.state.in_event);
  EXPECT_EQ(f.state.event_rows, 201.0);
}

TEST(Framing, AGapRightAfterTheClosingRowStartsNoEvent) {
  row_stream s;
  s.gap(10).data(5).gap(10).data(197).gap(20);
  framed f = frame(s);
  EXPECT_EQ(f.state.events_completed, 1);
  EXPECT_FALSE(f.state.in_event);
  s.data(1).gap(1);
  EXPECT_EQ(frame(s).state.events_started, 2);
}

// Each event row R of a data row holds the value 1000 + R, so a bin's sum names its row.
row_stream numbered_events(int events, int last_event_rows = 207) {
  row_stream s;
  s.gap(10).data(5);
  for (int e = 0; e < events; ++e) {
    if (e > 0) s.data(3);
    int rows = e + 1 == events ? last_event_rows : 207;
    for (int r = 0; r < rows; ++r) s.add(r < 10 ? flat_row(0) : flat_row(1000 + r));
  }
  return s;
}

TEST(Binning, SortsEachWindowRowIntoItsBin) {
  framed f = frame(numbered_events(1));
  EXPECT_EQ(f.state.events_completed, 1);
  EXPECT_EQ(f.bins.at(0, 0).sum, 1011);
  EXPECT_EQ(f.bins.at(5, 10).sum, 1012);
  EXPECT_EQ(f.bins.at(31, 1).sum, 1026);
  EXPECT_EQ(f.bins.at(7, 149).sum, 1160);
  for (int b = 0; b < 150; ++b) EXPECT_EQ(f.bins.at(3, b).count, 1) << b;
}

TEST(Binning, SortsTheSkippedConfigurationsWindow) {
  frame_geometry g = make_frame_geometry(first_window_row_of(45), 10, 2);
  framed f = frame(numbered_events(2), g);
  EXPECT_EQ(f.bins.at(0, 0).sum, 2 * 1071);
  EXPECT_EQ(f.bins.at(0, 8).sum, 2 * 1072);
  EXPECT_EQ(f.bins.at(0, 119).sum, 2 * 1190);
  EXPECT_EQ(f.bins.at(0, 119).count, 2);
}

TEST(Binning, KeepsTheRowsOfACutLastEvent) {
  framed f = frame(numbered_events(3, 50));
  EXPECT_EQ(f.state.events_completed, 2);
  EXPECT_EQ(f.state.event_rows, 2 * 207.0 + 50);
  EXPECT_EQ(f.bins.at(0, 0).count, 3);            // row 11
  EXPECT_EQ(f.bins.at(0, 2).count, 3);            // row 11 + 30 = 41
  EXPECT_EQ(f.bins.at(0, 10 * 14 + 2).count, 2);  // row 11 + 44 = 55, not reached
}

TEST(Binning, GivesTheSameResultWhateverTheBlockBoundaries) {
  row_stream s = numbered_events(4, 100);
  framed whole = frame(s);
  framed pieces{{}, bin_table(150)};
  for (size_t r = 0; r < s.rows(); r += 7) {
    size_t n = std::min<size_t>(7, s.rows() - r);
    frame_rows(s.values().data() + r * channel_count, n, default_geometry, pieces.state,
               pieces.bins);
  }
  EXPECT_EQ(pieces.state.event_rows, whole.state.event_rows);
  EXPECT_EQ(pieces.state.sample_index, whole.state.sample_index);
  for (int b = 0; b < 150; ++b) EXPECT_EQ(pieces.bins.at(9, b).sum, whole.bins.at(9, b).sum);
}

TEST(Binning, BinsTheOtherConfigurationsWindowsAsAFramingOfTheirOwnWould) {
  const frame_geometry low = make_frame_geometry(first_window_row_of(45), 10, 2);
  row_stream s = numbered_events(3, 120);
  framed alone = frame(s, low);
  framed both = frame(s);
  bin_table other(low.bins_per_channel);
  framed with_other{{}, bin_table(150)};
  frame_rows(s.values().data(), s.rows(), default_geometry, with_other.state, with_other.bins,
             {&low, &other, nullptr});
  for (int b = 0; b < low.bins_per_channel; ++b) {
    EXPECT_EQ(other.at(4, b).sum, alone.bins.at(4, b).sum) << b;
    EXPECT_EQ(other.at(4, b).count, alone.bins.at(4, b).count) << b;
  }
  for (int b = 0; b < 150; ++b) EXPECT_EQ(with_other.bins.at(4, b).sum, both.bins.at(4, b).sum);
}

// Events of a synchronising stream whose gaps run `gap_rows[e]` rows, event e's.
row_stream events_with_gaps(const std::vector<int>& gap_rows) {
  row_stream s;
  s.gap(10).data(5);
  for (int g : gap_rows) s.gap(g).data(207 - g).data(3);
  return s;
}

TEST(WindowGaps, CountsTheCompletedEventsWhoseGapReachesTheFirstWindow) {
  // Row 11 opens the default first window: a gap of 11 rows ends just before it.
  row_stream s = events_with_gaps({10, 14, 11, 12, 25, 10});
  framed f = frame(s);
  EXPECT_EQ(f.state.events_completed, 6);
  EXPECT_EQ(f.state.window_gap_events, 3);
  // The window at row 71 of the other configuration: none reaches it.
  EXPECT_EQ(frame(s, make_frame_geometry(first_window_row_of(45), 10, 2)).state.window_gap_events,
            0);
  // A gap row inside the window of an event that is cut before its closing row is not counted.
  row_stream cut;
  cut.gap(10).data(5).gap(14).data(50);
  EXPECT_EQ(frame(cut).state.window_gap_events, 0);
}

}  // namespace
