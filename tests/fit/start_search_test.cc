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

}  // namespace
