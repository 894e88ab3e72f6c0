// Medians and spreads that a few stray values do not move.

#include "numerics/robust_statistics.h"

#include <gsl/gsl_statistics_double.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

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

TEST(RobustStatistics, TheSymmetricSigmaIsThePooledSigmaOfBothSignsToTheLastBit) {
  std::mt19937_64 draw(7);
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<double> pooled, magnitudes;
    for (size_t i = 0, n = 1 + draw() % 40; i < n; ++i) {
      // Few distinct values give ties; scaled ones give rounding in the middle values' mean.
      double x = draw() % 3 == 0 ? static_cast<double>(draw() % 4)
                                 : std::ldexp(static_cast<double>(draw() % 100000) - 50000.0,
                                              -static_cast<int>(draw() % 20));
      pooled.insert(pooled.end(), {x, -x});
      magnitudes.push_back(std::fabs(x));
    }
    const double whole = robust_sigma(pooled), half = symmetric_robust_sigma(magnitudes);
    ASSERT_EQ(std::memcmp(&whole, &half, sizeof whole), 0) << trial << ": " << whole << " " << half;
  }
  EXPECT_TRUE(std::isnan(symmetric_robust_sigma({})));
}

TEST(RobustStatistics, TheMedianIsTheSortedMiddleOrTheMeanOfTheTwoToTheLastBit) {
  std::mt19937_64 draw(11);
  for (int trial = 0; trial < 5000; ++trial) {
    std::vector<double> values;
    for (size_t i = 0, n = 1 + draw() % 50; i < n; ++i) {
      // Ties, values whose mean rounds, and values whose sum overflows to infinity.
      const int kind = trial % 4;
      values.push_back(kind == 0   ? static_cast<double>(draw() % 4)
                       : kind == 1 ? std::ldexp(static_cast<double>(draw() % 100000) - 50000.0,
                                                -static_cast<int>(draw() % 30))
                       : kind == 2 ? (draw() % 2 ? 1.0 : -1.0) * 1.5e308
                                   : (draw() % 9 == 0 ? INFINITY : 0.25 * (draw() % 1000)));
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const double expected = n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    const double got = median(values);
    ASSERT_EQ(std::memcmp(&expected, &got, sizeof got), 0)
        << trial << ": " << expected << " " << got;
  }
  EXPECT_TRUE(std::isnan(median({})));
  // A NaN among the values leaves no order to select from: GSL's own selection answers, as it
  // always did.
  for (std::vector<double> v :
       {std::vector<double>{1.0, NAN, 3.0, 2.0, 5.0}, std::vector<double>{NAN, 4.0, -1.0, 2.0}}) {
    std::vector<double> copy = v;
    const double gsl = gsl_stats_median(copy.data(), 1, copy.size()), got = median(v);
    EXPECT_TRUE(std::isnan(gsl) ? std::isnan(got) : gsl == got) << gsl << " " << got;
  }
}

}  // namespace
