#include "campaign/judge/characterisation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "campaign/campaign_support.h"
#include "campaign/judge/reason_text.h"
#include "tools/campaign_simulator.h"

namespace {

// A current recording of `chip` in `config` whose channels read `amplitude(channel)` with
// errors 0.1, noise 2 ADC counts, rise time 150 ns and time stamp 800 ns.
stored_recording recording(int64_t id, const std::string& chip, const std::string& config,
                           double (*amplitude)(int channel, double mV), double mV) {
  stored_recording r;
  r.id = id;
  r.chip = chip;
  r.config = config;
  r.path = "/d/" + chip + "_" + config + "_adc.txt";
  r.status = 0;
  r.current = true;
  r.events_completed = 100;
  for (int ch = 0; ch < 32; ++ch) {
    stored_channel c;
    c.channel = ch;
    c.fit.amplitude = amplitude(ch, mV);
    c.fit.amplitude_err = 0.1;
    c.fit.noise = 2.0;
    c.fit.peak_time = 150.0 + mV / 10;
    c.fit.time_stamp = 800.0;
    c.fit.peak_time_err = c.fit.time_stamp_err = 0.03;
    r.channels.push_back(c);
  }
  return r;
}

double linear(int channel, double mV) {
  return (20.0 + channel) * mV;
}

std::vector<stored_recording> three_configurations(const std::vector<std::string>& chips) {
  std::vector<stored_recording> rs;
  int64_t id = 0;
  for (const std::string& chip : chips)
    for (double mV : {10.0, 20.0, 30.0})
      rs.push_back(
          recording(++id, chip, std::to_string(static_cast<int>(mV)) + "mV_a", linear, mV));
  return rs;
}

std::vector<std::string> split(const std::string& line, char by) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, by);) fields.push_back(f);
  return fields;
}

}  // namespace

TEST(Characterisation, TheInjectionComesFromTheLimitsElseFromTheName) {
  acceptance_limits l;
  std::string error;
  ASSERT_TRUE(parse_limits("capacitance_fF = 100\n[config.\"pulse_b\"]\ninjection_mV = 7.5\n",
                           "l.toml", l, error))
      << error;
  EXPECT_EQ(l.capacitance_fF, 100.0);
  std::optional<injection> in = injection_of("pulse_b", l);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->mV, 7.5);
  EXPECT_FALSE(in->assumed);
  in = injection_of("2.5mV_delay-all", l);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->mV, 2.5);
  EXPECT_TRUE(in->assumed);
  for (const char* none : {"pulse_c", "20mv_delay-all", "mV_x", "0mV_x", ""})
    EXPECT_FALSE(injection_of(none, l)) << none;
  for (auto [text, message] : std::initializer_list<std::pair<const char*, const char*>>{
           {"[config.x]\ninjection_mV = 0\n",
            "limits l.toml line 2: key 'injection_mV': expected a finite number above 0"},
           {"[characterisation]\nrise_time = [1, 2]\n",
            "limits l.toml line 2: key 'rise_time': unknown key"},
           {"capacitance_fF = \"100\"\n",
            "limits l.toml line 1: key 'capacitance_fF': expected a finite number above 0"}}) {
    acceptance_limits bad;
    EXPECT_FALSE(parse_limits(text, "l.toml", bad, error));
    EXPECT_EQ(error, message);
  }
}

TEST(Characterisation, FiguresOfLinearAndCurvedChannels) {
  std::vector<stored_recording> rs = three_configurations({"100", "101"});
  // Chip 101's channel 4 reads 100, 200, 280 at 10, 20, 30 mV: the weighted line through them
  // (equal errors) has slope 9, intercept 13.33 and misses 200 by 6.67, 2.38 % of 280.
  rs[3].channels[4].fit.amplitude = 100;
  rs[4].channels[4].fit.amplitude = 200;
  rs[5].channels[4].fit.amplitude = 280;
  rs[4].channels[7].fit.verdict = fit_verdict::no_pulse;  // channel 7 good in two of three
  rs[4].channels[8].fit.verdict = rs[5].channels[8].fit.verdict = fit_verdict::no_pulse;
  acceptance_limits l;
  l.capacitance_fF = 100.0;
  campaign_characterisation k = characterise(rs, l);
  ASSERT_EQ(k.channels.size(), 64u);
  EXPECT_EQ(k.notes,
            (std::vector<std::string>{"10mV_a: injected amplitude 10 mV, assumed from its name",
                                      "20mV_a: injected amplitude 20 mV, assumed from its name",
                                      "30mV_a: injected amplitude 30 mV, assumed from its name"}));
  const channel_characterisation& good = k.channels[3];
  EXPECT_EQ(good.configurations, 3);
  EXPECT_NEAR(good.gain, 23.0, 1e-9);
  EXPECT_NEAR(good.gain_err, 0.1 / std::sqrt(200.0), 1e-12);
  EXPECT_NEAR(good.offset, 0.0, 1e-9);
  EXPECT_NEAR(good.nonlinearity, 0.0, 1e-9);
  EXPECT_NEAR(good.noise_mV, 2.0 / 23.0, 1e-12);
  EXPECT_NEAR(good.gain_fC, 230.0, 1e-9);                      // 1 fC is 10 mV on 100 fF
  EXPECT_NEAR(good.noise_e, 2.0 / 23.0 * 100 * 6.2415, 0.01);  // electrons
  EXPECT_NEAR(good.rise_time_spread, 2.0, 1e-9);
  EXPECT_NEAR(good.time_stamp_spread, 0.0, 1e-9);
  const channel_characterisation& curved = k.channels[32 + 4];
  EXPECT_NEAR(curved.gain, 9.0, 1e-9);
  EXPECT_NEAR(curved.offset, 40.0 / 3, 1e-9);
  EXPECT_NEAR(curved.nonlinearity, 100.0 * (20.0 / 3) / 280, 1e-9);
  EXPECT_EQ(k.channels[32 + 7].configurations, 2);
  EXPECT_TRUE(k.channels[32 + 7].reason.empty());
  EXPECT_EQ(k.channels[32 + 8].reason,
            "a good fit in 1 configuration with a known injected amplitude, at least 2 are needed");
  EXPECT_TRUE(std::isnan(k.channels[32 + 8].gain));
}

TEST(Characterisation, SpreadsSpanEachQuantitysOwnExtremes) {
  std::vector<stored_recording> rs = three_configurations({"100", "101"});
  // Chip 100's channel 2 starts earlier as the charge grows (time walk), but not in step with
  // its rise time, which grows with the charge: 10, 20, 30 mV read 803.5, 800.2, 801.1 ns.
  const double starts[] = {803.5, 800.2, 801.1};
  for (size_t i = 0; i < 3; ++i) rs[i].channels[2].fit.time_stamp = starts[i];
  rs[1].channels[2].fit.peak_time = 149.0;  // 20 mV the fastest, 30 mV the slowest
  campaign_characterisation k = characterise(rs, acceptance_limits{});
  ASSERT_EQ(k.channels.size(), 64u);
  EXPECT_NEAR(k.channels[2].time_stamp_spread, 3.3, 1e-9);
  EXPECT_NEAR(k.channels[2].rise_time_spread, 4.0, 1e-9);
  EXPECT_NEAR(k.channels[32 + 2].time_stamp_spread, 0.0, 1e-9);
}

TEST(Characterisation, AChannelOffTheOtherChipsFailsAndTooFewChipsAreNotJudged) {
  std::vector<stored_recording> rs = three_configurations({"100", "101", "102", "103", "104"});
  for (int i = 0; i < 3; ++i) rs[3 + i].channels[9].fit.amplitude *= 0.75;  // chip 101
  rs[8].channels[17].fit.amplitude *= 0.9;  // chip 102, 10 % low at 30 mV
  std::mt19937_64 random(3);
  std::normal_distribution<double> unit(0.0, 1.0);
  for (stored_recording& r : rs)  // amplitudes within their errors
    for (stored_channel& c : r.channels) c.fit.amplitude += 0.1 * unit(random);
  acceptance_limits l;
  std::vector<chip_verdict> v = judge_characterisation(characterise(rs, l).channels, l);
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(verdict_line(v[0]), "100 characterisation pass");
  EXPECT_EQ(v[1].outcome, chip_outcome::fail);
  EXPECT_TRUE(
      verdict_line(v[1]).starts_with("101 characterisation fail: channel 9: gain 25.0 % "
                                     "below the campaign's median"))
      << verdict_line(v[1]);
  EXPECT_NE(verdict_line(v[2]).find("channel 17: nonlinearity "), std::string::npos)
      << verdict_line(v[2]);
  for (size_t i : {0u, 3u, 4u}) EXPECT_EQ(v[i].outcome, chip_outcome::pass) << verdict_line(v[i]);
  rs.resize(9);
  v = judge_characterisation(characterise(rs, l).channels, l);
  EXPECT_EQ(verdict_line(v[0]),
            "100 characterisation not judged: all 32 channels: fewer than 4 chips with figures "
            "to compare gain with; all 32 channels: fewer than 4 chips with figures to compare "
            "noise_mV with; all 32 channels: fewer than 4 chips with figures to compare "
            "nonlinearity with; all 32 channels: fewer than 4 chips with figures to compare "
            "rise_time_spread with; all 32 channels: fewer than 4 chips with figures to compare "
            "time_stamp_spread with");
}

TEST(Characterisation, SimulatedGainsComeBackWithinTheirErrors) {
  temp_dir d;
  write_gain_campaign(d / "data", 22, 40, {"4mV_delay-all", "10mV_delay-all", "20mV_delay-all"},
                      true);
  campaign({"run", "data"}, d.path());
  program_run r = campaign({"characterise", "--csv", "k.csv"}, d.path());
  EXPECT_EQ(r.status, 1);
  std::map<std::pair<std::string, int>, std::pair<double, double>> truth;  // gain, noise
  std::ifstream gains(d / "data/gains.tsv");
  std::string line;
  std::getline(gains, line);
  while (std::getline(gains, line)) {
    std::vector<std::string> f = split(line, '\t');
    truth[{f[0], std::stoi(f[1])}] = {std::stod(f[2]), std::stod(f[3])};
  }
  const std::map<std::string, std::string> faults = planted_faults(d / "data");
  std::ifstream csv(d / "k.csv");
  std::getline(csv, line);
  EXPECT_EQ(line,
            "chip,channel,configurations,gain,gain_err,offset,nonlinearity,noise_mV,gain_fC,"
            "noise_e,rise_time_spread,time_stamp_spread,missing,flag,reason,chip_verdict");
  double sum = 0, squares = 0;
  int pulls = 0;
  while (std::getline(csv, line)) {
    std::vector<std::string> f = split(line, ',');
    if (faults.count(f[0])) continue;
    EXPECT_EQ(f[15], "pass") << line;
    auto [gain, noise] = truth.at({f[0], std::stoi(f[1])});
    double pull = (std::stod(f[3]) - gain) / std::stod(f[4]);
    sum += pull;
    squares += pull * pull;
    ++pulls;
    EXPECT_NEAR(std::stod(f[7]) / (noise / gain), 1.0, 0.1) << line;
  }
  ASSERT_EQ(pulls, 5 * 32);  // chips 100000 and 100018 to 100021
  double mean = sum / pulls;
  EXPECT_NEAR(mean, 0.0, 0.2);
  EXPECT_NEAR(std::sqrt(squares / pulls - mean * mean), 1.0, 0.2);
  EXPECT_NE(r.out.find("100016 characterisation fail: channel 17: gain "), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("channel 17: nonlinearity "), std::string::npos);
  EXPECT_NE(r.out.find("100017 characterisation fail: channel 9: gain 2"), std::string::npos);
  // The figures reach the view of the current channels.
  EXPECT_EQ(query(d / "campaign.sqlite",
                  "SELECT count(*) FROM current_channels WHERE chip = '100000' AND gain > 0"),
            std::vector<std::string>{"96"});
}
