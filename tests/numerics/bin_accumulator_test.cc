#include "numerics/bin_accumulator.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <random>
#include <vector>

namespace {

bin_accumulator accumulate(const std::vector<int32_t>& values) {
  bin_accumulator bin;
  for (int32_t v : values) bin.add(v);
  return bin;
}

// The sums the slow way: doubles in order, then the two-pass spread.
double two_pass_sd(const std::vector<int32_t>& values) {
  double mean = 0.0;
  for (int32_t v : values) mean += v;
  mean /= static_cast<double>(values.size());
  double s = 0.0;
  for (int32_t v : values) s += (v - mean) * (v - mean);
  return std::sqrt(s / static_cast<double>(values.size() - 1));
}

TEST(BinAccumulator, EmptyAndSingleBinsHaveNoSpread) {
  EXPECT_TRUE(std::isnan(bin_mean(accumulate({}))));
  EXPECT_EQ(bin_sample_sd(accumulate({})), 0.0);
  EXPECT_EQ(bin_mean(accumulate({-7})), -7.0);
  EXPECT_EQ(bin_sample_sd(accumulate({-7})), 0.0);
}

TEST(BinAccumulator, UsesNMinusOne) {
  EXPECT_EQ(bin_mean(accumulate({1, 2, 3, 4})), 2.5);
  EXPECT_DOUBLE_EQ(bin_sample_sd(accumulate({1, 2, 3, 4})), std::sqrt(5.0 / 3.0));
  EXPECT_EQ(bin_sample_sd(accumulate({100, 100, 100})), 0.0);
}

TEST(BinAccumulator, MatchesTheSequentialSumsOnRealisticSamples) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(612.0, 3.0);
  std::vector<int32_t> values;
  for (int i = 0; i < 5000; ++i) values.push_back(static_cast<int32_t>(std::lround(noise(rng))));
  bin_accumulator bin = accumulate(values);
  double sequential = 0.0;
  for (int32_t v : values) sequential += v;
  EXPECT_EQ(bin_mean(bin), sequential / 5000.0);
  EXPECT_NEAR(bin_sample_sd(bin), two_pass_sd(values), 1e-12 * two_pass_sd(values));
}

TEST(BinAccumulator, StaysExactAtTheThirtyTwoBitLimits) {
  std::vector<int32_t> values;
  for (int i = 0; i < 1000; ++i) values.push_back(i % 2 ? INT32_MAX : INT32_MIN);
  bin_accumulator bin = accumulate(values);
  EXPECT_EQ(bin_mean(bin), -0.5);
  // Half the values at each limit: the spread is 2^31 - 0.5 times sqrt(n / (n - 1)).
  EXPECT_DOUBLE_EQ(bin_sample_sd(bin), (2147483648.0 - 0.5) * std::sqrt(1000.0 / 999.0));
}

}  // namespace
