#include "numerics/line_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

TEST(LineFit, RecoversAnExactLineWithTheErrorsItsWeightsGive) {
  // y = 2 + 3x at x = 0, 1, 2, errors 1: S = 3, Sx = 3, Sxx = 5, so D = S Sxx - Sx^2 = 6, the
  // slope's variance S / D = 1/2 and the intercept's Sxx / D = 5/6.
  std::optional<line_fit> f = fit_line({0, 1, 2}, {2, 5, 8}, {1, 1, 1});
  ASSERT_TRUE(f);
  EXPECT_NEAR(f->slope, 3.0, 1e-12);
  EXPECT_NEAR(f->intercept, 2.0, 1e-12);
  EXPECT_NEAR(f->slope_err, std::sqrt(0.5), 1e-12);
  EXPECT_NEAR(f->intercept_err, std::sqrt(5.0 / 6.0), 1e-12);
  EXPECT_NEAR(f->chi2, 0.0, 1e-12);
  // A point 10 off with a tenfold error moves the slope by 2/7 (weights 1, 1, 1/100: S = 2.01,
  // Sx = 1.02, Sxx = 1.04, Sy = 7.18, Sxy = 5.36); with its error 1 it would move it by 5.
  f = fit_line({0, 1, 2}, {2, 5, 18}, {1, 1, 10});
  ASSERT_TRUE(f);
  EXPECT_NEAR(f->slope, 3.0 + 2.0 / 7, 1e-12);
  EXPECT_NEAR(fit_line({0, 1, 2}, {2, 5, 18}, {1, 1, 1})->slope, 8.0, 1e-12);
}

TEST(LineFit, RefusesWhatAllowsNoLine) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(fit_line({1}, {2}, {1}));
  EXPECT_FALSE(fit_line({1, 1, 1}, {2, 3, 4}, {1, 1, 1}));
  EXPECT_FALSE(fit_line({1, 2}, {2, 3}, {1, 0}));
  EXPECT_FALSE(fit_line({1, 2}, {2, 3}, {1, nan}));
  EXPECT_FALSE(fit_line({1, 2}, {2, 3}, {1}));
}

TEST(LineFit, SlopesOfNoisyLinesScatterByTheirErrors) {
  std::mt19937_64 random(7);
  std::normal_distribution<double> unit(0.0, 1.0);
  const std::vector<double> x = {4, 10, 20}, sigma = {0.05, 0.07, 0.1};
  double sum = 0, squares = 0;
  const int lines = 4000;
  for (int i = 0; i < lines; ++i) {
    std::vector<double> y;
    for (size_t j = 0; j < x.size(); ++j) y.push_back(1.5 + 25.0 * x[j] + sigma[j] * unit(random));
    std::optional<line_fit> f = fit_line(x, y, sigma);
    ASSERT_TRUE(f);
    double pull = (f->slope - 25.0) / f->slope_err;
    sum += pull;
    squares += pull * pull;
  }
  double mean = sum / lines;
  EXPECT_NEAR(mean, 0.0, 0.05);
  EXPECT_NEAR(std::sqrt(squares / lines - mean * mean), 1.0, 0.05);
}
