#include "numerics/cubic_spline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

cubic_spline spline_of(const std::vector<double>& x, double (*f)(double)) {
  std::vector<double> y;
  for (double v : x) y.push_back(f(v));
  return *cubic_spline::through(x, y);
}

double cubic(double t) {
  return 0.002 * t * t * t - 0.3 * t * t + 4 * t - 7;
}

TEST(CubicSpline, RefusesNoNodesAndMismatchedSpans) {
  std::vector<double> none;
  EXPECT_FALSE(cubic_spline::through(none, none).has_value());
  std::vector<double> x = {1, 2}, y = {1};
  EXPECT_FALSE(cubic_spline::through(x, y).has_value());
}

TEST(CubicSpline, OneNodeIsConstant) {
  std::vector<double> x = {3}, y = {42.5};
  cubic_spline s = *cubic_spline::through(x, y);
  for (double t : {-100.0, 3.0, 1e6}) EXPECT_EQ(s(t), 42.5);
}

TEST(CubicSpline, TwoNodesGiveTheLineAndThreeTheParabola) {
  cubic_spline line = spline_of({1, 16}, [](double t) { return 2 * t + 1; });
  for (double t : {-5.0, 1.0, 7.0, 16.0, 40.0}) EXPECT_NEAR(line(t), 2 * t + 1, 1e-12);
  cubic_spline parabola = spline_of({1, 16, 40}, [](double t) { return 0.5 * t * t - t + 3; });
  for (double t : {-5.0, 1.0, 9.0, 16.0, 30.0, 60.0})
    EXPECT_NEAR(parabola(t), 0.5 * t * t - t + 3, 1e-9);
}

TEST(CubicSpline, ReproducesAnyCubicIncludingExtrapolation) {
  for (int n : {4, 5, 8, 10}) {
    std::vector<double> x;
    for (int k = 0; k < n; ++k) x.push_back(15 * k + 1);
    cubic_spline s = spline_of(x, cubic);
    for (double t = -20; t <= 15 * n + 20; t += 0.5)
      EXPECT_NEAR(s(t), cubic(t), 1e-9 * (1 + std::abs(cubic(t)))) << n << " nodes at " << t;
  }
}

TEST(CubicSpline, WithFourNodesIsTheInterpolatingCubic) {
  // Not-a-knot at both ends of four nodes leaves one cubic piece: Lagrange's polynomial.
  std::vector<double> x = {0, 1, 3, 7}, y = {2, -1, 4, 0};
  cubic_spline s = *cubic_spline::through(x, y);
  auto lagrange = [&](double t) {
    double sum = 0;
    for (int i = 0; i < 4; ++i) {
      double term = y[i];
      for (int j = 0; j < 4; ++j)
        if (j != i) term *= (t - x[j]) / (x[i] - x[j]);
      sum += term;
    }
    return sum;
  };
  for (double t = -3; t <= 10; t += 0.25) EXPECT_NEAR(s(t), lagrange(t), 1e-12) << t;
}

// One-sided derivatives of a piecewise cubic from its values: exact up to rounding for
// polynomial pieces, with differences taken inside one piece.
double derivative(const cubic_spline& s, double t, int order, double side) {
  const double h = 1e-2 * side;
  double f[4] = {s(t), s(t + h), s(t + 2 * h), s(t + 3 * h)};
  if (order == 1) return (-11 * f[0] + 18 * f[1] - 9 * f[2] + 2 * f[3]) / (6 * h);
  if (order == 2) return (2 * f[0] - 5 * f[1] + 4 * f[2] - f[3]) / (h * h);
  return (-f[0] + 3 * f[1] - 3 * f[2] + f[3]) / (h * h * h);
}

TEST(CubicSpline, IsSmoothAtEveryNodeAndNotAKnotAtTheSecondAndNextToLast) {
  std::vector<double> x = {1, 16, 31, 46, 61, 76, 91}, y = {100, 103, 99, 104, 98, 97, 101};
  cubic_spline s = *cubic_spline::through(x, y);
  for (size_t k = 0; k < x.size(); ++k) EXPECT_NEAR(s(x[k]), y[k], 1e-12);
  for (size_t k = 1; k + 1 < x.size(); ++k) {
    EXPECT_NEAR(derivative(s, x[k], 1, -1), derivative(s, x[k], 1, 1), 1e-6) << k;
    EXPECT_NEAR(derivative(s, x[k], 2, -1), derivative(s, x[k], 2, 1), 1e-4) << k;
  }
  for (size_t k : {size_t{1}, x.size() - 2})
    EXPECT_NEAR(derivative(s, x[k], 3, -1), derivative(s, x[k], 3, 1), 1e-3) << k;
  EXPECT_GT(std::abs(derivative(s, x[2], 3, -1) - derivative(s, x[2], 3, 1)), 1e-3);
}

}  // namespace
