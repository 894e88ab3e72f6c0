// varnel-campaign verdicts and limits on simulated campaigns with every kind of planted defect.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "campaign/campaign_support.h"
#include "tools/campaign_simulator.h"

namespace fs = std::filesystem;

namespace {

const std::string config = "20mV_delay-all";

// Chip to verdict line, from the output of `verdicts` (its first line is the rule).
std::map<std::string, std::string> verdict_lines(const std::string& out) {
  std::map<std::string, std::string> lines;
  std::istringstream in(out);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) lines[line.substr(0, line.find(' '))] = line;
  return lines;
}

// What a defect's verdict must say: its outcome and the words naming its problem.
const std::map<std::string, std::pair<std::string, std::string>> expected_reasons = {
    {"dead_channel", {"fail", "channel 13: no pulse"}},
    {"saturated_channel", {"fail", "channel 5: "}},
    {"late", {"fail", "all channels: time_stamp "}},
    {"slow", {"fail", "all channels: rise_time "}},
    {"low_gain", {"fail", "channel 9: amplitude 2"}},
    {"noisy", {"fail", "all channels: noise "}},
    {"stuck", {"fail", "channel 20: "}},
    {"cut", {"retest", "last row incomplete"}},
    {"junk", {"retest", "reading stopped at value "}},
    {"few_events", {"retest", "only 5 events"}},
    {"wrong_config", {"retest", "this recording looks like 4mV_delay-all"}},
    {"slightly_late", {"fail", "time_stamp "}},
    {"two_dead", {"fail", "channels 3, 9: no pulse"}},
    {"noisy_4x", {"fail", "all channels: noise "}},
};

}  // namespace

TEST(CampaignVerdicts, EveryPlantedDefectFailsOrCallsForARetestAndGoodChipsPass) {
  temp_dir d;
  write_simulated_campaign(d / "data", 64, 20, config, true);
  program_run run = campaign({"run", "data"}, d.path());
  EXPECT_EQ(run.status, 1);  // the damaged recordings are named at once
  for (const char* chip : {"100008", "100009", "100010", "100011"})
    EXPECT_NE(run.err.find("retest " + (d / "data/") + "123510_korvi" + chip), std::string::npos)
        << run.err;
  // A corrupt copy of a good chip's recording in another folder, stored after it, with the
  // same time: the analysed recording still counts.
  fs::create_directory(d / "again");
  for (const fs::directory_entry& e : fs::directory_iterator(d / "data"))
    if (e.path().filename().string().find("_korvi100000_") != std::string::npos)
      write_file(d / "again" / e.path().filename(), "garbage\n");
  EXPECT_EQ(campaign({"run", "again"}, d.path()).status, 1);
  program_run r = campaign({"verdicts"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  std::map<std::string, std::string> lines = verdict_lines(r.out);
  ASSERT_EQ(lines.size(), 64u) << r.out;
  std::map<std::string, std::string> faults = planted_faults(d / "data");
  ASSERT_EQ(faults.size(), 15u);
  for (const auto& [chip, line] : lines) {
    auto fault = faults.find(chip);
    if (fault == faults.end() || fault->second == "retested") {
      EXPECT_EQ(line, chip + " " + config + " pass");
      continue;
    }
    const auto& [outcome, words] = expected_reasons.at(fault->second);
    EXPECT_TRUE(line.starts_with(chip + " " + config + " " + outcome + ": ")) << line;
    EXPECT_NE(line.find(words), std::string::npos) << fault->second << ": " << line;
  }
  // The retested chip is judged on its complete retest; its aborted try is superseded.
  ASSERT_EQ(campaign({"export", "--csv", "all.csv"}, d.path()).status, 0);
  std::string csv = read_file(d / "all.csv").value();
  EXPECT_NE(csv.find("/120000_korvi100012_dessel00_link00_20mV_delay-all_adc.txt,100012," + config +
                     ",0,,0,"),
            std::string::npos);
  EXPECT_NE(csv.find(",superseded,0\n"), std::string::npos);
  EXPECT_EQ(
      query(d / "campaign.sqlite", "SELECT count(*), count(DISTINCT chip) FROM current_channels"),
      std::vector<std::string>{"2048|64"});
}

TEST(CampaignVerdicts, FiveGoodChipsPassAloneAndDerivedLimitsKeepTheBigCampaignsVerdicts) {
  temp_dir d;
  write_simulated_campaign(d / "big", 24, 20, config, true);
  ASSERT_EQ(campaign({"run", "--db", "big.sqlite", "big"}, d.path()).status, 1);
  ASSERT_EQ(campaign({"limits", "--db", "big.sqlite", "--out", "limits.toml"}, d.path()).status, 0);
  std::string limits = read_file(d / "limits.toml").value();
  EXPECT_NE(limits.find("[config.\"20mV_delay-all\".channel.31]\nrise_time = ["), std::string::npos)
      << limits;
  std::map<std::string, std::string> big =
      verdict_lines(campaign({"verdicts", "--db", "big.sqlite"}, d.path()).out);
  // Five good chips alone, without limits, and a small campaign of good and faulty chips with
  // the derived limits.
  fs::create_directory(d / "good");
  fs::create_directory(d / "small");
  for (const char* chip : {"100000", "100016", "100017", "100018", "100019"})
    fs::copy_file(d / ("big/" + campaign_recording_name(chip, config)),
                  d / ("good/" + campaign_recording_name(chip, config)));
  for (const char* chip : {"100000", "100003", "100005", "100006", "100013"})
    fs::copy_file(d / ("big/" + campaign_recording_name(chip, config)),
                  d / ("small/" + campaign_recording_name(chip, config)));
  ASSERT_EQ(campaign({"run", "--db", "good.sqlite", "good"}, d.path()).status, 0);
  program_run good = campaign({"verdicts", "--db", "good.sqlite"}, d.path());
  EXPECT_EQ(good.status, 0) << good.out;
  for (const auto& [chip, line] : verdict_lines(good.out))
    EXPECT_EQ(line, chip + " " + config + " pass");
  ASSERT_EQ(campaign({"run", "--db", "small.sqlite", "--limits", "limits.toml", "small"}, d.path())
                .status,
            0);
  std::map<std::string, std::string> small =
      verdict_lines(campaign({"verdicts", "--db", "small.sqlite"}, d.path()).out);
  ASSERT_EQ(small.size(), 5u);
  for (const auto& [chip, line] : small) {
    std::string outcome = line.substr(chip.size() + config.size() + 2, 4);
    EXPECT_EQ(outcome, big.at(chip).substr(chip.size() + config.size() + 2, 4)) << line << "\n"
                                                                                << big.at(chip);
  }
  EXPECT_NE(small.at("100005").find("channel 9: amplitude below its range"), std::string::npos)
      << small.at("100005");
}

TEST(CampaignVerdicts, LimitsGivenToARunAreCheckedStoredAndApplied) {
  temp_dir d;
  // Eight chips: the dead, saturated and late ones and five good ones.
  write_simulated_campaign(d / "data", 20, 40, config, true);
  for (const fs::directory_entry& e : fs::directory_iterator(d / "data")) {
    std::string name = e.path().filename().string();
    size_t at = name.find("_korvi");
    int chip = at == std::string::npos ? 0 : std::stoi(name.substr(at + 6, 6));
    if (chip >= 100004 && chip <= 100015) fs::remove(e.path());
  }
  write_file(d / "bad.toml", "[config.\"20mV_delay-all\"]\nrise = [1, 2]\n");
  program_run r = campaign({"run", "--limits", "bad.toml", "data"}, d.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "varnel-campaign: limits bad.toml line 2: key 'rise': unknown key\n");
  EXPECT_FALSE(fs::exists(d / "campaign.sqlite"));
  // Time stamps within 700..900 ns and at most one flagged channel: the late chip's time
  // stamps stay inside, and the dead and saturated chips have one flagged channel each. The
  // other quantities keep the robust rule. A misspelt configuration is named.
  write_file(d / "l.toml",
             "[config.\"20mV_delay-all\"]\ntime_stamp = [700.0, 900.0]\nmax_flagged_channels = "
             "1\n[config.\"20mv_delay-all\"]\nrise_time = [0, 1]\n");
  ASSERT_EQ(campaign({"run", "--limits", "l.toml", "data"}, d.path()).status, 0);
  r = campaign({"verdicts"}, d.path());
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.err,
            "varnel-campaign: limits l.toml line 4: configuration \"20mv_delay-all\" is not in "
            "the campaign (it has 20mV_delay-all)\n");
  std::map<std::string, std::string> lines = verdict_lines(r.out);
  ASSERT_EQ(lines.size(), 8u) << r.out;
  for (const auto& [chip, line] : lines) EXPECT_EQ(line, chip + " " + config + " pass");
  // Limits given to a later command win over the stored ones.
  write_file(d / "robust.toml", "k = 5\n");
  r = campaign({"verdicts", "--limits", "robust.toml"}, d.path());
  EXPECT_EQ(r.status, 1);
  lines = verdict_lines(r.out);
  EXPECT_EQ(lines.at("100001"),
            "100001 20mV_delay-all fail: channel 13: no pulse (fit verdict no_pulse)");
  EXPECT_NE(lines.at("100003").find("all channels: time_stamp "), std::string::npos);
  EXPECT_EQ(lines.at("100000"), "100000 20mV_delay-all pass");
}

TEST(CampaignVerdicts, AReportOfARecordingNotInTheDatabaseIsAUsageError) {
  temp_dir d;
  write_sim(d / bench_name("100000"));
  ASSERT_EQ(campaign({"run", "."}, d.path()).status, 0);
  program_run r =
      campaign({"report", "--out", "r.html", "--recording", "nowhere_adc.txt"}, d.path());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "varnel-campaign: no analysed recording nowhere_adc.txt in campaign.sqlite\n");
  EXPECT_FALSE(fs::exists(d / "r.html"));
}
