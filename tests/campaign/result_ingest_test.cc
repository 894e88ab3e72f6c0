#include "campaign/result_ingest.h"

#include <gtest/gtest.h>

#include "plot/run_json.h"
#include "support/tool_run.h"

namespace {

// A failure record names its recording as the run was given it; the recording is taken from the
// record's folder, and the log it would have had is the one of that path.
TEST(ResultIngest, FailureRecordIsAFailedRunOfTheRecordingBesideIt) {
  temp_dir d;
  ASSERT_TRUE(write_file(d / "x_adc.txt", "1 2 3\n"));
  ASSERT_TRUE(write_file(d / "r.json",
                         failure_json_text("100002", "20mV_delay-all", "elsewhere/x_adc.txt", 1,
                                           {"Corrupt data, likely due to "
                                            "connection problems."})));
  recording_record r;
  std::string error;
  ASSERT_TRUE(read_result(d / "r.json", "test", r, error)) << error;
  EXPECT_EQ(r.path, d / "x_adc.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.message, "Corrupt data, likely due to connection problems.");
  EXPECT_EQ(r.log_path, d / "rise_time_korvi100002_20mV_delay-all.log");
  EXPECT_EQ(r.size, 6);
  EXPECT_TRUE(r.hash.has_value());
  EXPECT_TRUE(r.fits.empty());
}

}  // namespace
