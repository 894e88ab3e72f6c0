#include "campaign/acceptance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "campaign/acceptance_limits.h"
#include "campaign/limits_derivation.h"

namespace {

// A current recording of `chip` whose 32 channels read about 150 ns, 500 ADC counts and 800 ns
// with 2 ADC counts of noise, drawn around one design with a chip-to-chip spread like real
// chips' (0.5 % in rise time and amplitude, 1 ns in time stamp, 3 % in noise and errors).
stored_recording chip_recording(int index) {
  std::mt19937_64 random(static_cast<uint64_t>(1000 + index));
  std::normal_distribution<double> unit(0.0, 1.0);
  stored_recording r;
  r.id = index + 1;
  r.chip = std::to_string(100000 + index);
  r.config = "20mV_delay-all";
  r.path = "/d/" + r.chip + "_adc.txt";
  r.status = 0;
  r.current = true;
  r.events_completed = 120;
  for (int ch = 0; ch < 32; ++ch) {
    stored_channel c;
    c.channel = ch;
    channel_fit& f = c.fit;
    f.peak_time = (145.0 + ch * 0.3) * (1 + 0.005 * unit(random));
    f.amplitude = (400.0 + 10.0 * ch) * (1 + 0.005 * unit(random));
    f.time_stamp = 800.0 + 0.5 * ch + unit(random);
    double noise_scale = 1 + 0.03 * unit(random);
    f.noise = 2.0 * noise_scale;
    f.peak_time_err = 0.03 * noise_scale;
    f.amplitude_err = 0.06 * noise_scale;
    f.time_stamp_err = 0.03 * noise_scale;
    r.channels.push_back(c);
  }
  return r;
}

std::vector<stored_recording> campaign_of(int chips) {
  std::vector<stored_recording> rs;
  for (int i = 0; i < chips; ++i) rs.push_back(chip_recording(i));
  return rs;
}

std::vector<std::string> lines_of(const campaign_judgement& j) {
  std::vector<std::string> lines;
  for (const chip_verdict& v : j.verdicts) lines.push_back(verdict_line(v));
  return lines;
}

acceptance_limits limits_of(const std::string& text) {
  acceptance_limits l;
  std::string error;
  EXPECT_TRUE(parse_limits(text, "l.toml", l, error)) << error;
  return l;
}

}  // namespace

TEST(Acceptance, GoodChipsPassFromFourChipsOnAndFewerAreNotJudged) {
  for (int chips : {4, 5, 10, 40}) {
    campaign_judgement j = judge_campaign(campaign_of(chips), acceptance_limits{});
    ASSERT_EQ(j.verdicts.size(), static_cast<size_t>(chips));
    for (const chip_verdict& v : j.verdicts)
      EXPECT_EQ(v.outcome, chip_outcome::pass) << chips << " chips: " << verdict_line(v);
  }
  campaign_judgement j = judge_campaign(campaign_of(3), acceptance_limits{});
  EXPECT_EQ(verdict_line(j.verdicts[0]),
            "100000 20mV_delay-all not judged: only 3 chips in 20mV_delay-all have sound "
            "recordings, the campaign's rule needs 4 (or limits: varnel-campaign limits)");
}

TEST(Acceptance, ReasonsGroupTheChannelsAndNameQuantityValueAndLimit) {
  std::vector<stored_recording> rs = campaign_of(12);
  for (stored_channel& c : rs[1].channels) c.fit.time_stamp += 40.0;
  rs[2].channels[13].fit.verdict = fit_verdict::no_pulse;
  rs[3].channels[3].fit.amplitude *= 0.75;
  rs[3].channels[9].fit.amplitude *= 0.75;
  for (stored_channel& c : rs[4].channels) {
    c.fit.noise *= 8;
    c.fit.peak_time_err *= 8;
  }
  for (stored_channel& c : rs[5].channels) c.fit.noise *= 0.5;  // quieter is no fault
  campaign_judgement j = judge_campaign(rs, acceptance_limits{});
  std::vector<std::string> lines = lines_of(j);
  EXPECT_TRUE(lines[1].starts_with("100001 20mV_delay-all fail: all 32 channels: time_stamp 3"))
      << lines[1];
  EXPECT_NE(lines[1].find(" ns above the campaign's median (limit "), std::string::npos)
      << lines[1];
  EXPECT_EQ(lines[2], "100002 20mV_delay-all fail: channel 13: no pulse (fit verdict no_pulse)");
  EXPECT_TRUE(lines[3].starts_with("100003 20mV_delay-all fail: channels 3, 9: amplitude 2"))
      << lines[3];
  EXPECT_NE(lines[3].find(" % below the campaign's median (limit "), std::string::npos);
  EXPECT_NE(lines[4].find("all 32 channels: noise "), std::string::npos) << lines[4];
  EXPECT_NE(lines[4].find("all 32 channels: rise_time_err "), std::string::npos) << lines[4];
  for (size_t i : {0u, 5u, 6u, 11u})
    EXPECT_EQ(j.verdicts[i].outcome, chip_outcome::pass) << lines[i];
  EXPECT_EQ(channel_reason(j.verdicts[3], 9).substr(0, 23), "channel 9: amplitude 25");
  EXPECT_EQ(channel_reason(j.verdicts[3], 8), "");
}

TEST(Acceptance, AFaultyChipAmongFourDoesNotMakeTheOthersFail) {
  std::vector<stored_recording> rs = campaign_of(4);
  for (stored_channel& c : rs[2].channels) c.fit.time_stamp += 40.0;
  campaign_judgement j = judge_campaign(rs, acceptance_limits{});
  EXPECT_EQ(j.verdicts[0].outcome, chip_outcome::pass) << verdict_line(j.verdicts[0]);
  EXPECT_EQ(j.verdicts[1].outcome, chip_outcome::pass) << verdict_line(j.verdicts[1]);
  EXPECT_EQ(j.verdicts[2].outcome, chip_outcome::fail);
  EXPECT_EQ(j.verdicts[3].outcome, chip_outcome::pass) << verdict_line(j.verdicts[3]);
}

TEST(Acceptance, RangesOverrideTheRobustRuleQuantityByQuantityAndChannelByChannel) {
  std::vector<stored_recording> rs = campaign_of(8);
  rs[0].channels[31].fit.peak_time = 145.0;  // on the range's edges: inside
  rs[0].channels[30].fit.peak_time = 160.0;
  rs[1].channels[0].fit.peak_time = 140.0;
  rs[2].channels[5].fit.amplitude *= 0.75;  // no amplitude range: the robust rule
  rs[3].channels[7].fit.peak_time = 200.0;  // within its own channel's range
  acceptance_limits l = limits_of(
      "[config.\"20mV_delay-all\"]\n"
      "rise_time = [140.5, 160.0]\n"
      "[config.\"20mV_delay-all\".channel.31]\n"
      "rise_time = [145.0, 165.0]\n"
      "[config.\"20mV_delay-all\".channel.7]\n"
      "rise_time = [140.0, 250.0]\n");
  campaign_judgement j = judge_campaign(rs, l);
  EXPECT_EQ(j.verdicts[0].outcome, chip_outcome::pass) << verdict_line(j.verdicts[0]);
  EXPECT_EQ(verdict_line(j.verdicts[1]),
            "100001 20mV_delay-all fail: channel 0: rise_time below its range (140.00 ns; limit "
            "140.50 to 160.00)");
  EXPECT_EQ(j.verdicts[2].outcome, chip_outcome::fail);
  EXPECT_NE(verdict_line(j.verdicts[2]).find("channel 5: amplitude"), std::string::npos);
  EXPECT_EQ(j.verdicts[3].outcome, chip_outcome::pass) << verdict_line(j.verdicts[3]);
  // Without the robust rule the amplitude goes unchecked.
  l.configs["20mV_delay-all"].robust = false;
  EXPECT_EQ(judge_campaign(rs, l).verdicts[2].outcome, chip_outcome::pass);
}

TEST(Acceptance, AConfigurationTheCampaignLacksIsNamedWithItsLine) {
  acceptance_limits l = limits_of("k = 4\n\n[config.\"20mv_delay-all\"]\nrise_time = [1, 2]\n");
  campaign_judgement j = judge_campaign(campaign_of(5), l);
  ASSERT_EQ(j.warnings.size(), 1u);
  EXPECT_EQ(j.warnings[0],
            "limits l.toml line 3: configuration \"20mv_delay-all\" is not in the campaign (it "
            "has 20mV_delay-all)");
  for (const chip_verdict& v : j.verdicts) EXPECT_EQ(v.outcome, chip_outcome::pass);
}

TEST(Acceptance, ARecordingThatCannotSupportAVerdictCallsForARetest) {
  std::vector<stored_recording> rs = campaign_of(10);
  rs[0].notes =
      "Reading stopped at value 461292 of /d/100000_adc.txt: not a number.\n"
      "Last row of /d/a b: c_adc.txt is incomplete (17 of 32 values); it is ignored.";
  rs[1].events_completed = 53;
  rs[2].events_completed = 6;
  rs[3].notes =
      "Most channels fit the pulse shape poorly (median chi2/ndf 41.3): check that "
      "configuration 20mV_delay-all is the right one for this recording.";
  rs[4].status = 1;
  rs[4].channels.clear();
  rs[4].message = "Corrupt data, likely due to connection problems.";
  std::vector<std::string> lines = lines_of(judge_campaign(rs, acceptance_limits{}));
  EXPECT_EQ(lines[0],
            "100000 20mV_delay-all retest: reading stopped at value 461292: not a number; last "
            "row incomplete (17 of 32 values)");
  EXPECT_EQ(lines[1],
            "100001 20mV_delay-all retest: 53 events, the campaign's recordings of "
            "20mV_delay-all have 120");
  EXPECT_EQ(lines[2],
            "100002 20mV_delay-all retest: only 6 events, fewer than the 10 that trustworthy "
            "errors need");
  EXPECT_EQ(lines[3],
            "100003 20mV_delay-all retest: the configuration looks wrong: most channels fit the "
            "pulse shape poorly (median chi2/ndf 41.3)");
  EXPECT_EQ(lines[4],
            "100004 20mV_delay-all retest: not analysed: Corrupt data, likely due to connection "
            "problems.");
  for (size_t i = 5; i < lines.size(); ++i) EXPECT_TRUE(lines[i].ends_with(" pass")) << lines[i];
}

TEST(Acceptance, OnlyTheCurrentRecordingIsJudgedAndTheOthersAreListedAsSuperseded) {
  std::vector<stored_recording> rs = campaign_of(5);
  stored_recording aborted = chip_recording(1);
  aborted.id = 99;
  aborted.path = "/d/aborted_adc.txt";
  aborted.current = false;
  aborted.events_completed = 3;
  rs.push_back(aborted);
  campaign_judgement j = judge_campaign(rs, acceptance_limits{});
  ASSERT_EQ(j.verdicts.size(), 5u);
  EXPECT_EQ(j.verdicts[1].outcome, chip_outcome::pass);
  EXPECT_EQ(j.verdicts[1].recording_id, 2);
  EXPECT_EQ(j.verdicts[1].superseded, std::vector<std::string>{"/d/aborted_adc.txt"});
}

TEST(Acceptance, LimitsDerivedFromABigCampaignJudgeASmallOneAlike) {
  std::vector<stored_recording> big = campaign_of(40);
  for (stored_channel& c : big[7].channels) c.fit.time_stamp += 40.0;
  acceptance_limits derived;
  std::string error;
  std::string text = derived_limits(big, 5.0, "big.sqlite");
  ASSERT_TRUE(parse_limits(text, "derived.toml", derived, error)) << error << "\n" << text;
  EXPECT_EQ(derived.configs.at("20mV_delay-all").min_events, 96);
  std::vector<stored_recording> small(big.begin() + 5, big.begin() + 8);
  campaign_judgement by_big = judge_campaign(big, acceptance_limits{});
  campaign_judgement by_file = judge_campaign(small, derived);
  ASSERT_EQ(by_file.verdicts.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(by_file.verdicts[i].outcome, by_big.verdicts[5 + i].outcome)
        << verdict_line(by_file.verdicts[i]);
  EXPECT_EQ(by_file.verdicts[2].outcome, chip_outcome::fail);
  // Too few chips give no limits, and say so.
  std::string few = derived_limits(campaign_of(3), 5.0, "small.sqlite");
  EXPECT_NE(few.find("# 20mV_delay-all: 3 chips with sound recordings; too few for limits"),
            std::string::npos)
      << few;
}

TEST(Acceptance, ChannelListsReadAsAPersonWouldSayThem) {
  EXPECT_EQ(channels_text({13}), "channel 13");
  EXPECT_EQ(channels_text({9, 3}), "channels 3, 9");
  EXPECT_EQ(channels_text({0, 1, 2, 3, 4, 5, 7, 9, 10}), "channels 0-5, 7, 9, 10");
  std::vector<int> all;
  for (int ch = 0; ch < 32; ++ch) all.push_back(ch);
  EXPECT_EQ(channels_text(all), "all 32 channels");
}

TEST(AcceptanceLimits, AMistakeIsRefusedWithItsLineAndKey) {
  const std::pair<const char*, const char*> cases[] = {
      {"k = 3\nmax_flaged_channels = 2\n",
       "limits l.toml line 2: key 'max_flaged_channels': unknown key"},
      {"k = -1\n", "limits l.toml line 1: key 'k': expected a number above 0"},
      {"\n[config.\"4mV\"]\nrise_time = [300.0]\n",
       "limits l.toml line 3: key 'rise_time': expected [min, max]"},
      {"[config.x]\namplitude = [900, 100]\n",
       "limits l.toml line 2: key 'amplitude': expected [min, max] with min <= max"},
      {"[config.x]\nmax_flagged_channels = 1.5\n",
       "limits l.toml line 2: key 'max_flagged_channels': expected a whole number 0 to 32"},
      {"[config.x]\nrise = [1, 2]\n", "limits l.toml line 2: key 'rise': unknown key"},
      {"[config.x]\nrobust = 1\n", "limits l.toml line 2: key 'robust': expected true or false"},
      {"[config.x]\nmin_events = 0\n",
       "limits l.toml line 2: key 'min_events': expected a whole number 1 to 1073741824"},
      {"[config.x.channel.32]\nnoise = [0, 4]\n",
       "limits l.toml line 1: key '32': expected a channel number 0 to 31"},
      {"[config.x.channel.3]\nnoise = 4\n",
       "limits l.toml line 2: key 'noise': expected [min, max]"},
      {"k = \n",
       "limits l.toml line 1: Error while parsing key-value pair: expected value, saw '\\n'"},
  };
  for (auto [text, message] : cases) {
    acceptance_limits l;
    std::string error;
    EXPECT_FALSE(parse_limits(text, "l.toml", l, error)) << text;
    EXPECT_EQ(error, message) << text;
  }
  acceptance_limits l = limits_of("");
  EXPECT_EQ(l.k, 5.0);
}
