// varnel-campaign verdicts and the limits a run stores with the database.

#include <gtest/gtest.h>

#include <filesystem>

#include "campaign/campaign_support.h"
#include "campaign_simulator.h"

TEST(CampaignVerdicts, LimitsGivenToARunAreCheckedStoredAndApplied) {
  temp_dir d;
  std::filesystem::create_directory(d / "data");
  write_simulated_campaign(d / "data", 4, 40, "20mV_delay-all", true);
  write_file(d / "bad.toml", "[config.\"20mV_delay-all\"]\nrise = [1, 2]\n");
  program_run r = campaign({"run", "--limits", "bad.toml", "data"}, d.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "varnel-campaign: limits bad.toml line 2: key 'rise': unknown key\n");
  EXPECT_FALSE(std::filesystem::exists(d / "campaign.sqlite"));
  // Time stamps within 700..900 ns and at most one flagged channel: the shifted chip's time
  // stamps stay inside, and the dead and saturated chips have one flagged channel each.
  write_file(
      d / "l.toml",
      "[config.\"20mV_delay-all\"]\ntime_stamp = [700.0, 900.0]\nmax_flagged_channels = 1\n");
  ASSERT_EQ(campaign({"run", "--limits", "l.toml", "data"}, d.path()).status, 0);
  r = campaign({"verdicts"}, d.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out,
            "Configuration 20mV_delay-all (limits from l.toml): time_stamp 700.00 to 900.00; at "
            "most 1 flagged channels. Every other configuration: a channel is flagged when its "
            "rise time, amplitude or time stamp lies more than k = 5 robust standard deviations "
            "(1.4826 x MAD) from the median of that channel over the campaign's chips (with at "
            "least 3 good values); at most 0 flagged channels. Everywhere a channel whose fit "
            "verdict is not \"good\" is flagged.\n"
            "100000 20mV_delay-all pass\n100001 20mV_delay-all pass\n"
            "100002 20mV_delay-all pass\n100003 20mV_delay-all pass\n");
  // Limits given to a later command win over the stored ones; the robust rule catches the
  // shifted chip's time stamps.
  write_file(d / "robust.toml", "k = 5\n");
  r = campaign({"verdicts", "--limits", "robust.toml"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\n100003 20mV_delay-all fail: ch 0 time_stamp "), std::string::npos)
      << r.out;
}

TEST(CampaignVerdicts, AReportOfARecordingNotInTheDatabaseIsAUsageError) {
  temp_dir d;
  write_sim(d / bench_name("100000"));
  ASSERT_EQ(campaign({"run", "."}, d.path()).status, 0);
  program_run r =
      campaign({"report", "--out", "r.html", "--recording", "nowhere_adc.txt"}, d.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "varnel-campaign: no analysed recording nowhere_adc.txt in campaign.sqlite\n");
  EXPECT_FALSE(std::filesystem::exists(d / "r.html"));
}
