// The numbers a person reads, character for character.

#include "common/number_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(NumberText, FixedRoundsToTheDecimalsAsked) {
  EXPECT_EQ(fixed_text(3.14159, 2), "3.14");
  EXPECT_EQ(fixed_text(2.5, 0), "2");  // ties to even, as the log always had
  EXPECT_EQ(fixed_text(3.5, 0), "4");
  EXPECT_EQ(fixed_text(0.125, 2), "0.12");
  EXPECT_EQ(fixed_text(-1.005, 2), "-1.00");  // 1.005 is 1.00499999... in binary
  EXPECT_EQ(fixed_text(163.26, 1), "163.3");
  EXPECT_EQ(fixed_text(7, 3), "7.000");
  EXPECT_EQ(fixed_text(-0.004, 2), "-0.00");
}

TEST(NumberText, FixedWritesHugeAndTinyValuesWhole) {
  EXPECT_EQ(fixed_text(1e20, 0), "100000000000000000000");
  EXPECT_EQ(fixed_text(1e-20, 3), "0.000");
  EXPECT_EQ(fixed_text(std::numeric_limits<double>::max(), 2).size(), 309u + 3u);
  EXPECT_EQ(fixed_text(-std::numeric_limits<double>::max(), 100).size(), 1u + 309u + 1u + 100u);
  EXPECT_EQ(fixed_text(std::numeric_limits<double>::denorm_min(), 2), "0.00");
}

TEST(NumberText, FixedClampsItsDecimals) {
  EXPECT_EQ(fixed_text(1.5, -3), "2");
  EXPECT_EQ(fixed_text(1.0, 1000).size(), 2u + 100u);
}

TEST(NumberText, NotFiniteValuesAndNegativeZeroReadAsCPrintfWritesThem) {
  EXPECT_EQ(fixed_text(nan, 2), "nan");
  EXPECT_EQ(fixed_text(-nan, 2), "-nan");
  EXPECT_EQ(fixed_text(inf, 2), "inf");
  EXPECT_EQ(fixed_text(-inf, 0), "-inf");
  EXPECT_EQ(significant_text(nan, 3), "nan");
  EXPECT_EQ(significant_text(-inf, 3), "-inf");
  EXPECT_EQ(shortest_text(inf), "inf");
  EXPECT_EQ(shortest_text(-nan), "-nan");
  EXPECT_EQ(plain_significant_text(nan, 2), "nan");
  EXPECT_EQ(plain_significant_text(-inf, 2), "-inf");
  EXPECT_EQ(fixed_text(-0.0, 1), "-0.0");
  EXPECT_EQ(significant_text(-0.0), "-0");
  EXPECT_EQ(shortest_text(-0.0), "-0");
}

TEST(NumberText, SignificantDropsTrailingZerosAndTakesAnExponentOutsideItsDigits) {
  EXPECT_EQ(significant_text(0.1), "0.1");
  EXPECT_EQ(significant_text(5), "5");
  EXPECT_EQ(significant_text(1.0 / 3, 3), "0.333");
  EXPECT_EQ(significant_text(1234567), "1.23457e+06");
  EXPECT_EQ(significant_text(123456), "123456");
  EXPECT_EQ(significant_text(0.0001234, 3), "0.000123");
  EXPECT_EQ(significant_text(0.00001234, 3), "1.23e-05");
  EXPECT_EQ(significant_text(1e300, 3), "1e+300");
  EXPECT_EQ(significant_text(2586.4, 4), "2586");
  EXPECT_EQ(significant_text(25864.0, 4), "2.586e+04");
  EXPECT_EQ(significant_text(0.1, 17), "0.10000000000000001");
  EXPECT_EQ(significant_text(0.95, 0), "0.9");  // one digit at least, as "%.0g"
}

TEST(NumberText, ShortestReadsBackExactly) {
  EXPECT_EQ(shortest_text(0.1), "0.1");
  EXPECT_EQ(shortest_text(1e22), "1e+22");
  EXPECT_EQ(shortest_text(123456789012.0), "123456789012");
  EXPECT_EQ(shortest_text(std::numeric_limits<double>::denorm_min()), "5e-324");
  EXPECT_EQ(shortest_text(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> exponent(-300, 300);
  for (int i = 0; i < 1000; ++i) {
    const double v = std::pow(10.0, exponent(random)) * (i % 2 ? -1 : 1);
    ASSERT_EQ(std::strtod(shortest_text(v).c_str(), nullptr), v) << shortest_text(v);
  }
}

TEST(NumberText, PlainSignificantNeverTakesAnExponentNorCutsTheWholePart) {
  EXPECT_EQ(plain_significant_text(0.0764, 2), "0.076");
  EXPECT_EQ(plain_significant_text(4.53, 2), "4.5");
  EXPECT_EQ(plain_significant_text(140.2, 2), "140");
  EXPECT_EQ(plain_significant_text(1637.4, 2), "1637");
  EXPECT_EQ(plain_significant_text(-0.0764, 2), "-0.076");
  EXPECT_EQ(plain_significant_text(0.0, 2), "0.0");
  EXPECT_EQ(plain_significant_text(1e-9, 2), "0.000000");
  EXPECT_EQ(plain_significant_text(1e20, 2), "100000000000000000000");
  EXPECT_EQ(plain_significant_text(0.0764, 3), "0.0764");
}

TEST(NumberText, TheFormatsMatchCPrintfOnManyValues) {
  std::mt19937_64 random(11);
  std::uniform_real_distribution<double> exponent(-12, 12);
  char expected[512];
  for (int i = 0; i < 4000; ++i) {
    const double v = std::pow(10.0, exponent(random)) * (i % 3 ? 1 : -1);
    const int digits = i % 8;
    std::snprintf(expected, sizeof expected, "%.*f", digits, v);
    ASSERT_EQ(fixed_text(v, digits), expected);
    std::snprintf(expected, sizeof expected, "%.*g", digits + 1, v);
    ASSERT_EQ(significant_text(v, digits + 1), expected);
  }
}

TEST(NumberText, TheLocaleDoesNotChangeThePoint) {
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
    GTEST_SKIP() << "no locale with a decimal comma";
  const std::string fixed = fixed_text(2.5, 1), significant = significant_text(0.25);
  std::setlocale(LC_NUMERIC, "C");
  EXPECT_EQ(fixed, "2.5");
  EXPECT_EQ(significant, "0.25");
}

TEST(NumberText, PaddingFillsToTheWidthAndKeepsALongerTextWhole) {
  EXPECT_EQ(zero_padded(7, 2), "07");
  EXPECT_EQ(zero_padded(123, 2), "123");
  EXPECT_EQ(zero_padded(-7, 3), "-007");
  EXPECT_EQ(zero_padded(0, 0), "0");
  EXPECT_EQ(zero_padded(std::numeric_limits<int64_t>::min(), 2), "-9223372036854775808");
  EXPECT_EQ(hex_text(255, 4), "00ff");
  EXPECT_EQ(hex_text(0, 16), "0000000000000000");
  EXPECT_EQ(hex_text(UINT64_MAX, 16), "ffffffffffffffff");
  EXPECT_EQ(hex_text(0xabc, 0), "abc");
  EXPECT_EQ(right_aligned("1.50", 6), "  1.50");
  EXPECT_EQ(right_aligned("", 3), "   ");
  EXPECT_EQ(right_aligned("123456", 4), "123456");
  EXPECT_EQ(left_aligned("chip", 6), "chip  ");
  EXPECT_EQ(left_aligned("chip0001x", 8), "chip0001x");
}

}  // namespace
