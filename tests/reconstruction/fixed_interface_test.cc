#include "reconstruction/fixed_interface.h"

#include <gtest/gtest.h>

#include "support/rows.h"
#include "support/tool_run.h"

namespace {

TEST(AnalyseTree, ReportsAFileThatDoesNotOpenAndLeavesTheTable) {
  snapshots.assign(32, channel_points(3, snapshot_point{1.0, {2.0, 3.0}}));
  diagnostics notes;
  EXPECT_FALSE(analyse_tree("/nonexistent/x.txt", 20.0, 15, 10, 0, notes));
  EXPECT_EQ(notes, diagnostics{"Cannot open file named /nonexistent/x.txt."});
  EXPECT_FALSE(analyse_tree("/tmp", 20.0, 15, 10, 0, notes));
  EXPECT_EQ(notes.back(), "Cannot open file named /tmp.");
  EXPECT_EQ(snapshots[31][2], (snapshot_point{1.0, {2.0, 3.0}}));
}

TEST(AnalyseTree, FillsTheGlobalTable) {
  temp_dir scratch;
  std::string path = scratch / "rec.txt";
  ASSERT_TRUE(write_file(path, two_events().text()));
  diagnostics notes;
  EXPECT_TRUE(analyse_tree(path, 20.0, 45, 10, 2, notes));
  EXPECT_TRUE(notes.empty());
  ASSERT_EQ(snapshots.size(), 32u);
  EXPECT_EQ(snapshots[0].size(), 120u);
  EXPECT_EQ(snapshots[0][1].first, 180.0);
}

}  // namespace
