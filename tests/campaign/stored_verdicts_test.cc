// Verdicts made chip by chip from the database, as watch, serve and the commands make them,
// against judge_campaign over every stored recording at once.

#include "campaign/run/stored_verdicts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "campaign/campaign_support.h"
#include "campaign/judge/characterisation.h"
#include "campaign/judge/reason_text.h"
#include "campaign/run/campaign_upkeep.h"
#include "campaign/run/recording_analysis.h"
#include "campaign/run/recording_discovery.h"
#include "tools/campaign_simulator.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> configs = {"2mV_delay-all", "4mV_delay-all"};

// The recordings of a realistic campaign of `chips` chips in two configurations with the classic
// faults, analysed (not stored), in the order an acquisition writes them: chip by chip.
std::vector<recording_record> analysed_campaign(const temp_dir& d, int chips) {
  campaign_setup setup;
  setup.faults = classic_faults(true);
  setup.realistic = true;
  write_gain_campaign(d / "data", chips, 20, configs, setup);
  discovery found = find_recordings({d / "data"}, {});
  std::sort(found.found.begin(), found.found.end(),
            [](const found_recording& a, const found_recording& b) {
              return std::pair(a.identity.chip, a.path) < std::pair(b.identity.chip, b.path);
            });
  std::vector<recording_record> out;
  for (const found_recording& f : found.found) out.push_back(analyse_recording(f, "test"));
  return out;
}

// The verdict lines judge_campaign gives for the whole database, of `chip` ("" for every chip).
std::vector<std::string> whole_lines(campaign_db& db, const std::string& chip) {
  std::vector<stored_recording> recordings;
  std::string error;
  EXPECT_TRUE(db.load_recordings(recordings, error)) << error;
  std::vector<std::string> lines;
  for (const chip_verdict& v : judge_campaign(recordings, acceptance_limits{}).verdicts)
    if (chip.empty() || v.chip == chip)
      lines.push_back(verdict_line(v) + " [" + std::to_string(v.superseded.size()) + "]");
  return lines;
}

// The same from judge_stored with `cache`.
std::vector<std::string> stored_lines(campaign_db& db, population_cache& cache,
                                      const std::string& chip) {
  campaign_outline outline;
  std::string error;
  EXPECT_TRUE(db.load_outline(outline, error)) << error;
  std::vector<std::string> lines;
  EXPECT_TRUE(judge_stored(
      db, acceptance_limits{}, cache, outline, chip,
      [&](chip_verdict&& v) {
        lines.push_back(verdict_line(v) + " [" + std::to_string(v.superseded.size()) + "]");
      },
      error))
      << error;
  return lines;
}

}  // namespace

TEST(StoredVerdicts, ACampaignStoredOneByOneIsJudgedAtEachStepAsAWholeJudgementWould) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 24);
  ASSERT_GT(records.size(), 48u);  // a retested chip has an aborted try too
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(d / "c.sqlite", error);
  ASSERT_TRUE(db) << error;
  population_cache cache;
  size_t not_passing = 0;
  for (const recording_record& r : records) {
    ASSERT_TRUE(db->store(r, error)) << error;
    cache.forget(r.config);  // as the watch does after each result it stores
    std::vector<std::string> whole = whole_lines(*db, r.chip);
    EXPECT_EQ(stored_lines(*db, cache, r.chip), whole) << r.path;
    not_passing += std::count_if(whole.begin(), whole.end(), [](const std::string& line) {
      return line.find(" pass [") == std::string::npos;
    });
  }
  EXPECT_GT(not_passing, 40u);  // the faults and the campaign's first few chips
  std::vector<std::string> all = whole_lines(*db, "");
  EXPECT_EQ(all.size(), 48u);
  EXPECT_EQ(stored_lines(*db, cache, ""), all);
  // The retested chip is judged on its retest, its aborted try superseded.
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const std::string& line) {
                            return line.starts_with("100012 4mV_delay-all ") &&
                                   line.ends_with(" [1]");
                          }),
            1);
}

TEST(StoredVerdicts, AnotherConnectionsResultsRefreshTheStatisticsWithoutBeingForgotten) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 12);
  std::string error;
  std::optional<campaign_db> watch = campaign_db::open(d / "c.sqlite", error);
  std::optional<campaign_db> other = campaign_db::open(d / "c.sqlite", error);
  ASSERT_TRUE(watch && other) << error;
  population_cache cache;
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_TRUE(other->store(records[i], error)) << error;
    // Every third verdict only, so that the cache holds statistics of several stores ago.
    if (i % 3 == 2) {
      EXPECT_EQ(stored_lines(*watch, cache, ""), whole_lines(*watch, "")) << records[i].path;
    }
  }
  EXPECT_EQ(stored_lines(*watch, cache, ""), whole_lines(*watch, ""));
}

TEST(StoredVerdicts, CharacterisationStoredChipByChipIsTheWholeCampaigns) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 12);
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(d / "c.sqlite", error);
  ASSERT_TRUE(db) << error;
  // The first half at once, then one result at a time, each followed by the update a run or
  // the watch makes: only the chip stored is characterised again while the usual counts stay.
  population_cache cache;
  std::set<std::string> first;
  for (size_t i = 0; i < records.size() / 2; ++i) {
    ASSERT_TRUE(db->store(records[i], error)) << error;
    first.insert(records[i].chip);
  }
  ASSERT_TRUE(update_characterisation(*db, acceptance_limits{}, first, cache, error)) << error;
  for (size_t i = records.size() / 2; i < records.size(); ++i) {
    ASSERT_TRUE(db->store(records[i], error)) << error;
    cache.forget(records[i].config);
    ASSERT_TRUE(update_characterisation(*db, acceptance_limits{}, {records[i].chip}, cache, error))
        << error;
  }
  std::vector<stored_recording> recordings;
  ASSERT_TRUE(db->load_recordings(recordings, error)) << error;
  campaign_characterisation whole = characterise(recordings, acceptance_limits{});
  std::optional<campaign_db> expected = campaign_db::open(d / "whole.sqlite", error);
  ASSERT_TRUE(expected && expected->store_characterisation(whole.channels, error)) << error;
  const std::string rows = "SELECT * FROM characterisation ORDER BY chip, channel";
  std::vector<std::string> stored = query(d / "c.sqlite", rows);
  ASSERT_EQ(stored.size(), 12u * 32u);
  EXPECT_EQ(stored, query(d / "whole.sqlite", rows));
  // The dead channel of chip 100001 has no gain, and says why.
  EXPECT_TRUE(stored[32 + 13].starts_with("100001|13|0|||")) << stored[32 + 13];
  // A full refresh gives the same.
  ASSERT_TRUE(refresh_characterisation(*db, acceptance_limits{}, cache, error)) << error;
  EXPECT_EQ(query(d / "c.sqlite", rows), stored);
}
