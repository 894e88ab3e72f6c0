#include "numerics/least_squares.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "fit/shaper_model.h"

namespace {

double shaper(double x, const double* par, double* grad, double* hess) {
  return shaper_with_derivatives(x, par, grad, hess);
}

std::vector<data_point> noisy_pulse(const double* par, double sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  std::vector<data_point> data;
  for (int k = 1; k <= 150; ++k) {
    double x = 20.0 * k;
    data.push_back({x, Fit_Function(&x, par) + noise(rng), sigma});
  }
  return data;
}

// chi2 from the model's values alone, as an independent route to the minimum.
double chi2(const std::vector<data_point>& data, const double* free3) {
  const double par[] = {free3[0], free3[1], 0.0, free3[2]};
  double s = 0.0;
  for (const data_point& d : data) {
    double r = (d.y - Fit_Function(&d.x, par)) / d.ey;
    s += r * r;
  }
  return s;
}

// Gradient and Hessian of chi2 by central differences.
void numeric_derivatives(const std::vector<data_point>& data, const double* p, double* g,
                         double* h) {
  const double step[] = {1e-3, 1e-3, 1e-2};
  for (int i = 0; i < 3; ++i) {
    double up[3] = {p[0], p[1], p[2]}, dn[3] = {p[0], p[1], p[2]};
    up[i] += step[i];
    dn[i] -= step[i];
    g[i] = (chi2(data, up) - chi2(data, dn)) / (2 * step[i]);
    for (int j = 0; j < 3; ++j) {
      double pp[3] = {p[0], p[1], p[2]}, pm[3] = {p[0], p[1], p[2]}, mp[3] = {p[0], p[1], p[2]},
             mm[3] = {p[0], p[1], p[2]};
      pp[i] += step[i], pp[j] += step[j];
      pm[i] += step[i], pm[j] -= step[j];
      mp[i] -= step[i], mp[j] += step[j];
      mm[i] -= step[i], mm[j] -= step[j];
      h[i * 3 + j] = (chi2(data, pp) - chi2(data, pm) - chi2(data, mp) + chi2(data, mm)) /
                     (4 * step[i] * step[j]);
    }
  }
}

// The inverse of a symmetric 3 x 3 matrix by cofactors.
void invert3(const double* m, double* inv) {
  double c[9] = {m[4] * m[8] - m[5] * m[7], m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
                 m[5] * m[6] - m[3] * m[8], m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
                 m[3] * m[7] - m[4] * m[6], m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3]};
  double det = m[0] * c[0] + m[1] * c[3] + m[2] * c[6];
  for (int i = 0; i < 9; ++i) inv[i] = c[i] / det;
}

TEST(LeastSquares, AgreesWithAnIndependentNewtonMinimisation) {
  const double truth[] = {163.0, 812.0, 0.0, 612.0};
  for (unsigned seed : {1u, 2u, 3u, 4u}) {
    std::vector<data_point> data = noisy_pulse(truth, 4.0, seed);
    std::vector<fit_parameter> pars = {
        {"Peak_Time", 150.0}, {"Time_stamp", 800.0}, {"Baseline", 0.0, true}, {"Peak", 600.0}};
    fit_result r = least_squares_fit({4, shaper}, pars, data, 20.0, 3000.0);
    ASSERT_TRUE(r.converged);
    EXPECT_EQ(r.values[2], 0.0);
    EXPECT_EQ(r.errors[2], 0.0);
    EXPECT_EQ(r.points, 150);
    EXPECT_EQ(r.ndf, 147);

    double p[3] = {truth[0], truth[1], truth[3]}, g[3], h[9], inv[9];
    for (int it = 0; it < 30; ++it) {
      numeric_derivatives(data, p, g, h);
      invert3(h, inv);
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) p[i] -= inv[i * 3 + j] * g[j];
    }
    numeric_derivatives(data, p, g, h);
    invert3(h, inv);
    const int index[] = {0, 1, 3};
    for (int i = 0; i < 3; ++i) {
      double error = std::sqrt(2 * inv[i * 4]);
      EXPECT_NEAR(r.values[index[i]], p[i], 0.01 * error) << "seed " << seed << " par " << i;
      EXPECT_NEAR(r.errors[index[i]], error, 0.01 * error) << "seed " << seed << " par " << i;
    }
    EXPECT_NEAR(r.chi2, chi2(data, p), 1e-6);
  }
}

TEST(LeastSquares, UsesOnlyThePointsInsideTheRange) {
  const double truth[] = {150.0, 800.0, 0.0, 500.0};
  std::vector<data_point> data = noisy_pulse(truth, 2.0, 9);
  data.push_back({5000.0, 1e6, 1.0});  // far outside: would wreck the fit if it counted
  std::vector<fit_parameter> pars = {{"T", 150.0}, {"t0", 800.0}, {"B", 0.0, true}, {"A", 500.0}};
  fit_result r = least_squares_fit({4, shaper}, pars, data, 20.0, 3000.0);
  EXPECT_EQ(r.points, 150);
  EXPECT_TRUE(r.converged);
  EXPECT_NEAR(r.values[3], 500.0, 5.0);
}

TEST(LeastSquares, RunsNoMinimisationWithTooFewPoints) {
  std::vector<data_point> data = {{900, 40, 1}, {1000, 30, 1}};
  std::vector<fit_parameter> pars = {{"T", 150.0}, {"t0", 800.0}, {"B", 0.0, true}, {"A", 40.0}};
  fit_result r = least_squares_fit({4, shaper}, pars, data, 900, 1000);
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.values, (std::vector<double>{150.0, 800.0, 0.0, 40.0}));
  EXPECT_EQ(r.errors, (std::vector<double>{0.0, 0.0, 0.0, 0.0}));
}

TEST(LeastSquares, ReportsADegenerateMinimumAsNotConverged) {
  // A flat zero with no pulse: chi2 is 0 for any time once the height is 0, so the time
  // parameters are not determined and the curvature matrix is singular.
  std::vector<data_point> data;
  for (int k = 1; k <= 150; ++k) data.push_back({20.0 * k, 0.0, 1.0});
  std::vector<fit_parameter> pars = {{"T", 150.0}, {"t0", 800.0}, {"B", 0.0, true}, {"A", 0.0}};
  fit_result r = least_squares_fit({4, shaper}, pars, data, 20, 3000);
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(r.chi2, 0.0);
}

// f = (a - x)^2 at x = -1 and 1, both measured 5: chi2 = 32 - 8 a^2 + 2 a^4 is stationary at a = 0
// and J^T J = 8 > 0 there, but chi2 peaks (its second derivative is -16). A fit started on that
// maximum takes no step and must not call it a minimum.
TEST(LeastSquares, ReportsAStartOnAMaximumAsNotConverged) {
  auto parabola = [](double x, const double* par, double* grad, double* hess) {
    if (grad) grad[0] = 2 * (par[0] - x);
    if (hess) hess[0] = 2;
    return (par[0] - x) * (par[0] - x);
  };
  std::vector<data_point> data = {{-1.0, 5.0, 1.0}, {1.0, 5.0, 1.0}};
  fit_result r = least_squares_fit({1, parabola}, {{"a", 0.0}}, data, -1, 1);
  EXPECT_FALSE(r.converged);
  EXPECT_NEAR(r.values[0], 0.0, 1e-9);
  EXPECT_NEAR(r.chi2, 32.0, 1e-9);
}

TEST(LeastSquares, ReportsANonFiniteModelAsNotConverged) {
  const double truth[] = {150.0, 800.0, 0.0, 500.0};
  std::vector<data_point> data = noisy_pulse(truth, 2.0, 3);
  std::vector<fit_parameter> pars = {{"T", 0.0}, {"t0", 800.0}, {"B", 0.0, true}, {"A", 500.0}};
  fit_result r = least_squares_fit({4, shaper}, pars, data, 20, 3000);
  EXPECT_FALSE(r.converged);
}

}  // namespace

namespace {

TEST(LeastSquares, GivesUpWhereTheLimitsSaySoAndReportsIt) {
  const double truth[] = {150.0, 800.0, 0.0, 500.0};
  std::vector<data_point> data = noisy_pulse(truth, 2.0, 4);
  std::vector<fit_parameter> pars = {{"T", 150.0}, {"t0", 800.0}, {"B", 0.0, true}, {"A", 5.0}};
  fit_limits limits;
  int asked = 0;
  limits.give_up = [&asked](const double* v) {
    ++asked;
    return v[3] > 100.0;  // the height must climb from 5 past 100 on its way to 500
  };
  fit_result r = least_squares_fit({4, shaper}, pars, data, 20.0, 3000.0, limits);
  EXPECT_TRUE(r.gave_up);
  EXPECT_FALSE(r.converged);
  EXPECT_EQ(asked, r.iterations);
  limits.give_up = nullptr;
  r = least_squares_fit({4, shaper}, pars, data, 20.0, 3000.0, limits);
  EXPECT_FALSE(r.gave_up);
  EXPECT_TRUE(r.converged);
}

TEST(LeastSquares, WithoutPolishStopsAtOrJustAboveThePolishedMinimum) {
  const double truth[] = {163.0, 812.0, 0.0, 612.0};
  std::vector<data_point> data = noisy_pulse(truth, 4.0, 2);
  std::vector<fit_parameter> pars = {{"T", 150.0}, {"t0", 800.0}, {"B", 0.0, true}, {"A", 600.0}};
  fit_limits rough;
  rough.polish = false;
  fit_result polished = least_squares_fit({4, shaper}, pars, data, 20.0, 3000.0);
  fit_result unpolished = least_squares_fit({4, shaper}, pars, data, 20.0, 3000.0, rough);
  EXPECT_GE(unpolished.chi2, polished.chi2);
  EXPECT_LT(unpolished.chi2, polished.chi2 * (1 + 1e-9));
  EXPECT_NEAR(unpolished.values[0], polished.values[0], 1e-3 * polished.errors[0]);
}

// The residual pass with the model evaluated on all points at once finds the same fit, to the last
// bit, as the one evaluating it point by point, with either solver and with or without polish.
TEST(LeastSquares, AModelOnAllPointsAtOnceGivesTheSameFitAsPointByPoint) {
  const double truth[] = {163.0, 812.0, 0.0, 612.0};
  std::vector<data_point> data = noisy_pulse(truth, 4.0, 5);
  std::vector<fit_parameter> pars = {
      {"Peak_Time", 130.0}, {"Time_stamp", 790.0}, {"Baseline", 0.0, true}, {"Peak", 500.0}};
  for (bool normal_equations : {false, true})
    for (bool polish : {false, true}) {
      fit_limits limits;
      limits.normal_equations = normal_equations;
      limits.polish = polish;
      const fit_result one = least_squares_fit({4, shaper}, pars, data, 20.0, 3000.0, limits);
      const fit_result all = least_squares_fit({4, shaper, shaper_gradient, shaper_at_times}, pars,
                                               data, 20.0, 3000.0, limits);
      EXPECT_TRUE(all.converged);
      EXPECT_EQ(all.values, one.values) << normal_equations << polish;
      EXPECT_EQ(all.errors, one.errors) << normal_equations << polish;
      EXPECT_EQ(all.chi2, one.chi2) << normal_equations << polish;
      EXPECT_EQ(all.edm, one.edm) << normal_equations << polish;
      EXPECT_EQ(all.iterations, one.iterations) << normal_equations << polish;
    }
}

}  // namespace
