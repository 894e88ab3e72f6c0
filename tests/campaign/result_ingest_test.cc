#include "campaign/result_ingest.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/tool_run.h"

namespace {

// A result of one recording whose channels carry `noise` entries as given (empty: none).
std::string result_json(const std::string& noise0, const std::string& noise1) {
  std::string channels;
  for (const std::string& noise : {noise0, noise1}) {
    if (!channels.empty()) channels += ",";
    channels += R"({"peak_time": 150, "peak_time_err": 1, "amplitude": 500, "amplitude_err": 2,
      "time_stamp": 800, "time_stamp_err": 1, "usable_points": 150, "fitted_points": 40,
      "fit_range": [700, 1200], "chi2": 40, "ndf": 37, "minimised": true, "converged": true,
      "verdict": "good", "points": [])";
    if (!noise.empty()) channels += R"(, "noise": )" + noise;
    channels += "}";
  }
  return R"({"input": "x_adc.txt", "log": "x.log", "chipstring": "1",
    "config": {"name": "20mV_delay-all"}, "events_completed": 40, "channels": [)" +
         channels + "]}\n";
}

TEST(ResultIngest, ReadsEachChannelsNoiseAndNaNWhereItIsNullOrMissing) {
  temp_dir d;
  for (auto [noise0, noise1] : {std::pair<std::string, std::string>{"2.5", "null"}, {"4", ""}}) {
    ASSERT_TRUE(write_file(d / "r.json", result_json(noise0, noise1)));
    recording_record r;
    std::string error;
    ASSERT_TRUE(read_result(d / "r.json", "test", r, error)) << error;
    ASSERT_EQ(r.fits.size(), 2u);
    EXPECT_DOUBLE_EQ(r.fits[0].noise, std::stod(noise0));
    EXPECT_TRUE(std::isnan(r.fits[1].noise)) << noise1;
  }
}

}  // namespace
