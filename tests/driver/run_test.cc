#include "driver/run.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <thread>

#include "support/tool_run.h"
#include "tools/recording_simulator.h"

namespace {

// Recordings of both configurations in a directory of their own, with a dead channel each.
std::vector<std::string> write_recordings(const temp_dir& dir, int count) {
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i) {
    simulation_options o = realistic_options(20, i % 2 ? "4mV_delay-all" : "20mV_delay-all", i + 1);
    o.channels[i % 32].dead = true;
    paths.push_back(dir / ("rec" + std::to_string(i) + ".txt"));
    EXPECT_TRUE(write_file(paths.back(), simulate_recording(o)));
  }
  return paths;
}

std::string config_of(int i) {
  return i % 2 ? "4mV_delay-all" : "20mV_delay-all";
}

TEST(RunAnalysis, GivesTheSameResultsWhenRunFromSeveralThreadsAtOnce) {
  temp_dir sequential_dir, parallel_dir;
  const int count = 6;
  std::vector<std::string> sequential = write_recordings(sequential_dir, count);
  std::vector<std::string> parallel = write_recordings(parallel_dir, count);
  std::vector<run_outcome> expected;
  for (int i = 0; i < count; ++i)
    expected.push_back(run_analysis("chip" + std::to_string(i), config_of(i), sequential[i]));
  std::vector<run_outcome> got(count);
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i)
    threads.emplace_back(
        [&, i] { got[i] = run_analysis("chip" + std::to_string(i), config_of(i), parallel[i]); });
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < count; ++i) {
    ASSERT_EQ(got[i].status, exit_success) << i;
    EXPECT_EQ(got[i].points, expected[i].points) << i;
    EXPECT_EQ(got[i].notes, expected[i].notes) << i;
    EXPECT_EQ(read_file(got[i].log_path), read_file(expected[i].log_path)) << i;
  }
}

TEST(RunAnalysis, KeepsTheConfigurationItChoseAndEveryChannelsPoints) {
  temp_dir dir;
  std::vector<std::string> paths = write_recordings(dir, 2);
  run_outcome low = run_analysis("1", "4mV_delay-all", paths[1]);
  ASSERT_EQ(low.status, exit_success);
  EXPECT_EQ(low.config.skipped_steps, 2);
  ASSERT_EQ(low.points.size(), 32u);
  EXPECT_EQ(low.points[0].size(), static_cast<size_t>(low.config.bins_per_channel()));
  EXPECT_EQ(low.points[0][1].first, low.config.bin_time(1));
  EXPECT_EQ(low.fits.size(), 32u);
}

TEST(RunAnalysis, StopsBeforeTheFitsWhenTheLogCannotBeCreated) {
  temp_dir dir;
  std::vector<std::string> paths = write_recordings(dir, 1);
  run_outcome out = run_analysis("1/x", "20mV_delay-all", paths[0]);
  EXPECT_EQ(out.status, exit_failure);
  EXPECT_TRUE(out.fits.empty());
  EXPECT_EQ(out.notes, diagnostics{"Cannot open log file named " + out.log_path + "."});
}

TEST(RunAnalysis, SaysWhetherAFailureLiesOutsideTheRecording) {
  temp_dir dir;
  std::vector<std::string> paths = write_recordings(dir, 1);
  EXPECT_TRUE(write_file(dir / "garbage.txt", "garbage\n"));
  const std::pair<run_outcome, bool> cases[] = {
      {run_analysis("1", "20mV_delay-all", dir / "missing.txt"), true},        // cannot open
      {run_analysis("1", "20mV_delay-all", dir.path()), true},                 // a folder
      {run_analysis("1/x", "20mV_delay-all", paths[0]), true},                 // log cannot open
      {run_analysis("1", "20mV_delay-all", dir / "garbage.txt"), false},       // corrupt data
      {run_analysis("1", "20mV_delay-all", paths[0], 1, dir / "none"), true},  // no such folder
  };
  for (const auto& [out, outside] : cases) {
    EXPECT_EQ(out.status, exit_failure) << out.log_path;
    EXPECT_EQ(out.outside_recording, outside) << out.notes.back();
  }
  // Into another folder: the same log as beside the recording.
  std::filesystem::create_directory(dir / "logs");
  run_outcome beside = run_analysis("1", "20mV_delay-all", paths[0]);
  run_outcome there = run_analysis("1", "20mV_delay-all", paths[0], 1, dir / "logs");
  EXPECT_EQ(there.status, exit_success);
  EXPECT_FALSE(there.outside_recording);
  EXPECT_EQ(there.log_path, dir / "logs/rise_time_korvi1_20mV_delay-all.log");
  EXPECT_EQ(read_file(there.log_path), read_file(beside.log_path));
}

}  // namespace

TEST(RunAnalysis, MeasuresEachChannelsNoiseAsSimulated) {
  for (double noise : {2.0, 5.0, 16.0}) {
    temp_dir dir;
    simulation_options o = realistic_options(300, "20mV_delay-all", 7);
    o.noise = noise;
    o.channels[13].dead = true;
    o.channels[5].saturated = true;
    ASSERT_TRUE(write_file(dir / "rec.txt", simulate_recording(o)));
    run_outcome out = run_analysis("1", "20mV_delay-all", dir / "rec.txt");
    ASSERT_EQ(out.status, exit_success) << noise;
    ASSERT_EQ(out.fits.size(), 32u);
    for (int ch = 0; ch < 32; ++ch) {
      if (ch == 5)
        EXPECT_TRUE(std::isnan(out.fits[ch].noise)) << "noise " << noise;
      else
        EXPECT_NEAR(out.fits[ch].noise, noise, 0.1 * noise) << "noise " << noise << " ch " << ch;
    }
  }
}
