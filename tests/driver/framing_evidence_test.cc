// Whole runs on simulated recordings a little off the model (jitter, drift, common-mode noise,
// long gaps): a wrong configuration is named with the one it looks like only on evidence, gaps
// in the first pulse window are named as the cause, and the raw levels come back as recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "fit/channel_fits.h"
#include "fit/configuration_check.h"
#include "support/bench_recording.h"
#include "support/tool_run.h"
#include "tools/recording_simulator.h"

namespace {

run_outcome run_text(const std::string& text, const std::string& config, const temp_dir& dir) {
  write_file(dir / "rec.txt", text);
  return run_analysis("9", config, dir / "rec.txt");
}

run_outcome run(const simulation_options& o, const std::string& config, const temp_dir& dir) {
  return run_text(simulate_recording(o), config, dir);
}

bool has_note_starting(const run_outcome& out, const std::string& start) {
  for (const std::string& n : out.notes)
    if (n.rfind(start, 0) == 0) return true;
  return false;
}

// The values of a recording's text, row after row.
std::vector<int32_t> values_of(const std::string& text) {
  std::istringstream in(text);
  std::vector<int32_t> values;
  for (int32_t v; in >> v;) values.push_back(v);
  return values;
}

// A recording whose pulses are the mean of two shaper responses, one `slower` times the other's
// peak time: a shape off the model by a few per cent of its height, as real chips' pulses are,
// with jitter and a drifting baseline.
std::string off_model_recording(const std::string& config, int events, double slower) {
  simulation_options o = realistic_options(events, config, 21);
  o.jitter = 2.0;
  o.drift = 20.0;
  simulation_options late = o;
  late.seed = 22;
  for (channel_truth& t : late.channels) t.peak_time *= slower;
  std::vector<int32_t> a = values_of(simulate_recording(o)),
                       b = values_of(simulate_recording(late));
  for (size_t i = 0; i < a.size(); ++i) a[i] = (a[i] + b[i]) / 2;
  return recording_text(a);
}

TEST(ConfigurationEvidence, AGoodRecordingOffTheModelShapeIsNeverCalledWrong) {
  for (const std::string config : {"20mV_delay-all", "4mV_delay-all"}) {
    for (double slower : {1.1, 1.6}) {
      temp_dir dir;
      run_outcome out = run_text(off_model_recording(config, 300, slower), config, dir);
      ASSERT_EQ(out.status, exit_success);
      EXPECT_EQ(out.config_check.looks_like, "") << config << " " << slower;
      EXPECT_FALSE(has_note_starting(out, "This recording looks like"));
      const double chi2 = median_chi2_per_ndf(out.fits);
      if (slower > 1.5) {
        // As doubtful as real chips get: the other framing was fitted and fits far worse.
        EXPECT_GT(chi2, doubtful_median_chi2_per_ndf) << config;
        EXPECT_FALSE(std::isnan(out.config_check.other_misfit)) << config;
      }
    }
  }
}

TEST(ConfigurationEvidence, EachConfigurationAnalysedAsTheOtherIsNamedWithTheOneItLooksLike) {
  for (const std::string config : {"20mV_delay-all", "4mV_delay-all"}) {
    const std::string wrong = config == "4mV_delay-all" ? "20mV_delay-all" : "4mV_delay-all";
    temp_dir dir;
    simulation_options o = realistic_options(40, config, 5);
    o.jitter = 2.0;
    o.drift = 10.0;
    o.channels[13].dead = true;
    run_outcome out = run(o, wrong, dir);
    EXPECT_EQ(out.config_check.looks_like, config);
    EXPECT_TRUE(has_note_starting(out, "This recording looks like " + config + ": "));
  }
}

TEST(GapsInTheFirstWindow, AreCountedAndNamedInsteadOfTheConfiguration) {
  temp_dir dir;
  simulation_options o = realistic_options(30, "20mV_delay-all", 8);
  o.gap_rows = 14;  // rows 0 to 13: three reach into the window at event row 11
  run_outcome out = run(o, "20mV_delay-all", dir);
  ASSERT_EQ(out.status, exit_success);
  EXPECT_EQ(out.summary.window_gap_events, out.summary.events_completed);
  EXPECT_GE(out.summary.events_completed, 29);
  const std::string n = std::to_string(out.summary.events_completed);
  EXPECT_TRUE(has_note_starting(out, n + " of " + n +
                                         " events have a gap reaching into the first pulse "
                                         "window (event row 11): "));
  EXPECT_EQ(out.config_check.looks_like, "");
  EXPECT_FALSE(has_note_starting(out, "This recording looks like"));

  // The low-charge framing's first window begins at row 71: the same gaps do not reach it.
  o.config = "4mV_delay-all";
  run_outcome low = run(o, "4mV_delay-all", dir);
  EXPECT_EQ(low.summary.window_gap_events, 0);
}

// A realistic recording with a reading shared by every channel added to each row outside the
// gaps, Gaussian with `common` ADC counts, and three channels placed near the ADC's ends.
std::string recording_with_common_mode(double common, const simulation_options& o) {
  std::vector<int32_t> values = values_of(simulate_recording(o));
  std::mt19937_64 random(77);
  std::normal_distribution<double> shared(0.0, common);
  for (size_t row = 0; row * 32 < values.size(); ++row) {
    int32_t* v = row_values(values, row);
    if (v[0] < 30) continue;  // a gap row stays a gap row
    const auto c = static_cast<int32_t>(std::lround(shared(random)));
    for (int ch = 0; ch < 32; ++ch)
      if (v[ch] < 4095) v[ch] = std::clamp(v[ch] + c, 0, 4095);  // the ADC's range
  }
  return recording_text(values);
}

TEST(RawLevels, PedestalHeadroomAndCommonModeNoiseComeBackAsRecorded) {
  simulation_options o = realistic_options(200, "20mV_delay-all", 4);
  o.jitter = 2.0;
  o.channels[3].baseline = 3500.0;  // its pulse peaks about 95 below the ceiling
  o.channels[3].amplitude = 500.0;
  o.channels[7].baseline = 300.0;  // its negative pulse comes within 50 of the floor
  o.channels[7].amplitude = -250.0;
  o.channels[9].saturated = true;  // reads the ceiling throughout
  for (double common : {0.0, 3.0}) {
    temp_dir dir;
    run_outcome out = run_text(recording_with_common_mode(common, o), "20mV_delay-all", dir);
    ASSERT_EQ(out.status, exit_success);
    const double sd = 2.0 / std::sqrt(200.0);  // of one bin's mean
    EXPECT_NEAR(out.summary.common_mode_noise, common, 0.3) << common;
    for (int ch : {0, 5, 20}) EXPECT_NEAR(out.fits[ch].pedestal, o.channels[ch].baseline, 5 * sd);
    EXPECT_NEAR(out.fits[3].headroom, 4095.0 - 4000.0, 3.0);
    EXPECT_NEAR(out.fits[7].headroom, 50.0, 3.0);
    EXPECT_EQ(out.fits[9].headroom, 0.0);
    EXPECT_EQ(out.fits[9].pedestal, 4095.0);
  }
}

}  // namespace
