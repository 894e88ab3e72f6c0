#include "fit/start_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fit/shaper_model.h"

namespace {

// The noiseless points of a pulse on a reconstruction's 20 ns grid, each with error 1.
std::vector<data_point> clean_pulse(double peak_time, double time_stamp, double height) {
  const double par[] = {peak_time, time_stamp, 0.0, height};
  std::vector<data_point> data;
  for (double t = 20.0; t <= 3000.0; t += 20.0) data.push_back({t, Fit_Function(&t, par), 1.0});
  return data;
}

// The starts reach both ends of the peak times they span, 20 and 600 ns: for a clean pulse there
// the lowest start lies within half a step of the geometric grid (a factor 1.3) of its peak time,
// so that the fit begins in the pulse's own valley and not in a neighbour's.
TEST(StartSearch, LowestStartReachesBothEndsOfThePeakTimes) {
  for (double peak_time : {20.0, 22.0, 540.0, 570.0, 600.0}) {
    for (double maximum : {1000.0, 1410.0, 2200.0}) {
      const std::string what =
          "peak time " + std::to_string(peak_time) + " maximum " + std::to_string(maximum);
      const std::vector<fit_start> starts =
          data_driven_starts(shape_profile(clean_pulse(peak_time, maximum - peak_time, -300.0)), 4);
      ASSERT_FALSE(starts.empty()) << what;
      EXPECT_LT(starts.front().peak_time, 1.14 * peak_time) << what;
      EXPECT_GT(starts.front().peak_time, peak_time / 1.14) << what;
    }
  }
}

// Shapes asked together give, each, the sums and chi2 they give alone, to the last bit: on points
// whose spacing changes (out of time order as given, with a repeated time), for shapes that
// begin and end at different points, one that reaches no point at all and one that begins
// before the first point.
TEST(ShapeProfile, GivesEachShapeTheSameSumsAloneOrWithOthers) {
  std::vector<data_point> data;
  for (double t = 20.0; t <= 1200.0; t += 20.0) data.push_back({t, 50.0 - t / 30, 0.5 + t / 4000});
  for (double t : {1230.0, 1290.0, 1300.0, 1300.0, 1420.0, 90.0}) data.push_back({t, 7.0, 1.5});
  const shape_profile profile(data);
  const double peak_time[] = {25.0, 140.0, 600.0, 33.0};
  const double time_stamp[] = {1150.0, 410.0, -200.0, 5000.0};
  for (int count = 1; count <= shape_profile::max_shapes; ++count) {
    for (int offset = 0; offset + count <= shape_profile::max_shapes; ++offset) {
      double gg[4], gy[4], chi2[4], peak[4];
      profile.sums(peak_time + offset, time_stamp + offset, count, 8, gg, gy);
      profile.chi2(peak_time + offset, time_stamp + offset, count, chi2, peak);
      for (int l = 0; l < count; ++l) {
        const int shape = offset + l;
        double gg1, gy1, peak1;
        profile.sums(&peak_time[shape], &time_stamp[shape], 1, 8, &gg1, &gy1);
        EXPECT_EQ(gg[l], gg1) << count << " from " << offset;
        EXPECT_EQ(gy[l], gy1) << count << " from " << offset;
        EXPECT_EQ(chi2[l], profile.chi2(peak_time[shape], time_stamp[shape], peak1));
        EXPECT_EQ(peak[l], peak1);
      }
    }
  }
  // The shape past the last point reaches none: no pulse, chi2 of the points about zero.
  double peak = 1.0;
  EXPECT_EQ(profile.chi2(33.0, 5000.0, peak), profile.yy());
  EXPECT_EQ(peak, 0.0);
  // The others reach points, and the shape starting before them all sums over every one.
  double gg, gy;
  profile.sums(&peak_time[2], &time_stamp[2], 1, 8, &gg, &gy);
  EXPECT_GT(gg, 0.0);
}

}  // namespace
