#include "report/rise_time_report.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "fit/shaper_model.h"
#include "support/tool_run.h"

namespace {

// A table of 32 channels with clean pulses, for channels to be spoilt one by one.
snapshot_table pulses() {
  std::mt19937 rng(4);
  std::normal_distribution<double> noise(0.0, 1.0);
  snapshot_table table(32);
  for (int ch = 0; ch < 32; ++ch) {
    const double par[] = {150.0, 800.0, 0.0, 400.0 + ch};
    for (int i = 0; i < 150; ++i) {
      double t = (i / 10 + 1) * 200.0 - (i % 10) * 20.0;
      table[ch].push_back({t, {Fit_Function(&t, par) + noise(rng), 1.0}});
    }
  }
  return table;
}

TEST(FitAllChannels, NotesChannelsThatCouldNotBeFitted) {
  snapshot_table table = pulses();
  for (snapshot_point& p : table[3]) p.second.second = 0.0;
  table[3][40].second.second = 1.0;
  table[3][41].second.second = 1.0;
  for (snapshot_point& p : table[7]) p.second.first = 0.0;   // a dead, perfectly quiet channel
  for (snapshot_point& p : table[9]) p.second.second = 0.0;  // no usable point: no note
  diagnostics notes;
  std::vector<channel_fit> fits;
  std::vector<channel_result> r = fit_all_channels(table, 150.0, notes, &fits);
  EXPECT_EQ(notes, (diagnostics{"Fit of channel 3 did not converge.",
                                "Fit of channel 7 did not converge."}));
  ASSERT_EQ(r.size(), 32u);
  EXPECT_EQ(r[3].peak_time, 150.0);
  EXPECT_EQ(r[3].time_stamp, 800.0);
  EXPECT_EQ(r[3].peak_time_err, 0.0);
  EXPECT_EQ(r[9].peak_time, 0.0);
  EXPECT_EQ(r[9].amplitude, 0.0);
  EXPECT_NEAR(r[10].amplitude, 410.0, 1.0);
  EXPECT_EQ(fits.size(), 32u);
}

TEST(FitAllChannels, StartsEveryChannelFromTheGuess) {
  snapshot_table table = pulses();
  diagnostics notes;
  std::vector<channel_fit> once, reversed;
  fit_all_channels(table, 150.0, notes, &once);
  std::reverse(table.begin(), table.end());
  fit_all_channels(table, 150.0, notes, &reversed);
  for (int ch = 0; ch < 32; ++ch) EXPECT_EQ(once[ch].peak_time, reversed[31 - ch].peak_time);
}

TEST(RiseTimeVsChannel, WritesTheFitsOfTheGlobalTable) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  snapshots = pulses();
  diagnostics notes;
  ASSERT_TRUE(rise_time_vs_channel(dir + "/r.log", 150.0, notes));
  EXPECT_TRUE(notes.empty());
  std::ostringstream expected;
  write_log(expected, fit_all_channels(snapshots, 150.0, notes, nullptr));
  EXPECT_EQ(read_file(dir + "/r.log"), expected.str());
  EXPECT_EQ(tree(dir), std::set<std::string>{"r.log"});
}

TEST(RiseTimeVsChannel, FailsWithoutTouchingAnythingWhenTheLogCannotBeCreated) {
  diagnostics notes;
  EXPECT_FALSE(rise_time_vs_channel("/nonexistent/dir/r.log", 150.0, notes));
  EXPECT_EQ(notes, diagnostics{"Cannot open log file named /nonexistent/dir/r.log."});
}

}  // namespace
