// The fit over a wide grid of clean pulses: every channel's truth found, or the channel flagged,
// and no lower chi2 anywhere than the one the fit reports.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "fit/rise_time_fit.h"
#include "fit/shaper_model.h"
#include "support/brute_force_search.h"
#include "support/pulse_grid.h"

namespace {

constexpr double noise = 2.0;  // ADC counts per sample

double log_uniform(std::mt19937_64& random, double low, double high) {
  return std::exp(std::uniform_real_distribution<double>(std::log(low), std::log(high))(random));
}

// Channel i of the grid: both configurations, both signs, low and high baselines, 2 to 200
// events, peak times 30-500 ns, time stamps across the time axis, heights from 10 errors of a
// point to just below the ADC's range.
grid_channel grid_case(int i, std::mt19937_64& random) {
  static const int events[] = {2, 3, 5, 10, 20, 50, 100, 200};
  grid_channel c;
  c.slow = i % 2;
  const bool negative = i / 2 % 2;
  c.baseline = i / 4 % 2 ? 1500.0 : 100.0;
  c.events = events[i / 8 % 8];
  c.peak_time = log_uniform(random, 30.0, 500.0);
  const double first = c.slow ? 60.0 : 20.0, last = 3000.0;
  c.time_stamp = std::uniform_real_distribution<double>(first, last - 2 * c.peak_time)(random);
  const double point_error = noise / std::sqrt(c.events);
  const double room = negative ? c.baseline - 8 * noise : 4095.0 - c.baseline - 8 * noise;
  c.amplitude = log_uniform(random, 10 * point_error, room) * (negative ? -1 : 1);
  return c;
}

// How many errors the true pulse stands above zero on the usable points: where this is small
// (a short pulse between the slower configuration's sample groups, say), "no pulse" is right.
double true_significance(const grid_channel& c, const channel_points& points) {
  const double par[] = {c.peak_time, c.time_stamp, 0.0, c.amplitude};
  double s = 0.0;
  for (const auto& [t, ye] : points) {
    if (!(ye.second > 1e-10)) continue;
    const double r = Fit_Function(&t, par) / ye.second;
    s += r * r;
  }
  return std::sqrt(s);
}

bool near_truth(const channel_fit& f, const grid_channel& c) {
  return std::abs(f.peak_time - c.peak_time) < 5 * f.peak_time_err &&
         std::abs(f.peak_time - c.peak_time) < 0.05 * c.peak_time &&
         std::abs(f.time_stamp - c.time_stamp) < 5 * f.time_stamp_err &&
         std::abs(f.amplitude - c.amplitude) < 5 * f.amplitude_err;
}

TEST(FitGrid, DISABLED_FindsEveryCleanPulseAtTheLowestChi2) {
  std::mt19937_64 random(2026);
  const int channels = 3200;
  int wrong = 0, higher_chi2 = 0;
  std::map<std::string, int> flagged;
  std::map<int, int> wrong_by_events;
  std::map<int, std::pair<double, double>> chi2_range;  // by events
  for (int i = 0; i < channels; ++i) {
    const grid_channel c = grid_case(i, random);
    const channel_points points = grid_points(c, noise, random);
    const channel_fit f = fit_channel(points, c.slow ? 300.0 : 150.0);
    const std::string what = "channel " + std::to_string(i) + " T " + std::to_string(c.peak_time) +
                             " t0 " + std::to_string(c.time_stamp) + " A " +
                             std::to_string(c.amplitude) + " N " + std::to_string(c.events);
    const bool hidden = true_significance(c, points) < 8.0;
    if (f.verdict == fit_verdict::no_pulse && hidden) {
      ++flagged["no_pulse (right)"];
    } else if (f.verdict != fit_verdict::good) {
      ++flagged[std::string(verdict_name(f.verdict))];
      ADD_FAILURE() << what << " flagged " << verdict_name(f.verdict) << " chi2/ndf "
                    << f.chi2 / f.ndf << " A/sA " << f.amplitude / f.amplitude_err;
    } else if (!near_truth(f, c)) {
      ++wrong;
      ++wrong_by_events[c.events];
      ADD_FAILURE() << what << " fit T " << f.peak_time << "+-" << f.peak_time_err << " t0 "
                    << f.time_stamp << "+-" << f.time_stamp_err << " A " << f.amplitude << "+-"
                    << f.amplitude_err;
    }
    auto& range = chi2_range.try_emplace(c.events, 1e300, 0.0).first->second;
    range.first = std::min(range.first, f.chi2 / f.ndf);
    range.second = std::max(range.second, f.chi2 / f.ndf);
    const brute_force_minimum b = brute_force_fit(points, f.xmin, f.xmax, {});
    if (f.chi2 > b.chi2 * (1 + 1e-6)) {
      ++higher_chi2;
      ADD_FAILURE() << what << " chi2 " << f.chi2 << " but " << b.chi2 << " at T " << b.peak_time
                    << " t0 " << b.time_stamp << " A " << b.amplitude;
    }
  }
  std::printf("grid: %d channels, %d wrong, %d with a lower chi2 elsewhere\n", channels, wrong,
              higher_chi2);
  for (const auto& [name, count] : flagged) std::printf("  flagged %s: %d\n", name.c_str(), count);
  for (const auto& [n, r] : chi2_range)
    std::printf("  %3d events: chi2/ndf %.3g to %.3g, %d wrong\n", n, r.first, r.second,
                wrong_by_events[n]);
}

}  // namespace
