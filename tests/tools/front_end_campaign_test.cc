// Realistic simulated campaigns: chips that differ as real ones do, and the front-end defects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/tool_run.h"
#include "tools/campaign_simulator.h"
#include "tools/recording_values.h"

namespace fs = std::filesystem;

namespace {

const std::string config = "20mV_delay-all";

double spread(const std::vector<double>& x) {
  double sum = 0, squares = 0;
  for (double v : x) sum += v;
  const double mean = sum / x.size();
  for (double v : x) squares += (v - mean) * (v - mean);
  return std::sqrt(squares / (x.size() - 1));
}

TEST(RealisticCampaign, ChipsDifferByTheirOwnOffsetAndChannelsWithinAChipByLess) {
  const simulation_options design = realistic_options(1, config, 1);
  std::vector<double> chip_gain, chip_time, chip_peak, channel_gain;
  std::vector<double> orders;
  for (int index = 0; index < 60; ++index) {
    const simulation_options o = campaign_chip_options(index, 1, config, chip_fault::none, true);
    std::vector<double> gains, times, peaks;
    for (int ch = 0; ch < 32; ++ch) {
      gains.push_back(std::log(o.channels[ch].amplitude / design.channels[ch].amplitude));
      times.push_back(o.channels[ch].time_stamp - design.channels[ch].time_stamp);
      peaks.push_back(std::log(o.channels[ch].peak_time / design.channels[ch].peak_time));
      orders.push_back(o.channels[ch].order);
    }
    auto mean = [](const std::vector<double>& x) {
      double sum = 0;
      for (double v : x) sum += v;
      return sum / x.size();
    };
    chip_gain.push_back(mean(gains));
    chip_time.push_back(mean(times));
    chip_peak.push_back(mean(peaks));
    channel_gain.push_back(spread(gains));
  }
  const chip_spread& s = realistic_chip_spread;
  EXPECT_NEAR(spread(chip_gain), s.chip_gain, 0.3 * s.chip_gain);
  EXPECT_NEAR(spread(chip_time), s.chip_time_stamp, 0.3 * s.chip_time_stamp);
  EXPECT_NEAR(spread(chip_peak), s.chip_peak_time, 0.3 * s.chip_peak_time);
  std::sort(channel_gain.begin(), channel_gain.end());
  EXPECT_NEAR(channel_gain[30], s.channel_gain, 0.2 * s.channel_gain);
  // One design: every chip's channels share its order within the per-channel spread.
  const auto [lowest, highest] = std::minmax_element(orders.begin(), orders.end());
  EXPECT_LE(*highest - *lowest, 0.2);
}

// Chip `index` with `fault` and the same chip without it, noiseless and without jitter, so
// that what the fault changes stands alone.
struct chip_pair {
  std::vector<int> good, faulty;
  simulation_options options;
  chip_pair(int index, chip_fault fault) {
    auto quiet = [&](chip_fault f) {
      simulation_options o = campaign_chip_options(index, 2, config, f, true);
      o.noise = o.jitter = o.common_mode = o.wander = 0;
      return o;
    };
    options = quiet(fault);
    good = values_of(simulate_recording(quiet(chip_fault::none)));
    faulty = values_of(simulate_recording(options));
  }
  // The largest reading of `channel` over event 1's pulse windows, minus its first reading there.
  static int height(const std::vector<int>& v, int channel) {
    int top = -1 << 20, bottom = 1 << 20;
    for (int row = 220 + 11; row < 220 + 161; ++row) {
      top = std::max(top, at(v, row, channel));
      bottom = std::min(bottom, at(v, row, channel));
    }
    return std::abs(top - at(v, 220 + 11, channel)) > std::abs(bottom - at(v, 220 + 11, channel))
               ? top - at(v, 220 + 11, channel)
               : bottom - at(v, 220 + 11, channel);
  }
  // Event 1's samples of `channel` above half its height, on the 20 ns grid.
  static int wide(const std::vector<int>& v, int channel) {
    const int half = height(v, channel) / 2 + at(v, 220 + 11, channel);
    int count = 0;
    for (int row = 220 + 11; row < 220 + 161; ++row) count += at(v, row, channel) > half;
    return count;
  }
  bool others_alike(int channel) const {
    for (size_t i = 0; i < good.size(); ++i)
      if (static_cast<int>(i % 32) != channel && good[i] != faulty[i]) return false;
    return true;
  }
};

TEST(FrontEndDefects, EachChangesTheChannelItNamesAndNoOther) {
  const chip_pair low(2, chip_fault::low_channel);
  EXPECT_NEAR(
      static_cast<double>(chip_pair::height(low.faulty, 22)) / chip_pair::height(low.good, 22), 0.8,
      0.01);
  EXPECT_TRUE(low.others_alike(22));

  const chip_pair negative(3, chip_fault::negative_pulse);
  double others = 0;
  for (int ch = 0; ch < 32; ++ch)
    if (ch != 11) others += chip_pair::height(negative.good, ch) / 31.0;
  EXPECT_NEAR(chip_pair::height(negative.faulty, 11) / others, -0.25, 0.01);
  EXPECT_TRUE(negative.others_alike(11));

  const chip_pair misshapen(6, chip_fault::misshapen);
  EXPECT_GT(chip_pair::wide(misshapen.faulty, 7), 1.15 * chip_pair::wide(misshapen.good, 7));
  EXPECT_NEAR(static_cast<double>(chip_pair::height(misshapen.faulty, 7)) /
                  chip_pair::height(misshapen.good, 7),
              1, 0.02);  // as high, on the samples nearest their peaks
  EXPECT_TRUE(misshapen.others_alike(7));

  const chip_pair pedestal(4, chip_fault::high_pedestal);
  for (int row = 220 + 170; row < 440; ++row) EXPECT_EQ(at(pedestal.faulty, row, 28), 3800);
  EXPECT_TRUE(pedestal.others_alike(28));
}

// The time (ns, on the 20 ns grid of event 1) at which `channel` first rises past half its
// height, interpolated between samples.
double half_rise_time(const std::vector<int>& v, int channel) {
  std::vector<std::pair<double, double>> points;  // time, reading above the first sample
  for (int j = 0; j < 10; ++j)
    for (int q = 0; q < 15; ++q)
      points.push_back(
          {200.0 * q - 20.0 * j, at(v, 220 + 11 + 15 * j + q, channel) - at(v, 220 + 11, channel)});
  std::sort(points.begin(), points.end());
  const double half = chip_pair::height(v, channel) / 2.0;
  for (size_t i = 1; i < points.size(); ++i)
    if (points[i].second >= half) {
      const auto [t0, y0] = points[i - 1];
      const auto [t1, y1] = points[i];
      return t0 + (half - y0) / (y1 - y0) * (t1 - t0);
    }
  return NAN;
}

TEST(FrontEndDefects, ALateChipIsTwelveNanosecondsLateOnEveryChannel) {
  const chip_pair late(1, chip_fault::late_12ns);
  for (int ch = 0; ch < 32; ++ch)
    EXPECT_NEAR(half_rise_time(late.faulty, ch) - half_rise_time(late.good, ch), 12, 1.5) << ch;
}

TEST(FrontEndDefects, LongGapsAndCommonModeNoiseShowInTheRecording) {
  for (chip_fault fault : {chip_fault::none, chip_fault::long_gaps}) {
    const std::vector<int> v =
        values_of(simulate_recording(campaign_chip_options(5, 3, config, fault, true)));
    for (int e = 0; e < 3; ++e) {
      int gap_rows = 0;
      for (int k = 0; k < 30; ++k) {
        int low = 0;
        for (int c = 0; c < 32; ++c) low += at(v, 220 * e + k, c) < 30;
        gap_rows += low >= 21;
      }
      EXPECT_EQ(gap_rows, fault == chip_fault::none ? 10 : 14) << e;
    }
  }
  const simulation_options o =
      campaign_chip_options(7, 20, config, chip_fault::common_mode_noise, true);
  const std::vector<int> v = values_of(simulate_recording(o));
  // Rows after the pulse windows hold the baselines: their channel-mean moves with the shared
  // noise, whose variance is what the two halves of the channels have in common.
  std::vector<int> rows;
  for (int e = 0; e < 19; ++e)
    for (int k = 175; k < 220; ++k) rows.push_back(220 * e + k);
  const double shared = std::sqrt(shared_variance(v, rows));
  EXPECT_NEAR(shared, 4 * o.noise, 0.1 * 4 * o.noise);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(FrontEndDefects, ARealisticCampaignNamesEachDefectAndMissesARecording) {
  temp_dir d;
  program_run run = run_program({VARNEL_SIM_CAMPAIGN_EXE, "--output", d / "c", "--chips", "10",
                                 "--events", "2", "--configs", "4mV_delay-all,20mV_delay-all",
                                 "--realistic", "--faults", "realistic"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<std::string> listing = lines_of(read_file(d / "c/faults.tsv").value_or(""));
  const std::vector<chip_fault> defects = front_end_defects(true);
  ASSERT_EQ(listing.size(), 1 + 2 * defects.size() - 1);  // missing in one configuration only
  for (size_t i = 0; i < defects.size(); ++i) {
    const std::string chip = std::to_string(100001 + i);
    EXPECT_TRUE(
        listing[1 + 2 * i].starts_with(chip + "\t4mV_delay-all\t" + fault_name(defects[i]) + "\t"))
        << listing[1 + 2 * i];
  }
  const std::string missing = campaign_recording_name("100008", "4mV_delay-all");
  EXPECT_TRUE(listing.back().ends_with(missing)) << listing.back();
  EXPECT_FALSE(fs::exists(d / ("c/" + missing)));
  EXPECT_TRUE(fs::exists(d / ("c/" + campaign_recording_name("100008", config))));
  EXPECT_TRUE(fs::exists(d / ("c/" + campaign_recording_name("100009", "4mV_delay-all"))));
}

TEST(FrontEndDefects, FaultListsAreCheckedBeforeAnythingIsWritten) {
  std::string why;
  EXPECT_EQ(parse_fault_list("none,late_12ns,classic", false, false, why), ([] {
              std::vector<chip_fault> f = {chip_fault::none, chip_fault::late_12ns};
              for (chip_fault c : classic_faults(false)) f.push_back(c);
              return std::optional(f);
            })());
  temp_dir d;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--faults", "late_12ns,bogus"}, "unknown fault \"bogus\""},
      {{"--faults", "realistic,missing_recording"},
       "fault missing_recording needs several configurations"},
      {{"--faults", "nonlinear"}, "fault nonlinear needs a campaign with --configs"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> argv = {VARNEL_SIM_CAMPAIGN_EXE, "--output", d / "out"};
    argv.insert(argv.end(), args.begin(), args.end());
    program_run run = run_program(argv);
    EXPECT_EQ(run.status, 2) << message;
    EXPECT_EQ(run.err, "varnel-sim-campaign: " + message + "\n");
  }
  EXPECT_FALSE(fs::exists(d / "out"));
}

}  // namespace
