#include "campaign/judge/acceptance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "campaign/judge/acceptance_limits.h"
#include "campaign/judge/failure_cause.h"
#include "campaign/judge/limits_derivation.h"
#include "campaign/judge/reason_text.h"
#include "campaign/report/report_charts.h"
#include "numerics/robust_statistics.h"

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
  r.common_mode_noise = 1.0 * (1 + 0.1 * unit(random));
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
    f.misfit = 0.004 * (1 + 0.2 * unit(random));
    f.pedestal = 100.0 + 2.0 * ch + 3.0 * unit(random);
    f.headroom = f.pedestal - 5.0;
    r.channels.push_back(c);
  }
  return r;
}

std::vector<stored_recording> campaign_of(int chips) {
  std::vector<stored_recording> rs;
  for (int i = 0; i < chips; ++i) rs.push_back(chip_recording(i));
  return rs;
}

// `chips` chips in 20 mV, the first `in_4mV` of them also in 4 mV (ids from 101 on).
std::vector<stored_recording> two_configurations(int chips, int in_4mV) {
  std::vector<stored_recording> rs = campaign_of(chips);
  for (int i = 0; i < in_4mV; ++i) {
    stored_recording r = chip_recording(i);
    r.id += 100;
    r.config = "4mV_delay-all";
    r.path = "/d/4mV_" + r.chip + "_adc.txt";
    rs.push_back(r);
  }
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
  // A whole chip off the others is one reason, not 32 channels.
  EXPECT_TRUE(lines[1].starts_with("100001 20mV_delay-all fail: all channels: time_stamp 3"))
      << lines[1];
  EXPECT_NE(lines[1].find(" ns above the other chips (limit "), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2], "100002 20mV_delay-all fail: channel 13: no pulse (fit verdict no_pulse)");
  EXPECT_TRUE(lines[3].starts_with("100003 20mV_delay-all fail: channels 3, 9: amplitude 2"))
      << lines[3];
  EXPECT_NE(lines[3].find(" % below the other chips, beyond its chip's offset (limit "),
            std::string::npos)
      << lines[3];
  EXPECT_NE(lines[4].find("all channels: noise 7.9 times the other chips' (limit +"),
            std::string::npos)
      << lines[4];
  EXPECT_NE(lines[4].find("all channels: rise_time_err "), std::string::npos) << lines[4];
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
  // Facts of the reading, not its sentences: stopped at value 461292, 11 values into a row.
  rs[0].reading_end = read_outcome::not_a_number;
  rs[0].values_read = 461291;
  rs[1].events_completed = 53;
  rs[2].events_completed = 6;
  rs[3].config_check = {"4mV_delay-all", 0.21, 0.004};
  rs[5].window_gap_events = 120;
  rs[4].status = 1;
  rs[4].channels.clear();
  rs[4].message = "Corrupt data, likely due to connection problems.";
  std::vector<std::string> lines = lines_of(judge_campaign(rs, acceptance_limits{}));
  EXPECT_EQ(lines[0],
            "100000 20mV_delay-all retest: reading stopped at value 461292: not a number; last "
            "row incomplete (11 of 32 values)");
  EXPECT_EQ(lines[1],
            "100001 20mV_delay-all retest: 53 events, the campaign's recordings of "
            "20mV_delay-all have 120");
  EXPECT_EQ(lines[2],
            "100002 20mV_delay-all retest: only 6 events, fewer than the 10 that trustworthy "
            "errors need");
  EXPECT_EQ(lines[3],
            "100003 20mV_delay-all retest: this recording looks like 4mV_delay-all (its pulses "
            "differ from the model by 21.0 % as 20mV_delay-all, by 0.4 % as 4mV_delay-all)");
  EXPECT_EQ(lines[4],
            "100004 20mV_delay-all retest: not analysed: Corrupt data, likely due to connection "
            "problems.");
  EXPECT_EQ(lines[5],
            "100005 20mV_delay-all retest: gaps reach into the first pulse window in 120 of 120 "
            "events");
  for (size_t i = 6; i < lines.size(); ++i) EXPECT_TRUE(lines[i].ends_with(" pass")) << lines[i];
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
      {"k = -1\n", "limits l.toml line 1: key 'k': expected a number above 0 and at most 1000"},
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

// What could turn a failing chip into a pass or crash the parser is refused before it is used:
// numbers that are not finite, texts too large or too deeply nested to be a limits file.
TEST(AcceptanceLimits, NumbersAreFiniteAndTheFileIsBoundedBeforeItIsParsed) {
  std::string deep_key = "a";
  for (int i = 0; i < 50000; ++i) deep_key += ".a";
  const std::pair<std::string, std::string> cases[] = {
      {"k = inf\n", "limits l.toml line 1: key 'k': expected a number above 0 and at most 1000"},
      {"k = nan\n", "limits l.toml line 1: key 'k': expected a number above 0 and at most 1000"},
      {"k = 1e42\n", "limits l.toml line 1: key 'k': expected a number above 0 and at most 1000"},
      {"[config.x]\namplitude = [-inf, 900]\n",
       "limits l.toml line 2: key 'amplitude': expected [min, max] of finite numbers"},
      {"[characterisation.channel.4]\ngain = [1, nan]\n",
       "limits l.toml line 2: key 'gain': expected [min, max] of finite numbers"},
      {"[config.x]\ninjection_mV = inf\n",
       "limits l.toml line 2: key 'injection_mV': expected a finite number above 0"},
      // The deep key of a hostile file, as a dotted key and as a table name.
      {deep_key + " = 1\n", "limits l.toml: nested deeper than 8 levels; no limits file is"},
      {"[a.b.c.d.e.f.g.h.i]\n", "limits l.toml: nested deeper than 8 levels; no limits file is"},
      {"x = " + std::string(20000, '[') + std::string(20000, ']') + "\n",
       "limits l.toml: nested deeper than 8 levels; no limits file is"},
      {std::string(max_limits_bytes + 1, '#'),
       "limits l.toml: larger than 1024 KiB; no limits file is"},
      // The same table twice is named as the file writes it.
      {"[config.\"20mV_delay-all\"]\nmin_events = 3\n[config.\"20mV_delay-all\"]\n",
       "limits l.toml line 3: defined twice: [config.\"20mV_delay-all\"]"},
  };
  for (const auto& [text, message] : cases) {
    acceptance_limits l;
    std::string error;
    EXPECT_FALSE(parse_limits(text, "l.toml", l, error)) << text.substr(0, 60);
    EXPECT_EQ(error, message) << text.substr(0, 60);
  }
  // Dots in values, strings and comments, and ranges over lines, are no nesting.
  acceptance_limits l = limits_of(
      "k = 4.5  # a.b.c.d.e.f.g.h.i.j\nrequired = [\"a.b.c.d.e.f.g.h.i\"]\n"
      "[config.\"x.y\".channel.3]\namplitude = [\n  1.5, 2.5,\n]\n");
  EXPECT_EQ(l.k, 4.5);
  EXPECT_EQ(l.configs.at("x.y").channels.at(3).at("amplitude").max, 2.5);
}

// A campaign whose chips differ as real ones do: each chip a common offset of about 3 % in
// gain and 2 ns in time stamp, its channels about 1 % apart.
std::vector<stored_recording> spread_campaign(int chips) {
  std::vector<stored_recording> rs = campaign_of(chips);
  std::mt19937_64 random(77);
  std::normal_distribution<double> unit(0.0, 1.0);
  for (stored_recording& r : rs) {
    const double gain = 1 + 0.03 * unit(random), late = 2.0 * unit(random);
    for (stored_channel& c : r.channels) {
      c.fit.amplitude *= gain * (1 + 0.01 * unit(random));
      c.fit.time_stamp += late;
    }
  }
  return rs;
}

TEST(Acceptance, AChipWideOffsetIsOneReasonAndAChannelIsJudgedWithinItsChip) {
  std::vector<stored_recording> rs = spread_campaign(40);
  for (stored_channel& c : rs[7].channels) c.fit.time_stamp += 15.0;
  rs[11].channels[9].fit.amplitude *= 0.8;
  // A channel 8 % low lies within a one-level rule's limit, which the chips' 3 % widen, but far
  // outside its own chip's 1 %.
  rs[15].channels[4].fit.amplitude *= 0.92;
  campaign_judgement j = judge_campaign(rs, acceptance_limits{});
  std::vector<std::string> lines = lines_of(j);
  EXPECT_TRUE(lines[7].starts_with("100007 20mV_delay-all fail: all channels: time_stamp 1"))
      << lines[7];
  EXPECT_NE(lines[7].find(" ns above the other chips (limit "), std::string::npos) << lines[7];
  EXPECT_TRUE(lines[11].starts_with("100011 20mV_delay-all fail: channel 9: amplitude 2"))
      << lines[11];
  EXPECT_TRUE(lines[15].starts_with("100015 20mV_delay-all fail: channel 4: amplitude "))
      << lines[15];
  EXPECT_EQ(j.verdicts[7].flagged_channels, 32);
  EXPECT_EQ(flagged_channels(j.verdicts[7]).size(), 32u);
  EXPECT_EQ(channel_reason(j.verdicts[7], 3), channel_reason(j.verdicts[7], 30));
  for (size_t i = 0; i < lines.size(); ++i)
    if (i != 7 && i != 11 && i != 15) {
      EXPECT_TRUE(lines[i].ends_with(" pass")) << lines[i];
    }
  // One level alone lets the 8 % channel through: the chips' own spread widens its limit.
  two_level_deviations t = two_level_deviations_of(
      [&] {
        chip_channel_values v(rs.size());
        for (size_t i = 0; i < rs.size(); ++i)
          for (const stored_channel& c : rs[i].channels)
            v[i][static_cast<size_t>(c.channel)] = c.fit.amplitude;
        return v;
      }(),
      true);
  EXPECT_LT(std::fabs(t.single.deviation[15][4]), 5 * t.single.sigma);
  EXPECT_GT(std::fabs(t.residual[15][4]), 5 * t.sigma);
}

TEST(Acceptance, FiveGoodChipsOfRealSpreadPassAtTheChipLevel) {
  // The chip level's limit widens with few chips, so that five good chips pass each other.
  int failing = 0;
  for (int seed = 0; seed < 40; ++seed) {
    std::vector<stored_recording> rs = campaign_of(5);
    std::mt19937_64 random(static_cast<uint64_t>(seed));
    std::normal_distribution<double> unit(0.0, 1.0);
    for (stored_recording& r : rs) {
      const double gain = 1 + 0.03 * unit(random), late = 2.0 * unit(random);
      for (stored_channel& c : r.channels) {
        c.fit.amplitude *= gain;
        c.fit.time_stamp += late;
      }
    }
    for (const chip_verdict& v : judge_campaign(rs, acceptance_limits{}).verdicts)
      failing += v.outcome != chip_outcome::pass;
  }
  // Some good chip fails in about 1 of 250 quantities judged at five chips (see
  // small_sample_factor): here about 1.4 of 360.
  EXPECT_LE(failing, 3) << "of 200 good chips";
  EXPECT_DOUBLE_EQ(small_sample_factor(5), 2.0);
  EXPECT_DOUBLE_EQ(small_sample_factor(50), 1.1);
}

TEST(Acceptance, AFigureGoneWrongFailsItsChannelWithAReasonAndNeverDropsOut) {
  std::vector<stored_recording> rs = campaign_of(10);
  rs[1].channels[6].fit.amplitude = -165.0;
  rs[2].channels[2].fit.peak_time = std::numeric_limits<double>::quiet_NaN();
  rs[3].channels[8].fit.amplitude_err = std::numeric_limits<double>::infinity();
  rs[4].channels[5].fit.noise = std::numeric_limits<double>::quiet_NaN();  // not measured
  std::vector<std::string> lines = lines_of(judge_campaign(rs, acceptance_limits{}));
  EXPECT_EQ(lines[1], "100001 20mV_delay-all fail: channel 6: amplitude -165.00: a negative pulse");
  EXPECT_EQ(lines[2], "100002 20mV_delay-all fail: channel 2: rise_time not a number");
  EXPECT_EQ(lines[3], "100003 20mV_delay-all fail: channel 8: amplitude_err infinite");
  EXPECT_EQ(lines[4], "100004 20mV_delay-all not judged: noise not measured");
  // The same in the figures across configurations: a negative gain fails, it is not "too few
  // chips to compare with".
  std::vector<channel_flag> flags;
  EXPECT_TRUE(judge_value(
      {9, {"gain", "ADC/mV", true, 1.0}, -3.1, nullptr, true, std::nan(""), robust_limit{}},
      flags));
  ASSERT_EQ(flags.size(), 1u);
  EXPECT_EQ(grouped_reasons(flags),
            std::vector<std::string>{"channel 9: gain -3.10: not positive"});
}

TEST(Acceptance, PedestalHeadroomAndCommonModeNoiseAreJudged) {
  std::vector<stored_recording> rs = campaign_of(10);
  rs[1].channels[3].fit.pedestal = 3800.0;
  rs[2].channels[7].fit.headroom = 12.0;  // within the campaign, but below the default
  rs[3].common_mode_noise = 6.0;
  rs[4].channels[1].fit.misfit = 0.05;
  rs[5].channels[1].fit.misfit = 0.008;  // a shape a bit further off is no fault
  std::vector<std::string> lines = lines_of(judge_campaign(rs, acceptance_limits{}));
  EXPECT_TRUE(lines[1].starts_with("100001 20mV_delay-all fail: channel 3: pedestal 3"))
      << lines[1];
  EXPECT_EQ(lines[2],
            "100002 20mV_delay-all fail: channel 7: headroom below its range (12.00 ADC; limit "
            "20.00 to none)");
  EXPECT_TRUE(lines[3].starts_with("100003 20mV_delay-all fail: common_mode_noise 5")) << lines[3];
  EXPECT_TRUE(lines[4].starts_with("100004 20mV_delay-all fail: channel 1: misfit 4")) << lines[4];
  EXPECT_TRUE(lines[5].ends_with(" pass")) << lines[5];
  // The limits move the headroom's default and give common-mode noise a range.
  acceptance_limits l = limits_of(
      "[config.\"20mV_delay-all\"]\nheadroom = [10.0, 5000.0]\ncommon_mode_noise = [0.0, 8.0]\n");
  std::vector<std::string> relaxed = lines_of(judge_campaign(rs, l));
  EXPECT_TRUE(relaxed[2].ends_with(" pass")) << relaxed[2];
  EXPECT_TRUE(relaxed[3].ends_with(" pass")) << relaxed[3];
}

TEST(Acceptance, AChipPassesOnlyWhenItPassesEveryRequiredConfiguration) {
  // Chip 100005 was never tested in 4 mV.
  std::vector<stored_recording> rs = two_configurations(6, 5);
  rs[1].channels[13].fit.verdict = fit_verdict::no_pulse;
  rs[8].events_completed = 6;  // chip 100002's 4 mV recording
  campaign_judgement j = judge_campaign(rs, acceptance_limits{});
  std::vector<std::string> required = required_configurations(j.verdicts, acceptance_limits{});
  EXPECT_EQ(required, (std::vector<std::string>{"20mV_delay-all", "4mV_delay-all"}));
  std::vector<std::string> lines;
  for (const chip_summary& s : summarise_chips(j.verdicts, required)) lines.push_back(chip_line(s));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "100000 pass",
                       "100001 fail: 20mV_delay-all: channel 13: no pulse (fit verdict no_pulse)",
                       "100002 retest: 4mV_delay-all: only 6 events, fewer than the 10 that "
                       "trustworthy errors need",
                       "100003 pass",
                       "100004 pass",
                       "100005 incomplete: not tested in 4mV_delay-all",
                   }));
  // The limits name what is required; a configuration only some chips had is then optional.
  acceptance_limits l = limits_of("required = [\"20mV_delay-all\"]\n");
  EXPECT_EQ(chip_line(summarise_chips(judge_campaign(rs, l).verdicts,
                                      required_configurations(j.verdicts, l))[5]),
            "100005 pass");
}

TEST(Acceptance, ARecordingJustShortOfALimitCallsForARetestAndOneAtItDoesNot) {
  std::vector<stored_recording> rs = campaign_of(10);
  rs[1].window_gap_events = 1;  // a single event whose gap ran into the first pulse window
  rs[2].events_completed = 100;
  rs[3].events_completed = 99;
  std::vector<std::string> lines =
      lines_of(judge_campaign(rs, limits_of("[config.\"20mV_delay-all\"]\nmin_events = 100\n")));
  EXPECT_EQ(lines[1],
            "100001 20mV_delay-all retest: gaps reach into the first pulse window in 1 of 120 "
            "events");
  EXPECT_EQ(lines[2], "100002 20mV_delay-all pass");
  EXPECT_EQ(lines[3], "100003 20mV_delay-all retest: 99 events, the limits ask for at least 100");
  // Without limits the campaign's usual count decides: 96 is 80 % of 120.
  rs[2].events_completed = 96;
  rs[3].events_completed = 95;
  lines = lines_of(judge_campaign(rs, acceptance_limits{}));
  EXPECT_EQ(lines[2], "100002 20mV_delay-all pass");
  EXPECT_EQ(lines[3],
            "100003 20mV_delay-all retest: 95 events, the campaign's recordings of "
            "20mV_delay-all have 120");
}

TEST(Acceptance, AChipIsFiledUnderItsWorstVerdictAndAConfigurationOfHalfTheChipsIsOptional) {
  // Half the chips were also tested in 4 mV.
  std::vector<stored_recording> rs = two_configurations(10, 5);
  rs[0].channels[13].fit.verdict = fit_verdict::no_pulse;
  rs[10].events_completed = 6;  // chip 100000's 4 mV recording: failing outranks a retest
  campaign_judgement j = judge_campaign(rs, acceptance_limits{});
  std::vector<std::string> required = required_configurations(j.verdicts, acceptance_limits{});
  EXPECT_EQ(required, std::vector<std::string>{"20mV_delay-all"});
  std::vector<chip_summary> chips = summarise_chips(j.verdicts, required);
  ASSERT_EQ(chips.size(), 10u);
  EXPECT_EQ(chip_line(chips[0]),
            "100000 fail: 20mV_delay-all: channel 13: no pulse (fit verdict no_pulse)");
  for (size_t i = 1; i < chips.size(); ++i) EXPECT_EQ(chips[i].outcome, chip_outcome::pass);
}

TEST(Acceptance, AChipOffsetOutweighsAFewDeadChannelsInTheFailuresCause) {
  std::vector<stored_recording> rs = campaign_of(10);
  for (stored_channel& c : rs[3].channels) c.fit.time_stamp += 40.0;
  rs[3].channels[5].fit.verdict = rs[3].channels[6].fit.verdict = fit_verdict::no_pulse;
  rs[4].channels[5].fit.verdict = rs[4].channels[6].fit.verdict = fit_verdict::no_pulse;
  campaign_judgement j = judge_campaign(rs, acceptance_limits{});
  EXPECT_EQ(failure_cause(j.verdicts[3]), "time stamp") << verdict_line(j.verdicts[3]);
  EXPECT_EQ(failure_cause(j.verdicts[4]), "dead channel") << verdict_line(j.verdicts[4]);
}

TEST(RobustRule, EachChipIsComparedWithTheMedianOfTheOthersAloneAndTwoLevelsSplitTheOffset) {
  // One channel over five chips, the rest empty: chip 0's centre is the median of 20, 30, 40 and
  // 50 (35), not of all five (30), so a chip cannot pull its own reference toward itself.
  chip_channel_values v(5);
  for (auto& row : v) row.fill(std::numeric_limits<double>::quiet_NaN());
  const double values[] = {10, 20, 30, 40, 50};
  for (size_t chip = 0; chip < 5; ++chip) v[chip][0] = values[chip];
  robust_deviations d = robust_deviations_of(v, false);
  EXPECT_DOUBLE_EQ(d.deviation[0][0], 10 - 35.0);
  EXPECT_DOUBLE_EQ(d.deviation[2][0], 30 - 30.0);
  EXPECT_DOUBLE_EQ(d.deviation[4][0], 50 - 25.0);
  robust_deviations r = robust_deviations_of(v, true);
  EXPECT_DOUBLE_EQ(r.deviation[0][0], 10 / 35.0 - 1);
  EXPECT_TRUE(std::isnan(r.deviation[0][1]));
  // Two levels: chips of 32 channels whose values are a chip offset plus a channel pattern.
  chip_channel_values w(6);
  const double offsets[] = {0, 1, -1, 2, -2, 9};
  for (size_t chip = 0; chip < 6; ++chip)
    for (size_t ch = 0; ch < 32; ++ch) w[chip][ch] = offsets[chip] + 0.1 * static_cast<double>(ch);
  w[5][7] += 3.0;  // one channel of the late chip also off within it
  two_level_deviations t = two_level_deviations_of(w, false);
  EXPECT_EQ(t.chips, 6);
  EXPECT_DOUBLE_EQ(t.chip_offset[5], 9.0);  // against the others' median of 0, 1, -1, 2, -2
  EXPECT_DOUBLE_EQ(t.residual[5][7], 3.0);
  EXPECT_DOUBLE_EQ(t.residual[5][6], 0.0);
}

TEST(RobustRule, TheMiddleOfTheValuesGivesEachOnesMedianOfTheOthersExactly) {
  std::mt19937_64 draw(3);
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<double> values;
    for (size_t i = 0, n = 2 + draw() % 30; i < n; ++i)  // ties among few distinct values
      values.push_back(trial % 2 ? static_cast<double>(draw() % 5) : 0.1 * (draw() % 1000));
    const channel_middle middle = middle_of(values);
    ASSERT_EQ(middle.count, values.size());
    for (size_t skip = 0; skip < values.size(); ++skip) {
      std::vector<double> others = values;
      others.erase(others.begin() + static_cast<std::ptrdiff_t>(skip));
      const double expected = median(others), got = median_without(middle, values[skip]);
      ASSERT_EQ(std::memcmp(&expected, &got, sizeof got), 0)
          << trial << ", value " << values[skip] << ": " << expected << " against " << got;
    }
  }
  EXPECT_TRUE(std::isnan(median_without(middle_of({1.0}), 1.0)));
}

TEST(ReportBands, AreDrawnExactlyWhereTheirRuleIsInForce) {
  std::vector<stored_recording> rs = campaign_of(6);
  for (stored_recording r : campaign_of(6)) {
    r.id += 100;
    r.config = "4mV_delay-all";
    rs.push_back(r);
  }
  // Configuration to the rules of its rise-time bands, and their count.
  auto rules = [&](const acceptance_limits& l) {
    std::map<std::string, std::multiset<std::string>> out;
    for (const auto& b : make_report_data(rs, judge_campaign(rs, l).verdicts, l).bands)
      if (b["quantity"] == "rise_time") out[b["config"]].insert(b["rule"].get<std::string>());
    return out;
  };
  auto robust = rules(acceptance_limits{});
  EXPECT_EQ(robust["20mV_delay-all"].count("robust"), 32u);
  EXPECT_EQ(robust["4mV_delay-all"].count("robust"), 32u);
  // robust = false leaves a configuration without bands but where it gives a range.
  auto fixed = rules(
      limits_of("[config.\"4mV_delay-all\"]\nrobust = false\n[config.\"4mV_delay-all\".channel.3]\n"
                "rise_time = [100.0, 200.0]\n"));
  EXPECT_EQ(fixed["20mV_delay-all"].count("robust"), 32u);
  EXPECT_EQ(fixed["4mV_delay-all"], std::multiset<std::string>{"range"});
}

TEST(Acceptance, EveryJudgedQuantityFilesAFailUnderACauseOfItsOwn) {
  std::vector<std::string> names{"common_mode_noise"};
  for (const channel_quantity& q : channel_quantities()) names.push_back(q.name);
  for (const characterisation_quantity& q : characterisation_quantities()) names.push_back(q.name);
  for (const std::string& name : names) {
    chip_verdict v;
    v.outcome = chip_outcome::fail;
    channel_flag f;
    f.channel = 3;
    f.quantity = name;
    f.kind = flag_kind::range;
    v.flags.push_back(f);
    EXPECT_NE(cause_of(v), chip_cause::flagged_channels) << name;
    EXPECT_NE(cause_of(v), chip_cause::none) << name;
    EXPECT_STRNE(cause_name(cause_of(v)), "") << name;
  }
}

TEST(Acceptance, ARetestIsFiledUnderItsFirstProblemAndAPassUnderNone) {
  chip_verdict v;
  v.outcome = chip_outcome::retest;
  EXPECT_EQ(failure_cause(v), "damaged recording");
  v.problems.push_back({problem_kind::window_gap, "gaps"});
  v.problems.push_back({problem_kind::too_few_events, "few"});
  EXPECT_EQ(failure_cause(v), "gaps in the pulse window");
  v.outcome = chip_outcome::pass;
  EXPECT_EQ(cause_of(v), chip_cause::none);
  EXPECT_EQ(failure_cause(v), "");
}
