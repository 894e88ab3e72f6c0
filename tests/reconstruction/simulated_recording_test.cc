// Reconstruction and fit of simulated recordings, checked against the simulator's truth.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "driver/run.h"
#include "driver/run_config.h"
#include "fit/channel_fits.h"
#include "fit/shaper_model.h"
#include "reconstruction/reconstruct.h"
#include "reconstruction/recording_format.h"
#include "report/log_format.h"
#include "support/tool_run.h"
#include "tools/recording_simulator.h"

namespace {

struct reconstruction {
  bool ok;
  snapshot_table table;
  reconstruction_summary summary;
  diagnostics notes;
};

reconstruction reconstruct_simulated(const simulation_options& options) {
  std::string text = simulate_recording(options);
  memory_source source(text, 65536);
  reconstruction r{};
  const run_config rc = choose_run_config(options.config);
  int skipped = rc.skipped_steps;
  r.ok = reconstruct(source, "sim.txt", 20.0, rc.window_offset, 10, skipped, r.table, r.summary,
                     r.notes);
  return r;
}

double truth_at(const channel_truth& c, double t) {
  const double par[] = {c.peak_time, c.time_stamp, 0.0, c.dead ? 0.0 : c.amplitude};
  return Fit_Function(&t, par);
}

TEST(SimulatedRecording, PointsFollowTheTruePulseWithinTheirErrors) {
  for (const char* config : {"20mV_delay-all", "4mV_delay-all"}) {
    simulation_options options = realistic_options(150, config, 11);
    reconstruction r = reconstruct_simulated(options);
    ASSERT_TRUE(r.ok) << config;
    EXPECT_TRUE(r.notes.empty());
    EXPECT_EQ(r.summary.events_completed, 149) << config;
    int used = choose_run_config(config).used_steps();
    int last_node = samples_per_step * (used - 1) + 1;
    for (int ch = 0; ch < 32; ++ch) {
      double sum_pull2 = 0.0;
      int n = 0;
      for (int i = 0; i < static_cast<int>(r.table[ch].size()); ++i) {
        const snapshot_point& p = r.table[ch][i];
        double pull = (p.second.first - truth_at(options.channels[ch], p.first)) / p.second.second;
        int position = samples_per_step * (i % used) + i / used;
        // Beyond the outer nodes the spline extrapolates the baseline, whose own noise (not in
        // the point's error bar) then grows several-fold.
        if (position < 1 || position > last_node) {
          EXPECT_LT(std::abs(pull), 15.0) << config << " channel " << ch << " at " << p.first;
          continue;
        }
        EXPECT_LT(std::abs(pull), 5.0) << config << " channel " << ch << " at " << p.first;
        sum_pull2 += pull * pull;
        ++n;
      }
      // Between the nodes the baseline's spread adds a little to each point's.
      EXPECT_LT(sum_pull2 / n, 2.0) << config << " channel " << ch;
      EXPECT_GT(sum_pull2 / n, 0.5) << config << " channel " << ch;
    }
  }
}

TEST(SimulatedRecording, SplitsLinesAnywhereWithoutChangingTheResult) {
  simulation_options options = realistic_options(20, "20mV_delay-all", 3);
  reconstruction rows = reconstruct_simulated(options);
  options.values_per_line = 7;
  reconstruction split = reconstruct_simulated(options);
  EXPECT_EQ(rows.table, split.table);
}

// The log of a simulated recording read as `options` say.
std::string log_read_as(const reading_options& reading) {
  simulation_options options = realistic_options(40, "20mV_delay-all", 8);
  options.values_per_line = 13;
  std::string text = simulate_recording(options);
  memory_source source(text, 100000);
  snapshot_table table;
  reconstruction_summary summary;
  diagnostics notes;
  EXPECT_TRUE(reconstruct(source, "sim.txt", 20.0, 15, 10, 0, table, summary, notes, reading));
  std::ostringstream log;
  write_log(log, fit_all_channels(table, 150.0, events_not_counted, notes));
  return log.str();
}

class SimulatedRecordingOnPath : public ::testing::TestWithParam<parse_path> {};

TEST_P(SimulatedRecordingOnPath, GivesTheSameLogAsTheScalarPath) {
  if (!parse_path_available(GetParam()))
    GTEST_SKIP() << parse_path_name(GetParam()) << " is not available on this processor";
  EXPECT_EQ(log_read_as({GetParam()}), log_read_as({parse_path::scalar}));
}

TEST(SimulatedRecording, ChunksParsedOnTwoThreadsGiveTheSameLog) {
  // Chunks that cut rows and numbers anywhere, and chunks as the tool reads them.
  const std::string one_thread = log_read_as({});
  for (size_t chunk : {size_t{997}, parallel_value_reader::default_chunk_size})
    EXPECT_EQ(log_read_as({best_parse_path(), 2, chunk}), one_thread) << chunk;
}

INSTANTIATE_TEST_SUITE_P(SimdPaths, SimulatedRecordingOnPath,
                         ::testing::Values(parse_path::avx2, parse_path::avx512),
                         [](const auto& param_info) { return parse_path_name(param_info.param); });

TEST(SimulatedRecording, KeepsACutLastEvent) {
  simulation_options options = realistic_options(30, "20mV_delay-all", 5);
  options.cut_last_event_rows = 60;
  reconstruction r = reconstruct_simulated(options);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.summary.events_completed, 28);
  EXPECT_EQ(r.summary.events_started, 29);
  EXPECT_EQ(r.summary.event_rows, 28 * 207.0 + 60);
}

TEST(SimulatedRecording, ReportsNoEventsWhenGapsNeverCome) {
  simulation_options options = realistic_options(3, "20mV_delay-all", 5);
  options.gap_rows = 0;
  reconstruction r = reconstruct_simulated(options);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.notes, diagnostics{"Corrupt data, likely due to connection problems."});
}

// Fitted values within a few of their errors of the truth.
void expect_near_truth(const channel_fit& f, const channel_truth& t, const std::string& what) {
  EXPECT_TRUE(f.converged) << what;
  EXPECT_LT(std::abs(f.peak_time - t.peak_time), 5 * f.peak_time_err) << what;
  EXPECT_LT(std::abs(f.amplitude - t.amplitude), 5 * f.amplitude_err) << what;
  EXPECT_LT(std::abs(f.time_stamp - t.time_stamp), 5 * f.time_stamp_err) << what;
}

TEST(WholeRun, RecoversTheTrueParametersOfBothConfigurations) {
  for (const char* config : {"20mV_delay-all", "4mV_delay-all"}) {
    temp_dir scratch;
    const std::string& dir = scratch.path();
    simulation_options options = realistic_options(200, config, 21);
    options.channels[13].dead = true;
    options.channels[20].saturated = true;
    write_file(dir + "/rec.txt", simulate_recording(options));
    run_outcome out = run_analysis("5", config, dir + "/rec.txt");
    ASSERT_EQ(out.status, exit_success) << config;
    ASSERT_EQ(out.fits.size(), 32u);
    for (int ch = 0; ch < 32; ++ch) {
      const channel_fit& f = out.fits[ch];
      std::string what = std::string(config) + " channel " + std::to_string(ch);
      if (ch == 20) {
        EXPECT_EQ(f.usable_points, 0) << what;  // constant: no spread anywhere
      } else if (ch == 13) {
        EXPECT_LT(std::abs(f.amplitude), 5 * f.amplitude_err + 1.0) << what;
      } else {
        expect_near_truth(f, options.channels[ch], what);
      }
    }
    EXPECT_EQ(read_file(out.log_path).value_or("").substr(0, 9), "Channel #");
  }
}

}  // namespace
