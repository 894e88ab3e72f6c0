// Campaigns over several injected amplitudes, whose chips have known gains.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/tool_run.h"
#include "tools/campaign_simulator.h"
#include "tools/channel_response.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> configs = {"4mV_delay-all", "10mV_delay-all", "20mV_delay-all"};
const std::vector<double> mvs = {4, 10, 20};
constexpr int events = 20, chips = 18;

// gains.tsv as gain and noise by chip and channel, after checking its header.
struct gain_row {
  double gain, noise;
};
std::map<std::pair<std::string, int>, gain_row> read_gains(const std::string& path) {
  std::istringstream in(read_file(path).value_or(""));
  std::string line, chip;
  std::getline(in, line);
  EXPECT_EQ(line, "chip\tchannel\tgain\tnoise");
  std::map<std::pair<std::string, int>, gain_row> rows;
  int channel;
  for (gain_row r; in >> chip >> channel >> r.gain >> r.noise;) rows[{chip, channel}] = r;
  return rows;
}

class GainCampaign : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new temp_dir;
    write_gain_campaign(*dir_ / "data", chips, events, configs, true);
    gains_ = read_gains(*dir_ / "data/gains.tsv");
  }
  static void TearDownTestSuite() { delete dir_; }
  static simulation_options options(int index, const std::string& config) {
    return gain_chip_options(index, events, config, 4, 20, planted_fault(index, true));
  }
  static double gain(int index, int channel) {
    return gains_.at({std::to_string(100000 + index), channel}).gain;
  }
  static temp_dir* dir_;
  static std::map<std::pair<std::string, int>, gain_row> gains_;
};
temp_dir* GainCampaign::dir_ = nullptr;
std::map<std::pair<std::string, int>, gain_row> GainCampaign::gains_;

TEST_F(GainCampaign, WritesEveryChipInEveryConfigurationWithTheBenchsNames) {
  std::set<std::string> expected = {"faults.tsv", "gains.tsv"};
  for (int i = 0; i < chips; ++i) {
    for (const std::string& config : configs) {
      if (i != 12 || config != configs.back()) {
        expected.insert(campaign_recording_name(std::to_string(100000 + i), config));
      } else {  // retested in the last configuration only
        for (const char* time : {"120000", "130000"})
          expected.insert(campaign_recording_name("100012", config, time));
      }
    }
  }
  EXPECT_EQ(tree(*dir_ / "data"), expected);
  // Faults of one run are in the last configuration only, the chip's own in every one.
  const std::string listing = read_file(*dir_ / "data/faults.tsv").value_or("");
  for (const char* chip_fault : {"100008\t%s\tcut", "100010\t%s\tfew_events", "100001\t%s\tdead",
                                 "100016\t%s\tnonlinear", "100017\t%s\tlow_gain_all"}) {
    const bool everywhere = std::string(chip_fault).find("cut") == std::string::npos &&
                            std::string(chip_fault).find("few") == std::string::npos;
    for (const std::string& config : configs) {
      char line[100];
      std::snprintf(line, sizeof line, chip_fault, config.c_str());
      EXPECT_EQ(listing.find(line) != std::string::npos, everywhere || config == configs.back())
          << line;
    }
  }
}

TEST_F(GainCampaign, AmplitudesAreGainsTsvsGainTimesTheInjectedAmplitudeAndTheRestAsWithOne) {
  ASSERT_EQ(gains_.size(), 32u * chips);
  for (int i = 0; i < chips; ++i)
    for (size_t c = 0; c < configs.size(); ++c) {
      const simulation_options o = options(i, configs[c]);
      const simulation_options one =
          campaign_chip_options(i, events, configs[c], planted_fault(i, true));
      for (int ch = 0; ch < 32; ++ch) {
        const channel_truth& t = o.channels[ch];
        if (t.dead || t.saturated || t.stuck) {
          EXPECT_EQ(gain(i, ch), 0.0);
        } else if (!(i == 16 && ch == 17)) {
          EXPECT_NEAR(t.amplitude / (gain(i, ch) * mvs[c]), 1.0, 1e-14) << i << " " << ch;
        }
        EXPECT_EQ(t.peak_time, one.channels[ch].peak_time);
        EXPECT_EQ(t.time_stamp, one.channels[ch].time_stamp);
        EXPECT_EQ(t.baseline, one.channels[ch].baseline);
      }
      EXPECT_EQ(o.noise, gains_.at({std::to_string(100000 + i), 0}).noise);
    }
  // The recordings are the ones these options describe.
  for (const std::string& config : configs)
    EXPECT_EQ(read_file(*dir_ / ("data/" + campaign_recording_name("100003", config))),
              simulate_recording(options(3, config)));
}

TEST_F(GainCampaign, ChipsShareTheDesignsGainsWithASmallSpreadAndTheLowGainChipIsLow) {
  for (int ch = 0; ch < 32; ++ch) {
    EXPECT_GT(gain(0, ch), 15 * 0.97);
    EXPECT_LT(gain(0, ch), 40 * 1.03);
    EXPECT_NE(gain(0, ch), gain(4, ch));
    EXPECT_NEAR(gain(4, ch) / gain(0, ch), 1.0, 0.03) << ch;
    EXPECT_NEAR(gain(17, ch) / gain(0, ch), ch == 9 ? 0.75 : 1.0, 0.03) << ch;
  }
  EXPECT_EQ(gains_.at({"100006", 0}).noise, 16);
  EXPECT_EQ(gains_.at({"100002", 5}).noise, 0);  // saturated
}

TEST_F(GainCampaign, TheNonLinearChannelSaturatesSoftly) {
  auto ratio = [](const std::string& config, double mv) {
    return options(16, config).channels[17].amplitude / (gain(16, 17) * mv);
  };
  EXPECT_NEAR(ratio(configs[2], 20), 0.9, 1e-12);
  EXPECT_GT(ratio(configs[0], 4), 0.99);
  EXPECT_LT(ratio(configs[0], 4), 1.0);
  // However close the amplitudes, the smallest stays within 1 %.
  const soft_saturation close = saturation_between(15, 20);
  EXPECT_NEAR(close.amplitude(30, 20), 0.9 * 600, 1e-9);
  EXPECT_GT(close.amplitude(30, 15), 0.99 * 450);
}

// varnel.exe's log as amplitude and its error by channel.
std::vector<std::pair<double, double>> logged_amplitudes(const std::string& log) {
  std::istringstream in(log);
  std::string header, pm;
  std::getline(in, header);
  std::vector<std::pair<double, double>> amplitudes;
  int channel;
  double rise, rise_err, amplitude, amplitude_err;
  while (in >> channel >> rise >> pm >> rise_err >> amplitude >> pm >> amplitude_err) {
    amplitudes.emplace_back(amplitude, amplitude_err);
    in.ignore(1000, '\n');
  }
  return amplitudes;
}

TEST(GainCampaignAnalysis, FittedAmplitudesOverTheInjectedMvAgreeWithTheGains) {
  temp_dir d;
  write_gain_campaign(d / "data", 1, 40, configs, false);
  const auto truth = read_gains(d / "data/gains.tsv");
  for (size_t c = 0; c < configs.size(); ++c) {
    const std::string recording = d / ("data/" + campaign_recording_name("100000", configs[c]));
    program_run run = run_program({VARNEL_EXE, "100000", configs[c], recording});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto fitted = logged_amplitudes(
        read_file(d / ("data/rise_time_korvi100000_" + configs[c] + ".log")).value_or(""));
    ASSERT_EQ(fitted.size(), 32u);
    double sum = 0, sum2 = 0;
    for (int ch = 0; ch < 32; ++ch) {
      const double pull = (fitted[ch].first / mvs[c] - truth.at({"100000", ch}).gain) /
                          (fitted[ch].second / mvs[c]);
      EXPECT_LT(std::abs(pull), 5) << configs[c] << " channel " << ch;
      sum += pull, sum2 += pull * pull;
    }
    const double mean = sum / 32, width = std::sqrt(sum2 / 32 - mean * mean);
    std::printf("%s: pulls of the fitted gains, mean %.2f, width %.2f\n", configs[c].c_str(), mean,
                width);
    EXPECT_LT(std::abs(mean), 1.5) << configs[c];
    EXPECT_LT(width, 2.5) << configs[c];
  }
}

TEST(InjectedAmplitude, IsTheNumberBeforeMvAtTheStartOfTheName) {
  EXPECT_EQ(injected_mv("4mV_delay-all"), 4.0);
  EXPECT_EQ(injected_mv("2.5mV_x"), 2.5);
  for (const char* none : {"delay-all", "mV_x", "4V_x", "4mv_x", "0mV_x", "1.2.3mV", "x4mV", ""})
    EXPECT_FALSE(injected_mv(none)) << none;
}

TEST(VarnelSimCampaign, RefusesAConfigurationWithoutAnAmplitudeNamingIt) {
  temp_dir d;
  for (const char* list : {"4mV_delay-all,delay-all", "4mV_delay-all,"}) {
    program_run run =
        run_program({VARNEL_SIM_CAMPAIGN_EXE, "--output", d / "out", "--configs", list});
    EXPECT_EQ(run.status, 2) << list;
    const std::string name = std::string(list).substr(std::string(list).find(',') + 1);
    EXPECT_EQ(run.err.rfind("varnel-sim-campaign: configuration \"" + name + "\" has no", 0), 0u)
        << run.err;
  }
  program_run both = run_program({VARNEL_SIM_CAMPAIGN_EXE, "--output", d / "out", "--config",
                                  "4mV_delay-all", "--configs", "4mV_delay-all"});
  EXPECT_EQ(both.status, 2);
  EXPECT_FALSE(fs::exists(d / "out"));
  program_run good = run_program({VARNEL_SIM_CAMPAIGN_EXE, "--output", d / "out", "--chips", "1",
                                  "--events", "2", "--configs", "2.5mV_x,4mV_delay-all"});
  ASSERT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(tree(d / "out").size(), 3u);
}

}  // namespace
