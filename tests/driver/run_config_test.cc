#include "driver/run_config.h"

#include <gtest/gtest.h>

namespace {

TEST(ChooseRunConfig, SelectsTheLowChargeSetOnlyByItsExactName) {
  run_config low = choose_run_config("4mV_delay-all");
  EXPECT_EQ(low.window_offset, 45);
  EXPECT_EQ(low.skipped_steps, 2);
  EXPECT_EQ(low.peak_time_guess, 300.0);
  for (const char* other : {"20mV_delay-all", "4mV_delay-all ", "4MV_delay-all", "14mV_delay-all",
                            "4mV_delay-al", ""}) {
    run_config c = choose_run_config(other);
    EXPECT_EQ(c.window_offset, 15) << other;
    EXPECT_EQ(c.skipped_steps, 0) << other;
    EXPECT_EQ(c.peak_time_guess, 150.0) << other;
  }
}

TEST(RunConfig, DerivesTheWindowsAndTheTimeAxisOfEachSet) {
  const run_config normal = choose_run_config("20mV_delay-all");
  EXPECT_EQ(normal.first_window_row(), 11);
  EXPECT_EQ(normal.used_steps(), 10);
  EXPECT_EQ(normal.bins_per_channel(), 150);
  EXPECT_EQ(normal.geometry().window_start, 11);
  const run_config low = choose_run_config("4mV_delay-all");
  EXPECT_EQ(low.first_window_row(), 41);
  EXPECT_EQ(low.used_steps(), 8);
  EXPECT_EQ(low.bins_per_channel(), 120);
  // The two skipped windows are not binned: binning starts at the third window.
  EXPECT_EQ(low.geometry().window_start, 71);
  // Bin 0 is sample 0 of the first window; the next bins are the same sample of later windows,
  // each 20 ns earlier on the time axis.
  EXPECT_EQ(normal.bin_time(0), 200.0);
  EXPECT_EQ(normal.bin_time(1), 180.0);
  EXPECT_EQ(normal.bin_time(10), 400.0);
  EXPECT_EQ(low.bin_time(8), 400.0);
  EXPECT_EQ(low.bin_time(119), 3000.0 - 7 * 20.0);
}

TEST(LogPath, GoesIntoTheDirectoryOfTheRecording) {
  const std::string chip = "100000", config = "20mV_delay-all";
  EXPECT_EQ(log_path("/data/run7/x_adc.txt", chip, config),
            "/data/run7/rise_time_korvi100000_20mV_delay-all.log");
  EXPECT_EQ(log_path("run7/x_adc.txt", chip, config),
            "run7/rise_time_korvi100000_20mV_delay-all.log");
  EXPECT_EQ(log_path("a/b/c/x.txt", chip, config),
            "a/b/c/rise_time_korvi100000_20mV_delay-all.log");
  EXPECT_EQ(log_path("/x_adc.txt", chip, config), "/rise_time_korvi100000_20mV_delay-all.log");
  EXPECT_EQ(log_path("x_adc.txt", chip, config), "./rise_time_korvi100000_20mV_delay-all.log");
}

TEST(LogPath, CopiesChipAndConfigurationVerbatim) {
  EXPECT_EQ(log_path("d/x", "%s%n", "4mV delay"), "d/rise_time_korvi%s%n_4mV delay.log");
  EXPECT_EQ(log_path("d/x", "", ""), "d/rise_time_korvi_.log");
}

}  // namespace
