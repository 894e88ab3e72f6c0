#include "tools/recording_simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<int> values_of(const std::string& text) {
  std::istringstream in(text);
  std::vector<int> values;
  for (int v; in >> v;) values.push_back(v);
  return values;
}

struct recording {
  std::vector<int> v;
  explicit recording(const simulation_options& o) : v(values_of(simulate_recording(o))) {}
  int rows() const { return static_cast<int>(v.size() / 32); }
  int at(int row, int channel) const { return v[row * 32 + channel]; }
  int low_count(int row) const {
    int low = 0;
    for (int c = 0; c < 32; ++c) low += at(row, c) < 30;
    return low;
  }
};

// Noiseless channels that differ from each other, so that a channel mix-up shows.
simulation_options quiet_options(const std::string& config = "20mV_delay-all") {
  simulation_options o;
  o.events = 3;
  o.config = config;
  o.noise = 0;
  for (int c = 0; c < 32; ++c)
    o.channels[c] = {60.3 + 2 * c, 300.0 + 10 * c, (config == "4mV_delay-all" ? 280.0 : 140.0) + c,
                     770.0 + 2 * c};
  return o;
}

void expect_gaps_at(const recording& r, int first, int spacing, int gap_rows, int events) {
  for (int row = 0; row < r.rows(); ++row) {
    const bool gap =
        row >= first && (row - first) / spacing < events && (row - first) % spacing < gap_rows;
    EXPECT_EQ(r.low_count(row) >= 21, gap) << "row " << row << " low " << r.low_count(row);
  }
}

TEST(RecordingLayout, GapsOpenEveryEventAndNowhereElse) {
  simulation_options o = realistic_options(4, "20mV_delay-all", 3);
  o.leading_rows = 17;
  o.gap_spacing = 230;
  o.gap_rows = 8;
  recording r(o);
  ASSERT_EQ(r.v.size(), 32u * (17 + 4 * 230));
  EXPECT_EQ(recording_rows(o), r.rows());
  expect_gaps_at(r, 17, 230, 8, 4);
}

TEST(RecordingLayout, LastEventIsCompletedToTheFramedLengthUnlessCut) {
  simulation_options o = quiet_options();
  o.gap_spacing = 150;
  recording whole(o);
  EXPECT_EQ(whole.rows(), 2 * 150 + 207);
  expect_gaps_at(whole, 0, 150, 10, 3);
  for (int cut : {0, 5, 100, 207, 300}) {
    o.cut_last_event_rows = cut;
    recording r(o);
    EXPECT_EQ(r.v.size(), 32u * (2 * 150 + cut)) << "cut " << cut;
    EXPECT_EQ(recording_rows(o), r.rows());
    if (cut == 5) {
      EXPECT_GE(r.low_count(r.rows() - 1), 21);
    }
  }
}

// The reading expected at event row k, derived on the reconstructed time axis.
int expected_reading(const channel_truth& ch, const std::string& config, int k) {
  const bool slow = config == "4mV_delay-all";
  const int first_window = (slow ? 45 : 15) - 4, skipped = slow ? 2 : 0;
  if (k < first_window || k >= first_window + 150)
    return static_cast<int>(std::lround(ch.baseline));
  const int j = (k - first_window) / 15, q = (k - first_window) % 15;
  const double T = (q + 1) * 200.0 - 20.0 * (j - skipped), u = (T - ch.time_stamp) / ch.peak_time;
  const double pulse = u <= 0 ? 0.0 : ch.amplitude * std::pow(u, 4) * std::exp(4 - 4 * u);
  return static_cast<int>(std::lround(ch.baseline + pulse));
}

TEST(PulseShape, FollowsTheShaperOnTheReconstructedTimeAxis) {
  for (const std::string config : {"20mV_delay-all", "4mV_delay-all"}) {
    simulation_options o = quiet_options(config);
    recording r(o);
    for (int k = 10; k < 220; ++k)  // event 1, after its gap
      for (int c = 0; c < 32; ++c)
        ASSERT_EQ(r.at(220 + k, c), expected_reading(o.channels[c], config, k))
            << config << " row " << k << " channel " << c;
  }
}

TEST(PulseShape, PeaksAtTheSampleNearestThePeakTime) {
  for (const std::string config : {"20mV_delay-all", "4mV_delay-all"}) {
    simulation_options o = realistic_options(1, config, 11);
    o.noise = 0;
    const int first_window = config == "4mV_delay-all" ? 41 : 11,
              skipped = first_window == 41 ? 2 : 0;
    recording r(o);
    for (int c = 0; c < 32; ++c) {
      const channel_truth& ch = o.channels[c];
      for (int j = 0; j < 10; ++j) {
        int best = 0;
        for (int q = 1; q < 15; ++q)
          if (r.at(first_window + 15 * j + q, c) > r.at(first_window + 15 * j + best, c)) best = q;
        const double ideal = (ch.time_stamp - 200 - 20 * skipped + 20 * j + ch.peak_time) / 200;
        EXPECT_GT(ideal, 3) << config;
        EXPECT_LT(ideal, 14) << config;
        EXPECT_LE(std::abs(best - ideal), 1.0) << config << " channel " << c << " pulse " << j;
      }
    }
  }
  // Where the peak falls on a sample, that sample reads exactly baseline + amplitude.
  simulation_options o = quiet_options();
  o.channels[0] = {100, 500, 200, 800};  // pulse 0, sample 4
  EXPECT_EQ(recording(o).at(11 + 4, 0), 600);
  o = quiet_options("4mV_delay-all");
  o.channels[0] = {100, 500, 300, 800};  // pulse 7, sample 5
  EXPECT_EQ(recording(o).at(41 + 7 * 15 + 5, 0), 600);
}

TEST(Drift, MovesEveryReadingButTheGapsAlongTheRecording) {
  simulation_options o = quiet_options();
  recording still(o);
  o.drift = 40.0;
  recording drifting(o);
  const int last = still.rows() - 1, middle = last / 2;
  for (int c = 0; c < 32; ++c) {
    EXPECT_EQ(drifting.at(0, c), still.at(0, c));  // a gap row
    EXPECT_NEAR(drifting.at(middle, c) - still.at(middle, c), 40.0 * middle / last, 1.0) << c;
    EXPECT_EQ(drifting.at(last, c), still.at(last, c) + 40) << c;
  }
}

TEST(Jitter, ShiftsWholePulsesAndLeavesTheNoiseDrawsBe) {
  simulation_options o = quiet_options();
  o.events = 40;
  recording steady(o);
  o.jitter = 5.0;
  recording jittered(o);
  // Each pulse moves as one: its samples all shift one way, so at the rising edge of channel 0
  // the differences from the steady recording share the sign of the pulse's shift, and over
  // many pulses both signs occur.
  int earlier = 0, later = 0;
  for (int e = 1; e < 40; ++e)
    for (int j = 6; j < 10; ++j) {
      const int row = 220 * e + 11 + 15 * j + 4;
      earlier += jittered.at(row, 0) > steady.at(row, 0);
      later += jittered.at(row, 0) < steady.at(row, 0);
    }
  EXPECT_GT(earlier, 30);
  EXPECT_GT(later, 30);
  o.noise = 2.0;
  o.jitter = 0.0;
  recording noisy(o);
  o.jitter = 5.0;
  recording noisy_jittered(o);
  for (int e = 0; e < 40; ++e)
    for (int k = 0; k < 10; ++k)  // gap rows
      for (int c = 0; c < 32; ++c)
        ASSERT_EQ(noisy_jittered.at(220 * e + k, c), noisy.at(220 * e + k, c));
}

TEST(ChannelStates, DeadSaturatedAndClippedChannels) {
  simulation_options o = quiet_options();
  o.channels[5].dead = true;
  for (int c = 20; c < 31; ++c) o.channels[c].saturated = true;  // 21 channels still go low
  o.channels[31] = {100, 500, 150, 800};
  o.saturation_level = 400;
  recording r(o);
  expect_gaps_at(r, 0, 220, 10, 3);
  int peak = 0;
  for (int row = 0; row < r.rows(); ++row) {
    EXPECT_EQ(r.at(row, 5), row % 220 < 10 ? 5 : 70) << "row " << row;
    for (int c = 20; c < 31; ++c) EXPECT_EQ(r.at(row, c), 400);
    peak = std::max(peak, r.at(row, 31));
  }
  EXPECT_EQ(peak, 400);
}

TEST(ChannelStates, GapReadingsStayLowDespiteNoise) {
  simulation_options o = realistic_options(20, "20mV_delay-all", 5);
  o.gap_level = 27;
  o.noise = 6;
  recording r(o);
  for (int row = 0; row < r.rows(); row += row % 220 == 9 ? 211 : 1)
    EXPECT_EQ(r.low_count(row), 32) << "row " << row;
}

TEST(TextLayout, ValuesPerLineOnlyMovesTheLineBreaks) {
  simulation_options o = realistic_options(2, "20mV_delay-all", 8);
  const std::vector<int> reference = values_of(simulate_recording(o));
  for (int per_line : {1, 7, 100}) {
    o.values_per_line = per_line;
    const std::string text = simulate_recording(o);
    ASSERT_EQ(text.back(), '\n');
    std::istringstream lines(text);
    size_t lines_seen = 0;
    for (std::string line; std::getline(lines, line); ++lines_seen) {
      const size_t expected = std::min<size_t>(per_line, reference.size() - lines_seen * per_line);
      ASSERT_EQ(values_of(line).size(), expected) << per_line << " per line, line " << lines_seen;
    }
    EXPECT_EQ(lines_seen, (reference.size() + per_line - 1) / per_line);
    EXPECT_EQ(values_of(text), reference) << per_line << " per line";
  }
}

TEST(Noise, IsSeededAndHasTheRequestedSigma) {
  simulation_options o = quiet_options();
  o.leading_rows = 2000;
  o.noise = 3;
  const std::string text = simulate_recording(o);
  EXPECT_EQ(simulate_recording(o), text);
  o.seed = 5;
  EXPECT_NE(simulate_recording(o), text);
  recording r(o);
  double sum = 0, squares = 0;
  for (int i = 0; i < 2000 * 32; ++i) {
    const double d = r.v[i] - o.channels[i % 32].baseline;
    sum += d;
    squares += d * d;
  }
  const double n = 2000 * 32;
  EXPECT_NEAR(sum / n, 0, 0.05);
  EXPECT_NEAR(std::sqrt(squares / n - sum * sum / n / n), std::sqrt(9 + 1.0 / 12), 0.05);
}

TEST(RealisticOptions, DrawsChannelsInTheirRangesFromTheSeed) {
  for (const std::string config : {"20mV_delay-all", "4mV_delay-all"}) {
    const double peak = config == "4mV_delay-all" ? 300 : 150;
    const simulation_options o = realistic_options(7, config, 21);
    for (const channel_truth& ch : o.channels) {
      EXPECT_TRUE(ch.baseline >= 60 && ch.baseline <= 150) << ch.baseline;
      EXPECT_TRUE(ch.amplitude >= 300 && ch.amplitude <= 800) << ch.amplitude;
      EXPECT_LE(std::abs(ch.peak_time - peak), peak / 10);
      EXPECT_TRUE(ch.time_stamp >= 760 && ch.time_stamp <= 840) << ch.time_stamp;
    }
    EXPECT_EQ(realistic_options(7, config, 21).channels[9].time_stamp, o.channels[9].time_stamp);
    EXPECT_NE(realistic_options(7, config, 22).channels[9].time_stamp, o.channels[9].time_stamp);
  }
}

TEST(Truth, ListsEveryChannelSoThatItRoundTrips) {
  simulation_options o = realistic_options(1, "20mV_delay-all", 2);
  o.channels[3].dead = o.channels[9].saturated = true;
  std::ostringstream out;
  write_truth(o, out);
  std::istringstream in(out.str());
  std::string header;
  std::getline(in, header);
  EXPECT_TRUE(header.starts_with("#")) << header;
  for (int c = 0; c < 32; ++c) {
    int channel = -1;
    bool dead, saturated;
    channel_truth t;
    in >> channel >> t.baseline >> t.amplitude >> t.peak_time >> t.time_stamp >> dead >> saturated;
    const channel_truth& ch = o.channels[c];
    EXPECT_EQ(channel, c);
    EXPECT_TRUE(t.baseline == ch.baseline && t.amplitude == ch.amplitude &&
                t.peak_time == ch.peak_time && t.time_stamp == ch.time_stamp)
        << "channel " << c;
    EXPECT_EQ(dead, c == 3);
    EXPECT_EQ(saturated, c == 9);
  }
  EXPECT_FALSE(in >> header);
}

TEST(Validation, RejectsOptionsThatCannotBeSimulated) {
  EXPECT_EQ(validation_error(realistic_options(3, "4mV_delay-all", 1)), "");
  for (int i = 0; i < 5; ++i) {
    simulation_options o = quiet_options();
    if (i == 0) o.events = 0;
    if (i == 1) o.gap_rows = o.gap_spacing + 1;
    if (i == 2) o.noise = -1;
    if (i == 3) o.values_per_line = 0;
    if (i == 4) o.channels[4].peak_time = 0;
    EXPECT_NE(validation_error(o), "") << "case " << i;
    EXPECT_THROW(simulate_recording(o), std::invalid_argument) << "case " << i;
  }
}

TEST(Writers, FileAndStreamGetTheSameTextAcrossChunks) {
  const simulation_options o = realistic_options(60, "20mV_delay-all", 6);  // above 1 MB
  const std::string text = simulate_recording(o);
  std::ostringstream stream;
  write_recording(o, stream);
  EXPECT_TRUE(text.size() > (1u << 20) && stream.str() == text);
  std::FILE* file = std::tmpfile();
  ASSERT_TRUE(write_recording(o, file));
  std::string read_back(text.size() + 1, '\0');
  std::rewind(file);
  read_back.resize(std::fread(read_back.data(), 1, read_back.size(), file));
  std::fclose(file);
  EXPECT_TRUE(read_back == text);
}

}  // namespace
