// Order statistics found in passes over numbers that are not held.

#include "numerics/streamed_ranks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

// Every rank of `values`, found by selections of `digit_bits`-bit digits.
std::vector<double> every_rank(const std::vector<double>& values, unsigned digit_bits) {
  streamed_ranks ranks(values.size(), digit_bits);
  auto pass = [&] {
    for (size_t s = 0; s < values.size(); ++s)
      for (double v : values) ranks.see(s, v);
  };
  pass();
  for (size_t s = 0; s < values.size(); ++s) ranks.look_for(s, s);
  while (ranks.end_pass()) pass();
  std::vector<double> out;
  for (size_t s = 0; s < values.size(); ++s) out.push_back(ranks.value(s));
  return out;
}

TEST(StreamedRanks, EveryRankIsTheSortedValueWithTiesZerosOfBothSignsAndInfinities) {
  std::mt19937_64 draw(5);
  for (int trial = 0; trial < 120; ++trial) {
    std::vector<double> values;
    for (size_t i = 0, n = 1 + draw() % 40; i < n; ++i) {
      const int kind = trial % 4;
      values.push_back(kind == 0   ? static_cast<double>(draw() % 3) - 1.0
                       : kind == 1 ? std::ldexp(static_cast<double>(draw() % 2001) - 1000.0,
                                                static_cast<int>(draw() % 600) - 300)
                       : kind == 2 ? (draw() % 2 ? -0.0 : 0.0) + (draw() % 5 == 0 ? 1e-320 : 0)
                                   : (draw() % 7 == 0 ? (draw() % 2 ? INFINITY : -INFINITY)
                                                      : std::normal_distribution<>(3, 2)(draw)));
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    for (unsigned bits : {1u, 5u, 11u, 16u}) {
      const std::vector<double> got = every_rank(values, bits);
      for (size_t r = 0; r < sorted.size(); ++r) {
        // A zero comes back as +0, which compares equal to -0 as the sort does.
        const double want = sorted[r] == 0.0 ? 0.0 : sorted[r];
        ASSERT_EQ(std::memcmp(&want, &got[r], sizeof want), 0)
            << "trial " << trial << ", " << bits << "-bit digits, rank " << r << ": " << want
            << " against " << got[r];
      }
    }
  }
}

TEST(StreamedRanks, CountsWhatTheFirstPassOfferedAndARankBeyondItOrNoneIsNotANumber) {
  streamed_ranks ranks(4, 11);
  for (double v : {4.0, 2.0, 9.0}) {
    ranks.see(0, v);
    ranks.see(1, v);
    ranks.see(2, v);
  }
  EXPECT_EQ(ranks.count(0), 3u);
  EXPECT_EQ(ranks.count(3), 0u);
  ranks.look_for(0, 2);
  ranks.look_for(1, 3);  // beyond the three offered
  ranks.look_for(3, 0);  // of nothing
  // Selection 2 is never asked: it finds nothing, and later passes offer it nothing.
  int passes = 1;
  while (ranks.end_pass()) {
    ++passes;
    for (double v : {4.0, 2.0, 9.0}) ranks.see(0, v);
  }
  EXPECT_EQ(passes, 6);  // 64 bits in 11-bit digits
  EXPECT_EQ(ranks.value(0), 9.0);
  EXPECT_TRUE(std::isnan(ranks.value(1)));
  EXPECT_TRUE(std::isnan(ranks.value(2)));
  EXPECT_TRUE(std::isnan(ranks.value(3)));
  EXPECT_EQ(ranks.count(0), 3u);
}

}  // namespace
