#include "report/fixed_interface.h"

#include <gtest/gtest.h>

#include <sstream>

#include "fit/channel_fits.h"
#include "reconstruction/fixed_interface.h"
#include "report/log_format.h"
#include "support/pulse_table.h"
#include "support/tool_run.h"

namespace {

TEST(RiseTimeVsChannel, WritesTheFitsOfTheGlobalTable) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  snapshots = clean_pulse_table();
  diagnostics notes;
  ASSERT_TRUE(rise_time_vs_channel(dir + "/r.log", 150.0, notes));
  EXPECT_TRUE(notes.empty());
  std::ostringstream expected;
  write_log(expected, fit_all_channels(snapshots, 150.0, events_not_counted, notes));
  EXPECT_EQ(read_file(dir + "/r.log"), expected.str());
  EXPECT_EQ(tree(dir), std::set<std::string>{"r.log"});
}

TEST(RiseTimeVsChannel, FailsWithoutTouchingAnythingWhenTheLogCannotBeCreated) {
  diagnostics notes;
  EXPECT_FALSE(rise_time_vs_channel("/nonexistent/dir/r.log", 150.0, notes));
  EXPECT_EQ(notes, diagnostics{"Cannot open log file named /nonexistent/dir/r.log."});
}

}  // namespace
