// u^4 without the general power function, bit for bit as std::pow(u, 4.0) gives it.

#include "numerics/fourth_power.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace {

void expect_as_pow(double u) {
  const double expected = std::pow(u, 4.0), got = fourth_power(u);
  if (std::isnan(expected))
    EXPECT_TRUE(std::isnan(got)) << u;
  else
    EXPECT_EQ(std::bit_cast<uint64_t>(got), std::bit_cast<uint64_t>(expected))
        << std::hexfloat << u << ": " << got << " against " << expected;
}

TEST(FourthPower, EqualsPowOnMillionsOfValuesAcrossEveryScale) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> model_range(0.0, 20.0), exponent(-270.0, 255.0);
  int mismatches = 0;
  for (int i = 0; i < 2000000 && mismatches < 10; ++i) {
    const double u = i % 2 ? model_range(rng) : std::exp2(exponent(rng));
    const double expected = std::pow(u, 4.0), got = fourth_power(u);
    if (std::bit_cast<uint64_t>(got) != std::bit_cast<uint64_t>(expected)) {
      ++mismatches;
      expect_as_pow(u);
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(FourthPower, EqualsPowAtTheEdges) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  for (double u : {0.0,
                   -0.0,
                   1.0,
                   2.0,
                   0.5,
                   1.0 + 0x1p-52,
                   1.0 - 0x1p-53,
                   0x1p-300,
                   0x1p-260,
                   0x1p-1074,
                   std::numeric_limits<double>::min(),
                   0x1p255,
                   0x1p256,
                   1e77,
                   1e78,
                   std::numeric_limits<double>::max(),
                   inf,
                   -inf,
                   -3.0,
                   -1e-10,
                   std::numeric_limits<double>::quiet_NaN()})
    expect_as_pow(u);
}

}  // namespace
