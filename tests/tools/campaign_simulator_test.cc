#include "tools/campaign_simulator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "support/tool_run.h"
#include "varnel_version.h"

namespace fs = std::filesystem;

namespace {

const std::string config = "20mV_delay-all";
constexpr int events = 40;

// The fault names in chip order, 100001 first.
const std::vector<std::string> fault_order = {"dead_channel",  "saturated_channel",
                                              "late",          "slow",
                                              "low_gain",      "noisy",
                                              "stuck",         "cut",
                                              "junk",          "few_events",
                                              "wrong_config",  "retested",
                                              "slightly_late", "two_dead",
                                              "noisy_4x"};

std::vector<std::vector<std::string>> tsv_rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) fields.push_back(cell);
    rows.push_back(fields);
  }
  return rows;
}

// The recording of chip `index` as a good chip, unharmed.
std::string good_recording(int index) {
  return simulate_recording(campaign_chip_options(index, events, config, chip_fault::none));
}

// A campaign of every fault, written once for the tests that only read it.
class FaultyCampaign : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new temp_dir;
    paths_ = write_simulated_campaign(*dir_ / "data", 17, events, config, true);
  }
  static void TearDownTestSuite() { delete dir_; }
  static std::string path_of(const std::string& chip, const std::string& time = "123510") {
    return *dir_ / ("data/" + campaign_recording_name(chip, config, time));
  }
  static temp_dir* dir_;
  static std::vector<std::string> paths_;
};
temp_dir* FaultyCampaign::dir_ = nullptr;
std::vector<std::string> FaultyCampaign::paths_;

TEST_F(FaultyCampaign, FaultsTsvListsEachPlantedFaultWithAFileThatExists) {
  std::vector<std::vector<std::string>> rows =
      tsv_rows(read_file(*dir_ / "data/faults.tsv").value_or(""));
  ASSERT_EQ(rows.size(), fault_order.size() + 1);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"chip", "config", "fault", "path"}));
  for (size_t i = 0; i < fault_order.size(); ++i) {
    const std::vector<std::string>& r = rows[i + 1];
    ASSERT_EQ(r.size(), 4u) << i;
    EXPECT_EQ(r[0], std::to_string(100001 + i));
    EXPECT_EQ(r[1], config);
    EXPECT_EQ(r[2], fault_order[i]);
    EXPECT_TRUE(std::count(paths_.begin(), paths_.end(), r[3]) == 1) << r[3];
    EXPECT_TRUE(fs::exists(r[3])) << r[3];
  }
  // 17 chips' recordings, the retested one's twice.
  std::set<std::string> names = tree(*dir_ / "data");
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) { return n.ends_with("_adc.txt"); }),
            18);
}

TEST_F(FaultyCampaign, GoodChipsAndTheRetestAreWrittenAsWithoutFaults) {
  for (int index : {0, 16})
    EXPECT_EQ(read_file(path_of(std::to_string(100000 + index))), good_recording(index)) << index;
  EXPECT_EQ(read_file(path_of("100012", "130000")), good_recording(12));
}

TEST_F(FaultyCampaign, TheRetestedChipsAbortedTryIsShortAndModifiedAfterItsRetest) {
  const std::string aborted = path_of("100012", "120000"), retest = path_of("100012", "130000");
  EXPECT_FALSE(fs::exists(path_of("100012")));
  EXPECT_GT(fs::last_write_time(aborted), fs::last_write_time(retest));
  simulation_options three = campaign_chip_options(12, 3, config, chip_fault::none);
  EXPECT_EQ(read_file(aborted), simulate_recording(three));
}

TEST_F(FaultyCampaign, TheCutFileEndsInsideARowNearHalfItsLength) {
  const std::string cut = read_file(path_of("100008")).value_or("");
  const std::string whole = good_recording(8);
  ASSERT_FALSE(cut.empty());
  EXPECT_EQ(whole.compare(0, cut.size(), cut), 0);  // a prefix of the unharmed recording
  EXPECT_NEAR(static_cast<double>(cut.size()) / whole.size(), 0.45, 0.001);
  std::istringstream last_line(cut.substr(cut.rfind('\n') + 1));
  int values = 0;
  for (int v; last_line >> v;) ++values;
  EXPECT_GT(values, 0);
  EXPECT_LT(values, 32);
  run_outcome out = run_analysis("100008", config, path_of("100008"));
  EXPECT_NE(out.summary.values_read % 32, 0u);
}

TEST_F(FaultyCampaign, ReadingStopsWhereTheJunkBegins) {
  const std::string junky = read_file(path_of("100009")).value_or("");
  const std::string whole = good_recording(9);
  ASSERT_EQ(junky.size(), whole.size() + 4096);
  const size_t junk_at = junky.find_first_not_of("-0123456789 \n");
  ASSERT_GT(junk_at, whole.size() / 2);
  ASSERT_LT(junk_at, whole.size() / 2 + 1000);
  EXPECT_EQ(junky.substr(junk_at + 4096), whole.substr(junk_at));
  const std::string before = junky.substr(0, junk_at);
  run_outcome out = run_analysis("100009", config, path_of("100009"));
  EXPECT_EQ(out.summary.values_read,
            static_cast<uint64_t>(std::count(before.begin(), before.end(), '\n') * 32));
}

TEST_F(FaultyCampaign, TheAnalysisSeesTheRecordedFaults) {
  // The wrong configuration's timing shows as poor fits everywhere, with the note saying so.
  run_outcome wrong = run_analysis("100011", config, path_of("100011"));
  EXPECT_TRUE(std::any_of(wrong.notes.begin(), wrong.notes.end(), [](const std::string& n) {
    return n.find("check that configuration") != std::string::npos;
  })) << ::testing::PrintToString(wrong.notes);
  run_outcome good = run_analysis("100000", config, path_of("100000"));
  run_outcome noisy = run_analysis("100006", config, path_of("100006"));
  run_outcome stuck = run_analysis("100007", config, path_of("100007"));
  ASSERT_EQ(good.fits.size(), 32u);
  ASSERT_EQ(noisy.fits.size(), 32u);
  ASSERT_EQ(stuck.fits.size(), 32u);
  for (int ch = 0; ch < 32; ++ch) {
    EXPECT_NEAR(noisy.fits[ch].noise / good.fits[ch].noise, 8.0, 0.8) << ch;
    EXPECT_EQ(std::isnan(stuck.fits[ch].noise), ch == 20) << ch;
  }
}

TEST(CampaignChipOptions, EachFaultChangesWhatItNamesAndNothingElse) {
  const simulation_options good = campaign_chip_options(4, events, config, chip_fault::none);
  auto faulty = [](chip_fault f) { return campaign_chip_options(4, events, config, f); };
  for (int ch = 0; ch < 32; ++ch) {
    const channel_truth& g = good.channels[ch];
    EXPECT_NEAR(faulty(chip_fault::slow).channels[ch].peak_time, 1.15 * g.peak_time, 1e-9);
    EXPECT_NEAR(faulty(chip_fault::late).channels[ch].time_stamp, g.time_stamp + 40, 1e-9);
    EXPECT_NEAR(faulty(chip_fault::slightly_late).channels[ch].time_stamp, g.time_stamp + 8, 1e-9);
    EXPECT_EQ(faulty(chip_fault::low_gain).channels[ch].amplitude,
              ch == 9 ? 0.75 * g.amplitude : g.amplitude);
    EXPECT_EQ(faulty(chip_fault::two_dead).channels[ch].dead, ch == 3 || ch == 9);
    EXPECT_EQ(faulty(chip_fault::stuck).channels[ch].stuck, ch == 20);
  }
  EXPECT_EQ(faulty(chip_fault::noisy).noise, 8 * good.noise);
  EXPECT_EQ(faulty(chip_fault::noisy_4x).noise, 4 * good.noise);
  EXPECT_EQ(faulty(chip_fault::few_events).events, 6);
  EXPECT_EQ(faulty(chip_fault::wrong_config).config, "4mV_delay-all");
}

TEST(SimulatedCampaign, FewerChipsPlantFewerFaultsAndNoFaultsNoListing) {
  temp_dir d;
  write_simulated_campaign(d / "four", 4, 3, config, true);
  EXPECT_EQ(tsv_rows(read_file(d / "four/faults.tsv").value_or("")).size(), 4u);
  write_simulated_campaign(d / "plain", 13, 3, config, false);
  EXPECT_EQ(tree(d / "plain").size(), 13u);  // one recording per chip, no listing
}

TEST(VarnelSimCampaign, WritesIntoTheDatesFolderAndRefusesAMalformedDate) {
  temp_dir d;
  program_run run = run_program({VARNEL_SIM_CAMPAIGN_EXE, "--output", d / "out", "--chips", "2",
                                 "--events", "3", "--date", "20261209", "--faults"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(tree(d / "out"),
            (std::set<std::string>{"20261209/", "20261209/faults.tsv",
                                   "20261209/" + campaign_recording_name("100000", config),
                                   "20261209/" + campaign_recording_name("100001", config)}));
  for (const char* date : {"2026129", "2026-12-09", "202612090"}) {
    run = run_program({VARNEL_SIM_CAMPAIGN_EXE, "--output", d / "bad", "--date", date});
    EXPECT_EQ(run.status, 2) << date;
    EXPECT_NE(
        run.err.find("varnel-sim-campaign: --date: expected YYYYMMDD, got " + std::string(date)),
        std::string::npos)
        << run.err;
  }
  EXPECT_FALSE(fs::exists(d / "bad"));
}

// --help and --version on standard output, as the other programs; a folder that cannot be made
// is named with the reason.
TEST(VarnelSimCampaign, HelpVersionAndAFolderThatCannotBeMade) {
  temp_dir d;
  program_run help = run_program({VARNEL_SIM_CAMPAIGN_EXE, "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: varnel-sim-campaign [OPTIONS]"), std::string::npos) << help.out;
  program_run version = run_program({VARNEL_SIM_CAMPAIGN_EXE, "--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("varnel-sim-campaign ") + varnel_version + "\n");
  ASSERT_TRUE(write_file(d / "file", "x"));
  program_run under_a_file =
      run_program({VARNEL_SIM_CAMPAIGN_EXE, "--output", d / "file/out", "--chips", "1"});
  EXPECT_EQ(under_a_file.status, 1);
  EXPECT_EQ(under_a_file.err,
            "varnel-sim-campaign: cannot make " + (d / "file/out") + ": Not a directory\n");
}

}  // namespace
