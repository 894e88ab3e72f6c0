// A program of its own, so that no other test can have touched the global table before it runs.
#include <gtest/gtest.h>

#include "reconstruction/fixed_interface.h"

namespace {

TEST(Snapshots, HoldsThirtyTwoEmptyChannelListsBeforeAnyAnalysis) {
  ASSERT_EQ(snapshots.size(), 32u);
  for (const channel_points& channel : snapshots) EXPECT_TRUE(channel.empty());
}

}  // namespace
