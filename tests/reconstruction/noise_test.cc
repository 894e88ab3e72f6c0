#include "reconstruction/noise.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

// `used_steps` pulse windows of points whose errors are `baseline_error` on the baseline bins
// and a much larger one on every other bin, which must not count.
channel_points points_of(int used_steps, double baseline_error) {
  channel_points points(15 * used_steps, {0.0, {0.0, 50.0}});
  for (int i = 0; i < 3 * used_steps; ++i) points[i].second.second = baseline_error;
  return points;
}

TEST(BaselineNoise, IsTheRootMeanSquareSpreadOfTheBaselineBinsAlone) {
  for (int used_steps : {10, 8}) {  // both configurations' window counts
    channel_points points = points_of(used_steps, 0.5);
    EXPECT_DOUBLE_EQ(baseline_noise(points, 16), 2.0) << used_steps;
    // Half the bins twice as spread: the root mean square of 2 and 4, not their mean 3.
    for (int i = 0; i < 3 * used_steps; i += 2) points[i].second.second = 1.0;
    EXPECT_DOUBLE_EQ(baseline_noise(points, 16), std::sqrt(10.0)) << used_steps;
  }
}

TEST(BaselineNoise, LeavesOutBinsWithoutASpreadAndIsNaNWithoutAny) {
  channel_points points = points_of(10, 0.5);
  points[0].second.second = 0.0;  // fewer than two samples
  points[1].second.second = std::numeric_limits<double>::quiet_NaN();
  points[2].second.second = std::numeric_limits<double>::infinity();
  EXPECT_DOUBLE_EQ(baseline_noise(points, 16), 2.0);
  EXPECT_TRUE(std::isnan(baseline_noise(points_of(10, 0.0), 16)));  // a reading that never moves
  EXPECT_TRUE(std::isnan(baseline_noise({}, 16)));
}

}  // namespace
