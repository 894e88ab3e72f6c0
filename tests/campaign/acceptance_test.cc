#include "campaign/acceptance.h"

#include <gtest/gtest.h>

#include <cmath>

#include "campaign/acceptance_limits.h"

namespace {

// A stored recording of `chip` whose 32 channels all read 150 ns, 500 ADC counts, 800 ns plus
// `offset`, with a little spread between chips.
stored_recording chip_recording(const std::string& chip, double offset, int64_t id) {
  stored_recording r;
  r.id = id;
  r.chip = chip;
  r.config = "20mV_delay-all";
  r.path = "/d/" + chip;
  r.status = 0;
  r.mtime_ns = id;
  for (int ch = 0; ch < 32; ++ch) {
    stored_channel c;
    c.channel = ch;
    c.rise_time = 150.0 + offset + 0.1 * ch;
    c.amplitude = 500.0 + offset;
    c.time_stamp = 800.0 + offset;
    c.verdict = "good";
    r.channels.push_back(c);
  }
  return r;
}

std::vector<stored_recording> campaign_of(int chips) {
  std::vector<stored_recording> rs;
  for (int i = 0; i < chips; ++i)
    rs.push_back(chip_recording(std::to_string(100 + i), 0.2 * std::sin(i), i + 1));
  return rs;
}

}  // namespace

TEST(Acceptance, RobustRuleFlagsAShiftedChipAndAChannelWithABadVerdict) {
  std::vector<stored_recording> rs = campaign_of(9);
  for (stored_channel& c : rs[3].channels) c.time_stamp += 30.0;  // a shifted chip
  rs[5].channels[7].verdict = "no_usable_points";                 // a dead channel
  rs[5].channels[7].rise_time = rs[5].channels[7].amplitude = 0.0;
  std::vector<chip_verdict> v = judge_campaign(rs, acceptance_limits{});
  ASSERT_EQ(v.size(), 9u);
  EXPECT_EQ(v[0].outcome, chip_outcome::pass);
  EXPECT_EQ(v[3].outcome, chip_outcome::fail);
  EXPECT_EQ(v[3].flagged_channels, 32);
  EXPECT_EQ(v[3].failures[0].quantity, "time_stamp");
  EXPECT_EQ(v[3].failures[0].value, "830.03");
  EXPECT_EQ(v[5].outcome, chip_outcome::fail);
  EXPECT_EQ(verdict_line(v[5]),
            "105 20mV_delay-all fail: ch 7 verdict no_usable_points (limit good); ch 7 rise_time "
            "0.00 (limit 150.78 +/- 0.71); ch 7 amplitude 0.00 (limit 500.08 +/- 0.71)");
}

TEST(Acceptance, TheLatestSuccessfulRecordingIsJudgedAndFailuresLeaveAChipNotAnalysed) {
  std::vector<stored_recording> rs = campaign_of(4);
  stored_recording retest = chip_recording("101", 50.0, 10);  // older and bad
  retest.mtime_ns = 0;
  stored_recording failed = chip_recording("102", 0.0, 11);  // newer but failed
  failed.status = 1;
  failed.channels.clear();
  stored_recording never = failed;
  never.chip = "999";
  never.message = "Corrupt data, likely due to connection problems.";
  rs.insert(rs.end(), {retest, failed, never});
  std::vector<chip_verdict> v = judge_campaign(rs, acceptance_limits{});
  ASSERT_EQ(v.size(), 5u);
  EXPECT_EQ(v[1].recording_id, 2);
  EXPECT_EQ(v[1].outcome, chip_outcome::pass);
  EXPECT_EQ(v[2].recording_id, 3);
  EXPECT_EQ(v[2].outcome, chip_outcome::pass);
  EXPECT_EQ(verdict_line(v[4]),
            "999 20mV_delay-all not analysed: Corrupt data, likely due to connection problems.");
}

TEST(Acceptance, LimitsFromAFileReplaceTheRobustRuleForTheirConfiguration) {
  acceptance_limits l;
  std::string error;
  ASSERT_TRUE(
      parse_limits("max_flagged_channels = 1\n"
                   "[config.\"20mV_delay-all\"]\n"
                   "rise_time = [149.0, 155.0]\n",
                   "l.toml", l, error))
      << error;
  std::vector<stored_recording> rs = campaign_of(5);
  rs[0].channels[31].rise_time = 160.0;  // one channel out: allowed
  rs[1].channels[0].rise_time = 140.0;
  rs[1].channels[1].rise_time = 170.0;  // two: not
  std::vector<chip_verdict> v = judge_campaign(rs, l);
  EXPECT_EQ(v[0].outcome, chip_outcome::pass);
  EXPECT_EQ(v[0].flagged_channels, 1);
  EXPECT_EQ(verdict_line(v[1]),
            "101 20mV_delay-all fail: ch 0 rise_time 140.00 (limit 149.00 to 155.00); ch 1 "
            "rise_time 170.00 (limit 149.00 to 155.00)");
  EXPECT_EQ(rule_text(l),
            "Configuration 20mV_delay-all (limits from l.toml): rise_time 149.00 to 155.00; at "
            "most 1 flagged channels. Every other configuration: a channel is flagged when its "
            "rise time, amplitude or time stamp lies more than k = 5 robust standard deviations "
            "(1.4826 x MAD) from the median of that channel over the campaign's chips (with at "
            "least 3 good values); at most 1 flagged channels. Everywhere a channel whose fit "
            "verdict is not \"good\" is flagged.");
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
      {"k = \n",
       "limits l.toml line 1: Error while parsing key-value pair: expected value, saw '\\n'"},
  };
  for (auto [text, message] : cases) {
    acceptance_limits l;
    std::string error;
    EXPECT_FALSE(parse_limits(text, "l.toml", l, error)) << text;
    EXPECT_EQ(error, message) << text;
  }
  acceptance_limits l;
  std::string error;
  EXPECT_TRUE(parse_limits("", "l.toml", l, error));
  EXPECT_EQ(l.k, 5.0);
}
