// Medians and spreads that a few stray values do not move.

#include "numerics/robust_statistics.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(RobustStatistics, TheUpperMedianTakesTheLargerMiddleValueWhereTheMedianAveragesThem) {
  EXPECT_EQ(upper_median({5.0, 1.0, 3.0}), 3.0);
  EXPECT_EQ(median({5.0, 1.0, 3.0}), 3.0);
  EXPECT_EQ(upper_median({4.0, 1.0, 3.0, 100.0}), 4.0);
  EXPECT_EQ(median({4.0, 1.0, 3.0, 100.0}), 3.5);
  EXPECT_EQ(upper_median({2.0, 1.0}), 2.0);
  EXPECT_EQ(upper_median({7.0}), 7.0);
  EXPECT_TRUE(std::isnan(upper_median({})));
  EXPECT_TRUE(std::isnan(median({})));
}

TEST(RobustStatistics, TheRobustSigmaOfAGaussianIgnoresAStrayValue) {
  // Points of a unit Gaussian at its quantiles: the median absolute deviation is 0.6745.
  std::vector<double> v = {-1.5, -0.6745, -0.3, 0.0, 0.3, 0.6745, 1.5};
  const double clean = robust_sigma(v);
  v.back() = 1e9;
  EXPECT_DOUBLE_EQ(robust_sigma(v), clean);
  EXPECT_NEAR(clean, 1.0, 0.01);
}

TEST(RobustStatistics, TheQuantileInterpolatesBetweenTheValuesAboutItsRank) {
  const std::vector<double> v = {1.0, 2.0, 4.0, 8.0, 16.0};
  EXPECT_EQ(quantile(v, 0.0), 1.0);
  EXPECT_EQ(quantile(v, 1.0), 16.0);
  EXPECT_EQ(quantile(v, 0.5), 4.0);
  EXPECT_EQ(quantile(v, 0.25), 2.0);
  EXPECT_EQ(quantile(v, 0.75), 8.0);
  EXPECT_EQ(quantile(v, 0.875), 12.0);  // rank 3.5, half way from 8 to 16
  EXPECT_EQ(quantile(v, 0.02), 1.08);   // rank 0.08
  EXPECT_EQ(quantile({1.0, 2.0, 3.0, 4.0}, 0.5), 2.5);
  EXPECT_EQ(quantile({7.0}, 0.3), 7.0);
}

TEST(RobustStatistics, TheQuantileOfNothingOrOfNoProbabilityIsNotANumber) {
  EXPECT_TRUE(std::isnan(quantile({}, 0.5)));
  EXPECT_TRUE(std::isnan(quantile({1.0, 2.0}, std::nan(""))));
  EXPECT_EQ(quantile({1.0, 2.0}, -1.0), 1.0);
  EXPECT_EQ(quantile({1.0, 2.0}, 7.0), 2.0);
}

}  // namespace
