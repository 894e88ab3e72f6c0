#include "fit/shaper_model.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <vector>

#include "numerics/fourth_power.h"

namespace {

double model(double t, double baseline = 0.0) {
  const double par[] = {150.0, 800.0, baseline, 100.0};
  return Fit_Function(&t, par);
}

TEST(ShaperModel, IsTheBaselineUpToAndAtThePulseStart) {
  EXPECT_EQ(model(700), 0.0);
  EXPECT_EQ(model(800), 0.0);
  EXPECT_EQ(model(700, 10.0), 10.0);
  EXPECT_EQ(model(800, 10.0), 10.0);
}

TEST(ShaperModel, PeaksAtPeakTimeAfterTheStart) {
  EXPECT_EQ(model(950), 100.0);
  EXPECT_EQ(model(950, 10.0), 110.0);
  EXPECT_LT(model(949), 100.0);
  EXPECT_LT(model(951), 100.0);
}

TEST(ShaperModel, FollowsTheGammaFourShape) {
  EXPECT_NEAR(model(875), 100.0 * std::pow(0.5, 4) * std::exp(2.0), 1e-12);  // u = 0.5
  EXPECT_NEAR(model(875), 46.18, 0.005);
  EXPECT_NEAR(model(1100), 29.31, 0.005);  // u = 2
}

TEST(ShaperModel, EvaluatesANegativePeakTimeLikeAnyOther) {
  const double par[] = {-150.0, 800.0, 0.0, 100.0};
  double t = 875;  // u = -0.5
  EXPECT_NEAR(Fit_Function(&t, par), 100.0 * std::pow(0.5, 4) * std::exp(6.0), 1e-9);
}

TEST(ShaperModel, DerivativesMatchFiniteDifferences) {
  const double par[] = {163.0, 790.0, 0.0, 612.0};
  for (double t : {700.0, 820.0, 900.0, 1000.0, 1400.0}) {
    double grad[4], hess[16];
    shaper_with_derivatives(t, par, grad, hess);
    for (int i = 0; i < 4; ++i) {
      double h = 1e-5 * (std::abs(par[i]) + 1.0);
      double up[4] = {par[0], par[1], par[2], par[3]}, down[4] = {par[0], par[1], par[2], par[3]};
      up[i] += h;
      down[i] -= h;
      EXPECT_NEAR(grad[i], (Fit_Function(&t, up) - Fit_Function(&t, down)) / (2 * h), 1e-5)
          << "t " << t << " parameter " << i;
      double gu[4], gd[4];
      shaper_with_derivatives(t, up, gu, nullptr);
      shaper_with_derivatives(t, down, gd, nullptr);
      for (int j = 0; j < 4; ++j)
        EXPECT_NEAR(hess[i * 4 + j], (gu[j] - gd[j]) / (2 * h), 1e-5)
            << "t " << t << " parameters " << i << "," << j;
    }
  }
}

}  // namespace

namespace {

TEST(ShaperWithDerivatives, GivesTheModelsValueAndSlopesToTheLastBitAndTheFastFormNearly) {
  const double par[] = {163.3, 811.7, 2.5, -412.9};
  double grad[4], hess[16], fast_grad[4], fast_hess[16];
  for (double t = 700.0; t < 3000.0; t += 13.7) {
    const double exact = shaper_with_derivatives(t, par, grad, hess);
    EXPECT_EQ(exact, Fit_Function(&t, par)) << t;
    EXPECT_EQ(shaper_with_derivatives(t, par, nullptr, nullptr), exact) << t;
    const double fast = shaper_with_derivatives_fast(t, par, fast_grad, fast_hess);
    EXPECT_NEAR(fast, exact, 1e-12 * std::abs(exact) + 1e-12) << t;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(fast_grad[i], grad[i]) << t;
    for (int i = 0; i < 16; ++i) EXPECT_EQ(fast_hess[i], hess[i]) << t;
    double slopes[4];
    shaper_gradient(t, par, slopes);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(slopes[i], grad[i]) << t;
  }
}

// The model on many times at once against the model time by time, to the last bit: before, at
// and after the pulse start, times in no order, a negative peak time, u^4 where std::pow must give
// it, and u^4 beyond the range of doubles.
TEST(ShaperAtTimes, GiveTheValuesAndSlopesOfTheModelTimeByTime) {
  std::vector<double> times;
  for (int k = 0; k < 400; ++k) times.push_back(200.0 + (k * 37 % 400) * 7.3);
  times.push_back(811.7);  // u = 0: u^4 from std::pow
  const double parameter_sets[][4] = {{163.3, 811.7, 2.5, -412.9},
                                      {-150.0, 800.0, 0.0, 100.0},
                                      {1e280, 0.0, 1.0, 5.0},   // u^4 below the smallest double
                                      {1e-80, 0.0, 0.0, 1.0}};  // u^4 beyond the largest one
  auto bits = [](double v) { return std::bit_cast<uint64_t>(v); };
  int from_pow = 0;
  for (const auto& par : parameter_sets)
    for (bool fast : {false, true}) {
      const size_t n = times.size();
      std::vector<double> values(n), slopes(4 * n);
      (fast ? shaper_at_times_fast : shaper_at_times)(n, times.data(), par, values.data(),
                                                      slopes.data());
      for (size_t i = 0; i < n; ++i) {
        double grad[4], u4;
        const double value = (fast ? shaper_with_derivatives_fast : shaper_with_derivatives)(
            times[i], par, grad, nullptr);
        EXPECT_EQ(bits(values[i]), bits(value)) << fast << " " << par[0] << " at " << times[i];
        for (int j = 0; j < 4; ++j)
          EXPECT_EQ(bits(slopes[j * n + i]), bits(grad[j]))
              << fast << " " << par[0] << " at " << times[i] << " parameter " << j;
        const double u = (times[i] - par[1]) / par[0];
        from_pow += !fast && u >= 0 && !fourth_power_without_pow(u, u4);
      }
    }
  EXPECT_GT(from_pow, 10);  // the cases above reach std::pow
}

}  // namespace
