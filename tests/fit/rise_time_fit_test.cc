#include "fit/rise_time_fit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <random>

#include "fit/shaper_model.h"
#include "numerics/least_squares.h"
#include "support/pulse_grid.h"

namespace {

struct truth {
  double peak_time = 150.0, time_stamp = 800.0, peak = 500.0;
};

// A channel on the 20 ns grid of a reconstruction: the model plus Gaussian noise of `sigma`,
// each point carrying the error `sigma`.
channel_points simulated_channel(const truth& t, double sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, sigma);
  const double par[] = {t.peak_time, t.time_stamp, 0.0, t.peak};
  channel_points points;
  for (int k = 150; k >= 1; --k) {
    double time = 20.0 * k;
    points.push_back({time, {Fit_Function(&time, par) + noise(rng), sigma}});
  }
  return points;
}

TEST(PSort, ComparesTheIntegerPartsOnly) {
  EXPECT_TRUE(p_sort({19, 5.0}, {20, 1.0}));
  EXPECT_FALSE(p_sort({20, 1.0}, {20, 9.0}));
  EXPECT_FALSE(p_sort({20, 9.0}, {20, 1.0}));
  EXPECT_FALSE(p_sort({21, 0.0}, {20, 0.0}));
}

TEST(TruncatedTime, TruncatesTowardZeroAndSaturates) {
  EXPECT_EQ(truncated_time(20.9), 20);
  EXPECT_EQ(truncated_time(-20.9), -20);
  EXPECT_EQ(truncated_time(3e9), INT32_MAX);
  EXPECT_EQ(truncated_time(-3e9), INT32_MIN);
  EXPECT_EQ(truncated_time(std::numeric_limits<double>::infinity()), INT32_MAX);
  EXPECT_EQ(truncated_time(std::nan("")), INT32_MIN);
}

TEST(FitChannel, WithoutUsablePointsFitsNothing) {
  channel_points none = {
      {200, {5.0, 1e-10}}, {400, {7.0, 0.0}}, {600, {1.0, -2.0}}, {800, {1.0, std::nan("")}}};
  for (const channel_points& points : {channel_points{}, none}) {
    channel_fit f = fit_channel(points, 150.0);
    EXPECT_EQ(f.usable_points, 0);
    EXPECT_FALSE(f.minimised);
    EXPECT_EQ(f.peak_time, 0.0);
    EXPECT_EQ(f.peak_time_err, 0.0);
  }
}

TEST(FitChannel, HandsBackTheStartValuesBelowThreePoints) {
  channel_points two = {{900, {40.0, 2e-10}}, {1000, {-3.0, 1.0}}, {1100, {60.0, 0.0}}};
  channel_fit f = fit_channel(two, 150.0);
  EXPECT_EQ(f.usable_points, 2);
  EXPECT_FALSE(f.minimised);
  EXPECT_FALSE(f.converged);
  EXPECT_EQ(f.peak_time, 150.0);
  EXPECT_EQ(f.time_stamp, 800.0);
  EXPECT_EQ(f.amplitude, 40.0);
  EXPECT_EQ(f.peak_time_err + f.time_stamp_err + f.amplitude_err, 0.0);
  EXPECT_EQ(f.xmin, 900.0);
  EXPECT_EQ(f.xmax, 1000.0);
}

TEST(FitChannel, MinimisesWithAsManyPointsAsFreeParameters) {
  const double par[] = {170.0, 790.0, 0.0, 480.0};
  channel_points three;
  for (double t : {880.0, 960.0, 1100.0}) three.push_back({t, {Fit_Function(&t, par), 1.0}});
  channel_fit f = fit_channel(three, 150.0);
  EXPECT_TRUE(f.minimised);
  EXPECT_EQ(f.ndf, 0);
  EXPECT_LT(f.chi2, 1e-12);
  EXPECT_NEAR(f.peak_time, 170.0, 1e-4);
  EXPECT_NEAR(f.time_stamp, 790.0, 1e-4);
  EXPECT_NEAR(f.amplitude, 480.0, 1e-4);
}

TEST(FitChannel, StartsPeakAtZeroWhenNoAmplitudeIsPositive) {
  channel_points negative = {{900, {-4.0, 1.0}}, {1000, {-3.0, 1.0}}};
  EXPECT_EQ(fit_channel(negative, 150.0).amplitude, 0.0);
}

TEST(FitChannel, TakesTheRangeFromUsablePointsOnly) {
  channel_points points = simulated_channel({}, 2.0, 1);
  points.front().second.second = 0.0;   // 3000 ns
  points.back().second.second = 1e-10;  // 20 ns
  channel_fit f = fit_channel(points, 150.0);
  EXPECT_EQ(f.usable_points, 148);
  EXPECT_EQ(f.fitted_points, 148);
  EXPECT_EQ(f.xmin, 40.0);
  EXPECT_EQ(f.xmax, 2980.0);
  EXPECT_EQ(f.ndf, 145);
}

// Twelve points of a pulse, 100 ns apart from 700 ns on, and one more at `extra` ns stored first
// or last. Below seventeen elements the standard sort inserts in order, so among times of one
// integer part the one stored last ends the sorted range.
channel_points twelve_points_and(double extra, bool extra_last) {
  const double par[] = {150.0, 800.0, 0.0, 500.0};
  channel_points points;
  for (int k = 0; k < 12; ++k) {
    double t = 700.0 + 100.0 * k;
    points.push_back({t, {Fit_Function(&t, par), 1.0}});
  }
  snapshot_point p{extra, {Fit_Function(&extra, par), 1.0}};
  points.insert(extra_last ? points.end() : points.begin(), p);
  return points;
}

TEST(FitChannel, LeavesOutAPointBeyondABoundThatSharesItsIntegerPart) {
  channel_fit f = fit_channel(twelve_points_and(1800.5, false), 150.0);
  EXPECT_EQ(f.usable_points, 13);
  EXPECT_EQ(f.xmax, 1800.0);
  EXPECT_EQ(f.fitted_points, 12);
}

TEST(FitChannel, KeepsAPointThatEndsTheSortedRange) {
  channel_fit f = fit_channel(twelve_points_and(1800.5, true), 150.0);
  EXPECT_EQ(f.xmax, 1800.5);
  EXPECT_EQ(f.fitted_points, 13);
  f = fit_channel(twelve_points_and(700.5, false), 150.0);
  EXPECT_EQ(f.xmin, 700.5);
  EXPECT_EQ(f.fitted_points, 12);
}

TEST(FitChannel, RecoversKnownPulsesWithinTheirErrors) {
  const truth cases[] = {{150, 800, 500}, {163, 812, 612}, {300, 790, 350}};
  for (const truth& t : cases) {
    double start = t.peak_time > 200 ? 300.0 : 150.0;
    double sum_pull2[3] = {0, 0, 0};
    const int trials = 60;
    for (int seed = 0; seed < trials; ++seed) {
      channel_fit f = fit_channel(simulated_channel(t, 3.0, 100 + seed), start);
      ASSERT_TRUE(f.converged) << seed;
      double pulls[3] = {(f.peak_time - t.peak_time) / f.peak_time_err,
                         (f.time_stamp - t.time_stamp) / f.time_stamp_err,
                         (f.amplitude - t.peak) / f.amplitude_err};
      for (int k = 0; k < 3; ++k) {
        EXPECT_LT(std::abs(pulls[k]), 5.0) << "seed " << seed << " parameter " << k;
        sum_pull2[k] += pulls[k] * pulls[k];
      }
    }
    // The spread of the pulls shows whether the errors are the right size.
    for (double s : sum_pull2) {
      EXPECT_GT(std::sqrt(s / trials), 0.7);
      EXPECT_LT(std::sqrt(s / trials), 1.3);
    }
  }
}

}  // namespace

namespace {

double model(double x, const double* par, double* grad, double* hess) {
  return shaper_with_derivatives(x, par, grad, hess);
}

// Where the specified start reaches the lowest minimum, the channel's numbers are that minimum's
// as a fit run to the end of its precision finds it, though the search stops its steps earlier
// and lets Newton steps finish: the values within a millionth of their errors, where chi2 no
// longer tells one from the other, and the errors and chi2 to 1e-9.
TEST(FitChannel, GivesTheSpecifiedStartsMinimumWhereItIsTheLowest) {
  constexpr double of_error = 1e-6, relative = 1e-9;
  for (unsigned seed = 1; seed <= 5; ++seed) {
    channel_points points = simulated_channel({}, 2.0, seed);
    std::vector<data_point> data;
    double peak = 0.0;
    for (const snapshot_point& p : points) {
      data.push_back({p.first, p.second.first, p.second.second});
      peak = std::max(peak, p.second.first);
    }
    const std::vector<fit_parameter> pars = {
        {"Peak_Time", 150.0}, {"Time_stamp", 800.0}, {"Baseline", 0.0, true}, {"Peak", peak}};
    const fit_result alone = least_squares_fit({4, model}, pars, data, 20.0, 3000.0);
    const channel_fit f = fit_channel(points, 150.0);
    EXPECT_NEAR(f.peak_time, alone.values[0], of_error * alone.errors[0]);
    EXPECT_NEAR(f.time_stamp, alone.values[1], of_error * alone.errors[1]);
    EXPECT_NEAR(f.amplitude, alone.values[3], of_error * alone.errors[3]);
    EXPECT_NEAR(f.peak_time_err, alone.errors[0], relative * alone.errors[0]);
    EXPECT_NEAR(f.chi2, alone.chi2, relative * alone.chi2);
    EXPECT_TRUE(f.converged);
    EXPECT_EQ(f.fits_run, 1);  // the data's own starts lie in its minimum's basin
  }
}

TEST(FitChannel, FindsPulsesTheSpecifiedStartMisses) {
  // A negative pulse (the specified height is then 0.0, where both time slopes vanish), and a
  // positive one far from the specified time stamp and peak time.
  const truth cases[] = {{150.0, 800.0, -400.0}, {60.0, 2100.0, 80.0}, {420.0, 300.0, 250.0}};
  for (const truth& t : cases) {
    channel_fit f = fit_channel(simulated_channel(t, 2.0, 7), 150.0);
    EXPECT_EQ(f.verdict, fit_verdict::good) << t.peak;
    EXPECT_NEAR(f.peak_time, t.peak_time, 5 * f.peak_time_err) << t.peak;
    EXPECT_NEAR(f.time_stamp, t.time_stamp, 5 * f.time_stamp_err) << t.peak;
    EXPECT_NEAR(f.amplitude, t.peak, 5 * f.amplitude_err) << t.peak;
  }
  // The short, late one is beyond the specified start's reach.
  EXPECT_GT(fit_channel(simulated_channel(cases[1], 2.0, 7), 150.0).fits_run, 1);
}

TEST(FitChannel, FindsNarrowPulsesWhoseMaximumFallsInAGapBetweenGroupsOfSamples) {
  // The slower configuration's points leave 60 ns gaps. These 30 ns pulses start just before the
  // last point ahead of a gap and peak inside it, so that only three points see them. Their
  // minimum is a valley a nanosecond or two wide, which only a start placed just before that
  // point reaches; the fit must end there or lower.
  int lower = 0;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937_64 random(seed);
    const grid_channel c{.peak_time = 30.6,
                         .time_stamp = 395.3,
                         .amplitude = 32.0,
                         .baseline = 1500.0,
                         .events = 200,
                         .slow = true};
    const channel_points points = grid_points(c, 2.0, random);
    const channel_fit f = fit_channel(points, 300.0);
    std::vector<data_point> data;
    for (const auto& [t, ye] : points)
      if (ye.second > min_usable_error) data.push_back({t, ye.first, ye.second});
    const fit_result from_truth = least_squares_fit({4, model},
                                                    {{"Peak_Time", c.peak_time},
                                                     {"Time_stamp", c.time_stamp},
                                                     {"Baseline", 0.0, true},
                                                     {"Peak", c.amplitude}},
                                                    data, f.xmin, f.xmax);
    EXPECT_LE(f.chi2, from_truth.chi2 * (1 + 1e-9)) << seed;
    lower += f.chi2 < from_truth.chi2 * (1 - 1e-6);
  }
  EXPECT_LT(lower, 10);  // noise moves some minima elsewhere, but not most
}

}  // namespace
