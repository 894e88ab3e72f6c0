// The verdicts on a campaign of chips as real ones are: pulses a little off the model, jitter,
// common-mode noise, chips that differ as a whole by a few percent, and the defects real front
// ends and benches have planted among them.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "campaign/campaign_support.h"
#include "driver/run.h"
#include "tools/campaign_simulator.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> configs = {"20mV_delay-all", "4mV_delay-all"};

// Chip to its line of `varnel-campaign chips`.
std::map<std::string, std::string> chip_lines(const std::string& out) {
  std::map<std::string, std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines[line.substr(0, line.find(' '))] = line;
  return lines;
}

// What each defect's chip line must say, after "CHIP ".
const std::map<std::string, std::vector<std::string>> expected = {
    {"late_12ns", {"fail: ", "all channels: time_stamp 1", " ns above the other chips"}},
    {"low_channel", {"fail: ", "channel 22: amplitude ", " below the other chips, beyond"}},
    {"negative_pulse", {"fail: ", "channel 11: amplitude -", ": a negative pulse"}},
    {"high_pedestal", {"fail: ", "channel 28: pedestal 3"}},
    {"long_gaps", {"retest: ", "gaps reach into the first pulse window in "}},
    {"misshapen", {"fail: ", "channel 7: poor fit (fit verdict poor_fit)"}},
    {"common_mode_noise", {"fail: ", "common_mode_noise "}},
    {"missing_recording", {"incomplete: not tested in 20mV_delay-all"}},
    {"wrong_config", {"retest: ", "this recording looks like 4mV_delay-all"}},
    {"dead_channel", {"fail: ", "channel 13: no pulse"}},
};

TEST(RealisticCampaign, GoodChipsPassEveryConfigurationAndEachDefectIsNamed) {
  temp_dir d;
  campaign_setup setup;
  setup.realistic = true;
  setup.faults = front_end_defects(true);
  setup.faults.push_back(chip_fault::wrong_config);
  setup.faults.push_back(chip_fault::dead_channel);
  // 40 good chips beside the defects: 60 events each keep the test fast, and the verdicts are
  // those of 300 (see the next test).
  const int chips = 40 + static_cast<int>(setup.faults.size()) + 1;
  write_gain_campaign(d / "data", chips, 60, configs, setup);
  program_run run = campaign({"run", "--settle", "0", "data"}, d.path());
  EXPECT_EQ(run.status, 1) << run.err;  // the retests are named at once
  program_run r = campaign({"chips", "--csv", "chips.csv"}, d.path());
  EXPECT_EQ(r.status, 1);
  std::map<std::string, std::string> lines = chip_lines(r.out);
  ASSERT_EQ(lines.size(), static_cast<size_t>(chips)) << r.out;
  std::map<std::string, std::string> faults = planted_faults(d / "data");
  ASSERT_EQ(faults.size(), setup.faults.size());
  int good = 0;
  for (const auto& [chip, line] : lines) {
    auto fault = faults.find(chip);
    if (fault == faults.end()) {
      EXPECT_EQ(line, chip + " pass");
      ++good;
      continue;
    }
    const std::vector<std::string>& words = expected.at(fault->second);
    EXPECT_TRUE(line.starts_with(chip + " " + words.front())) << fault->second << ": " << line;
    for (const std::string& w : words) EXPECT_NE(line.find(w), std::string::npos) << line;
  }
  EXPECT_GE(good, 40);
  // Every configuration of every good chip passes too, and the pages' yield counts the chips'
  // own verdicts.
  program_run v = campaign({"verdicts"}, d.path());
  for (const auto& [chip, line] : lines) {
    if (faults.count(chip)) continue;
    for (const std::string& c : configs) {
      const std::string passed = chip + " " + c + " pass\n";
      EXPECT_NE(v.out.find(passed), std::string::npos) << passed;
    }
  }
  std::string csv = read_file(d / "chips.csv").value();
  EXPECT_TRUE(csv.starts_with("chip,chip_verdict,reasons\n100000,pass,\n")) << csv;
}

TEST(RealisticCampaign, AChipsVerdictsDoNotDependOnHowManyEventsWereRecorded) {
  // A realistic chip with a misshapen channel: chi2/ndf grows with the events, the misfit and so
  // the verdicts do not, nor do the notes but for their numbers.
  temp_dir d;
  std::vector<std::vector<fit_verdict>> verdicts;
  std::vector<size_t> note_counts;
  for (int events : {60, 300, 1000}) {
    const std::string name = std::to_string(events) + "_events_adc.txt";
    const std::string path = d / name;
    write_file(path, simulate_recording(campaign_chip_options(3, events, configs[0],
                                                              chip_fault::misshapen, true)));
    run_outcome out = run_analysis("100003", configs[0], path);
    ASSERT_EQ(out.status, exit_success);
    std::vector<fit_verdict> v;
    for (const channel_fit& f : out.fits) v.push_back(f.verdict);
    verdicts.push_back(v);
    note_counts.push_back(out.notes.size());
    EXPECT_EQ(out.fits[7].verdict, fit_verdict::poor_fit) << events;
    EXPECT_TRUE(out.config_check.looks_like.empty()) << events;
  }
  EXPECT_EQ(verdicts[0], verdicts[1]);
  EXPECT_EQ(verdicts[1], verdicts[2]);
  EXPECT_EQ(note_counts[0], note_counts[2]);
}

}  // namespace
