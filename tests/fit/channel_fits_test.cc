#include "fit/channel_fits.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/pulse_table.h"

namespace {

TEST(FitAllChannels, NotesWhyEachChannelIsNoGoodMeasurement) {
  snapshot_table table = clean_pulse_table();
  for (snapshot_point& p : table[3]) p.second.second = 0.0;
  table[3][40].second.second = 1.0;
  table[3][41].second.second = 1.0;
  for (snapshot_point& p : table[7]) p.second.first = 0.0;   // a dead, perfectly quiet channel
  for (snapshot_point& p : table[9]) p.second.second = 0.0;  // no usable point
  diagnostics notes;
  std::vector<channel_fit> r = fit_all_channels(table, 150.0, events_not_counted, notes);
  EXPECT_EQ(notes, (diagnostics{"Channel 3 has too few points to fit (2).",
                                "Channel 7 shows no pulse: significance against no pulse 0.0σ.",
                                "Channel 9 has no point to fit."}));
  ASSERT_EQ(r.size(), 32u);
  EXPECT_EQ(r[3].peak_time, 150.0);
  EXPECT_EQ(r[3].time_stamp, 800.0);
  EXPECT_EQ(r[3].peak_time_err, 0.0);
  EXPECT_EQ(r[9].peak_time, 0.0);
  EXPECT_EQ(r[9].amplitude, 0.0);
  EXPECT_NEAR(r[10].amplitude, 410.0, 1.0);
}

TEST(FitAllChannels, StartsEveryChannelFromTheGuess) {
  snapshot_table table = clean_pulse_table();
  diagnostics notes;
  std::vector<channel_fit> once = fit_all_channels(table, 150.0, events_not_counted, notes);
  std::reverse(table.begin(), table.end());
  std::vector<channel_fit> reversed = fit_all_channels(table, 150.0, events_not_counted, notes);
  for (int ch = 0; ch < 32; ++ch) EXPECT_EQ(once[ch].peak_time, reversed[31 - ch].peak_time);
}

TEST(FitAllChannels, GivesTheSameFitsAndNotesInChannelOrderOnAnyNumberOfThreads) {
  snapshot_table table = clean_pulse_table();
  for (snapshot_point& p : table[5]) p.second.first = 0.0;
  for (snapshot_point& p : table[30]) p.second.second = 0.0;
  diagnostics alone_notes;
  const std::vector<channel_fit> alone =
      fit_all_channels(table, 150.0, events_not_counted, alone_notes, 1);
  for (int threads : {2, 7, 64}) {
    diagnostics notes;
    const std::vector<channel_fit> shared =
        fit_all_channels(table, 150.0, events_not_counted, notes, threads);
    EXPECT_EQ(notes, alone_notes);
    ASSERT_EQ(shared.size(), alone.size());
    for (size_t ch = 0; ch < alone.size(); ++ch) {
      EXPECT_EQ(shared[ch].peak_time, alone[ch].peak_time) << ch;
      EXPECT_EQ(shared[ch].amplitude_err, alone[ch].amplitude_err) << ch;
      EXPECT_EQ(shared[ch].chi2, alone[ch].chi2) << ch;
      EXPECT_EQ(shared[ch].verdict, alone[ch].verdict) << ch;
    }
  }
  EXPECT_EQ(alone_notes,
            (diagnostics{"Channel 5 shows no pulse: significance against no pulse 0.0σ.",
                         "Channel 30 has no point to fit."}));
}

}  // namespace
