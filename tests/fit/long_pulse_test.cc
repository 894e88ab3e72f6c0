// Long pulses whose maximum, or whose whole peak time, lies beyond the points: the fit still
// finds them, because a start that runs past the fit range on its way is not given up as lost.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "fit/rise_time_fit.h"
#include "support/pulse_grid.h"

namespace {

TEST(LongPulse, WhoseMaximumLiesPastTheLastPointIsFoundAtItsTruth) {
  // Peak time (ns), time stamp (ns): the pulse peaks at 3,300 to 4,100 ns, after the last point
  // at 3,000 ns; the longest rises for more than the whole range of the points.
  const std::pair<double, double> cases[] = {
      {900.0, 2400.0}, {1200.0, 2100.0}, {1500.0, 1800.0}, {2500.0, 800.0}, {3300.0, 100.0}};
  std::mt19937_64 random(31);
  for (auto [peak_time, time_stamp] : cases) {
    grid_channel c;
    c.peak_time = peak_time;
    c.time_stamp = time_stamp;
    c.amplitude = 1500.0;
    c.events = 200;
    const channel_points points = grid_points(c, 2.0, random);
    const channel_fit f = fit_channel(points, 150.0);
    const std::string what = "T " + std::to_string(peak_time) + " t0 " +
                             std::to_string(time_stamp) + ": fitted T " +
                             std::to_string(f.peak_time) + " +- " + std::to_string(f.peak_time_err);
    EXPECT_EQ(f.verdict, fit_verdict::good) << what;
    EXPECT_GT(f.time_stamp + f.peak_time, f.xmax) << what;
    EXPECT_LT(std::abs(f.peak_time - peak_time), 5 * f.peak_time_err + 0.01 * peak_time) << what;
    EXPECT_LT(std::abs(f.time_stamp - time_stamp), 5 * f.time_stamp_err + 5.0) << what;
  }
}

}  // namespace
