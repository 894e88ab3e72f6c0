// Whole runs of simulated recordings with noise, drift and jitter: each kind of channel gets its
// verdict and note, and a run under the wrong configuration says so once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "driver/run.h"
#include "support/tool_run.h"
#include "tools/recording_simulator.h"

namespace {

enum class kind { clean, dead, small, clipped, negative };

// Every fourth channel is a clean pulse; the others are dead, small (six noise sigmas of one
// sample), clipped at the ADC's ceiling, or negative on a high baseline.
kind kind_of(int channel) {
  static const kind kinds[] = {kind::clean, kind::dead,    kind::clean, kind::small,
                               kind::clean, kind::clipped, kind::clean, kind::negative};
  return kinds[channel % 8];
}

simulation_options mixed_recording(const std::string& config, int events, uint64_t seed) {
  simulation_options o = realistic_options(events, config, seed);
  o.drift = 6.0;
  o.jitter = 2.0;
  for (int ch = 0; ch < 32; ++ch) {
    channel_truth& t = o.channels[ch];
    switch (kind_of(ch)) {
      case kind::dead:
        t.dead = true;
        break;
      case kind::small:
        t.amplitude = 6 * o.noise;
        break;
      case kind::clipped:
        t.baseline = 1500.0;
        t.amplitude = 3000.0;
        break;
      case kind::negative:
        t.baseline = 1500.0;
        t.amplitude = -400.0;
        break;
      case kind::clean:
        break;
    }
  }
  return o;
}

fit_verdict expected_verdict(kind k) {
  switch (k) {
    case kind::dead:
      return fit_verdict::no_pulse;
    case kind::clipped:
      return fit_verdict::saturated;
    default:
      return fit_verdict::good;
  }
}

run_outcome run(const simulation_options& o, const std::string& config, const temp_dir& dir) {
  write_file(dir.path() + "/rec.txt", simulate_recording(o));
  return run_analysis("9", config, dir.path() + "/rec.txt");
}

const char* other(const std::string& config) {
  return config == "4mV_delay-all" ? "20mV_delay-all" : "4mV_delay-all";
}

TEST(RecordingVerdicts, EachKindOfChannelGetsItsVerdictAndNote) {
  for (const std::string config : {"20mV_delay-all", "4mV_delay-all"}) {
    for (int events : {20, 200}) {
      temp_dir dir;
      run_outcome out = run(mixed_recording(config, events, 7), config, dir);
      ASSERT_EQ(out.status, exit_success);
      std::vector<std::string> expected_notes;
      for (int ch = 0; ch < 32; ++ch) {
        const channel_fit& f = out.fits[ch];
        EXPECT_EQ(f.verdict, expected_verdict(kind_of(ch)))
            << config << " " << events << " events, channel " << ch << ": "
            << verdict_name(f.verdict);
        const std::string name = "Channel " + std::to_string(ch);
        if (kind_of(ch) == kind::dead) expected_notes.push_back(name + " shows no pulse: ");
        if (kind_of(ch) == kind::clipped)
          expected_notes.push_back(name + " is saturated: " + std::to_string(f.clipped_points) +
                                   " points at its ceiling were left out of the fit.");
      }
      // A dead channel's note goes on to name the rule that decided, tested with the fit.
      ASSERT_EQ(out.notes.size(), expected_notes.size()) << config << " " << events << " events";
      for (size_t i = 0; i < out.notes.size(); ++i)
        EXPECT_EQ(out.notes[i].substr(0, expected_notes[i].size()), expected_notes[i]);
    }
  }
}

// A recording's first event comes before the first gap the reading synchronises on, so a
// simulation of n events gives n - 1 in the reconstruction window. The clipped channels are
// left below the ceiling here: with drift and jitter, nine events do not always hold the
// ceiling constant.
TEST(RecordingVerdicts, TooFewEventsFlagTheMeasuredChannelsInOneLine) {
  for (const std::string config : {"20mV_delay-all", "4mV_delay-all"}) {
    temp_dir dir;
    simulation_options o = mixed_recording(config, 10, 7);
    for (int ch = 0; ch < 32; ++ch)
      if (kind_of(ch) == kind::clipped) o.channels[ch].amplitude = 1000.0;
    run_outcome few = run(o, config, dir);
    ASSERT_EQ(few.status, exit_success);
    EXPECT_EQ(few.summary.events_in_window, 9);
    int flagged = 0;
    for (int ch = 0; ch < 32; ++ch) {
      const fit_verdict expected =
          kind_of(ch) == kind::clipped ? fit_verdict::good : expected_verdict(kind_of(ch));
      const fit_verdict got = few.fits[ch].verdict;
      if (expected == fit_verdict::good) {
        EXPECT_EQ(got, fit_verdict::few_events) << config << " channel " << ch;
        ++flagged;
      } else {
        EXPECT_EQ(got, expected) << config << " channel " << ch;
      }
    }
    ASSERT_FALSE(few.notes.empty());
    EXPECT_EQ(few.notes.back(),
              "The recording holds only 9 events, too few for trustworthy "
              "errors: " +
                  std::to_string(flagged) + " channels are flagged.");
    EXPECT_EQ(few.notes.size(), 32u - flagged + 1) << config;

    o.events = 11;
    run_outcome enough = run(o, config, dir);
    EXPECT_EQ(enough.summary.events_in_window, 10);
    for (int ch = 0; ch < 32; ++ch)
      EXPECT_NE(enough.fits[ch].verdict, fit_verdict::few_events) << config << " channel " << ch;
  }
}

TEST(RecordingVerdicts, AWrongConfigurationIsNamedOnceWithTheOneItLooksLikeAndARightOneNever) {
  for (const std::string config : {"20mV_delay-all", "4mV_delay-all"}) {
    for (int events : {12, 200}) {
      temp_dir dir;
      const simulation_options o = realistic_options(events, config, 3);
      run_outcome right = run(o, config, dir);
      EXPECT_EQ(right.notes, diagnostics{}) << config << " " << events;
      EXPECT_EQ(right.config_check.looks_like, "");
      EXPECT_TRUE(std::isnan(right.config_check.other_misfit)) << "the other was not tried";
      run_outcome wrong = run(o, other(config), dir);
      EXPECT_EQ(wrong.config_check.looks_like, config);
      EXPECT_FALSE(std::isnan(wrong.config_check.other_misfit)) << "the other was tried";
      ASSERT_FALSE(wrong.notes.empty());
      const std::string& last = wrong.notes.back();
      EXPECT_EQ(last.substr(0, 27 + config.size()), "This recording looks like " + config + ":");
      EXPECT_NE(last.find("; check that configuration " + std::string(other(config)) +
                          " is the right one for this recording."),
                std::string::npos)
          << last;
      EXPECT_EQ(
          std::count_if(wrong.notes.begin(), wrong.notes.end(),
                        [](const std::string& n) { return n.find("configuration") != n.npos; }),
          1);
    }
  }
}

}  // namespace
