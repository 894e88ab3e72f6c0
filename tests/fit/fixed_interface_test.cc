#include "fit/fixed_interface.h"

#include <gtest/gtest.h>

#include "reconstruction/fixed_interface.h"

namespace {

TEST(GetRiseTime, LeavesTheOtherFourAloneWithoutUsablePoints) {
  snapshots.assign(32, channel_points(150, snapshot_point{}));
  double v[6] = {150.0, 1.0, 2.0, 3.0, 4.0, 5.0};
  EXPECT_TRUE(get_rise_time(7, v[0], v[1], v[2], v[3], v[4], v[5]));
  EXPECT_EQ(v[0], 0.0);
  EXPECT_EQ(v[1], 0.0);
  EXPECT_EQ(v[2], 2.0);
  EXPECT_EQ(v[5], 5.0);
}

}  // namespace
