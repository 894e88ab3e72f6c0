// Verdicts made chip by chip from the database, as watch, serve and the commands make them,
// against judge_campaign over every stored recording at once.

#include "campaign/run/stored_verdicts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>

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

// The same as the watch makes them after it stored results of `chip`, in the configurations
// `stored`: the chip's outline and current recordings read alone, the members `cache` keeps
// brought up to date.
std::vector<std::string> watch_lines(campaign_db& db, population_cache& cache,
                                     const std::string& chip, const std::set<std::string>& stored) {
  campaign_outline outline;
  std::string error;
  const std::set<std::string> chips = {chip};
  EXPECT_TRUE(db.load_outline(outline, error, &chips)) << error;
  std::vector<stored_recording> own;
  EXPECT_TRUE(db.each_current(
      chip, "",
      [&](const stored_recording& r) {
        own.push_back(r);
        return true;
      },
      error))
      << error;
  for (const stored_recording& r : own)
    if (stored.count(r.config)) cache.stored(r);
  std::map<std::string, population_stats> populations;
  EXPECT_TRUE(cache.get(db, configurations_of(outline), acceptance_limits{}, populations, error))
      << error;
  std::vector<std::string> lines;
  for (const stored_recording& r : own) {
    chip_verdict v = stored_verdict(r, populations, acceptance_limits{}, outline);
    lines.push_back(verdict_line(v) + " [" + std::to_string(v.superseded.size()) + "]");
  }
  return lines;
}

// The database c.sqlite in `d`, opened for writing.
campaign_db opened(const temp_dir& d) {
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(d / "c.sqlite", error);
  if (!db) throw std::runtime_error(error);
  return std::move(*db);
}

}  // namespace

TEST(StoredVerdicts, ACampaignStoredOneByOneIsJudgedAtEachStepAsAWholeJudgementWould) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 24);
  ASSERT_GT(records.size(), 48u);  // a retested chip has an aborted try too
  std::string error;
  campaign_db db = opened(d);
  population_cache cache;
  size_t not_passing = 0;
  for (const recording_record& r : records) {
    ASSERT_TRUE(db.store(r, error)) << error;
    cache.forget(r.config);  // as the watch does after each result it stores
    std::vector<std::string> whole = whole_lines(db, r.chip);
    EXPECT_EQ(stored_lines(db, cache, r.chip), whole) << r.path;
    not_passing += std::count_if(whole.begin(), whole.end(), [](const std::string& line) {
      return line.find(" pass [") == std::string::npos;
    });
  }
  EXPECT_GT(not_passing, 40u);  // the faults and the campaign's first few chips
  std::vector<std::string> all = whole_lines(db, "");
  // The outline of a few chips counts as the whole one does.
  campaign_outline whole, some;
  const std::set<std::string> chips = {"100012"};
  ASSERT_TRUE(db.load_outline(whole, error) && db.load_outline(some, error, &chips)) << error;
  EXPECT_EQ(some.chips_in, whole.chips_in);
  EXPECT_EQ(std::pair(some.chips, some.recordings), std::pair(whole.chips, whole.recordings));
  ASSERT_EQ(some.superseded.size(), 1u);
  EXPECT_EQ(some.superseded,
            (decltype(whole.superseded){*whole.superseded.find({"100012", "4mV_delay-all"})}));
  EXPECT_EQ(all.size(), 48u);
  EXPECT_EQ(stored_lines(db, cache, ""), all);
  // The retested chip is judged on its retest, its aborted try superseded.
  EXPECT_EQ(std::count_if(all.begin(), all.end(),
                          [](const std::string& line) {
                            return line.starts_with("100012 4mV_delay-all ") &&
                                   line.ends_with(" [1]");
                          }),
            1);
}

TEST(StoredVerdicts, EveryChipIsJudgedAlikeReadOnceOrAsReadOnOneConnectionOrInTwoHalves) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 16);
  std::string error;
  campaign_db db = opened(d);
  // Below two chips there are no halves to read.
  EXPECT_FALSE(db.middle_chip(1, error));
  EXPECT_EQ(error, "");
  for (const recording_record& r : records) ASSERT_TRUE(db.store(r, error)) << error;
  const std::vector<std::string> expected = whole_lines(db, "");
  ASSERT_EQ(expected.size(), 32u);
  // The two halves hold every current recording once, the first half's chips before the middle.
  std::optional<std::string> middle = db.middle_chip(1, error);
  ASSERT_TRUE(middle) << error;
  EXPECT_EQ(*middle, "100008");  // chips 100000 to 100015
  EXPECT_FALSE(db.middle_chip(17, error));
  std::vector<std::string> halves[2];
  for (int half : {0, 1})
    ASSERT_TRUE(db.each_current(
        half ? chip_span{*middle, ""} : chip_span{"", *middle}, "",
        [&](const stored_recording& r) {
          halves[half].push_back(r.chip + " " + r.config);
          return true;
        },
        error))
        << error;
  EXPECT_EQ(halves[0].size(), 16u);
  EXPECT_EQ(halves[0].back(), "100007 4mV_delay-all");
  EXPECT_EQ(halves[1].front(), "100008 2mV_delay-all");
  EXPECT_EQ(halves[0].size() + halves[1].size(), expected.size());
  for (int64_t from : {int64_t{1}, two_reader_chips}) {
    // Without statistics at hand the campaign is read once, and the statistics made on the way
    // are kept: to the last bit those a pass of their own makes.
    population_cache cache;
    cache.two_readers_from(from);
    EXPECT_EQ(stored_lines(db, cache, ""), expected) << from;
    for (const std::string& config : configs) {
      std::optional<population_stats> kept = cache.known(db, config, acceptance_limits{});
      population_stats direct;
      ASSERT_TRUE(load_population(db, config, acceptance_limits{}, direct, error, from)) << error;
      ASSERT_TRUE(kept) << config;
      EXPECT_TRUE(same_stats(*kept, direct)) << config;
    }
    // With them at hand, each chip is judged as it is read.
    EXPECT_EQ(stored_lines(db, cache, ""), expected) << from;
    // And so with those a writer saved, in a reader's fresh cache.
    ASSERT_TRUE(cache.save(db, error)) << error;
    population_cache reader;
    reader.two_readers_from(from);
    for (const std::string& config : configs)
      EXPECT_TRUE(reader.known(db, config, acceptance_limits{})) << config;
    EXPECT_EQ(stored_lines(db, reader, ""), expected) << from;
  }
  // A result stored since makes the saved statistics stale: the reader reads once again.
  ASSERT_TRUE(db.store(records.front(), error)) << error;
  population_cache after;
  EXPECT_FALSE(after.known(db, configs.front(), acceptance_limits{}));
  after.two_readers_from(1);
  EXPECT_EQ(stored_lines(db, after, ""), whole_lines(db, ""));
}

TEST(StoredVerdicts, TheWatchsKeptMembersJudgeEachResultAsAWholeJudgementWould) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 24);
  std::string error;
  campaign_db db = opened(d);
  // The second cache reads its members in two halves at once, as a large campaign's are read.
  population_cache cache(true), in_halves(true);
  in_halves.two_readers_from(1);
  std::set<std::string> chips_with_members;
  for (size_t i = 0; i < records.size(); ++i) {
    const recording_record& r = records[i];
    ASSERT_TRUE(db.store(r, error)) << error;
    const std::vector<std::string> whole = whole_lines(db, r.chip);
    EXPECT_EQ(watch_lines(db, cache, r.chip, {r.config}), whole) << r.path;
    EXPECT_EQ(watch_lines(db, in_halves, r.chip, {r.config}), whole) << r.path;
    // Halfway, every configuration's members made at once, as the watch does while idle.
    if (i == records.size() / 2) {
      std::map<std::string, population_stats> populations;
      ASSERT_TRUE(cache.get(db, configs, acceptance_limits{}, populations, error, true)) << error;
    }
  }
  // The statistics from the members are those of the database, to the last bit.
  for (const std::string& config : configs) {
    population_stats from_db;
    std::map<std::string, population_stats> kept, halved;
    ASSERT_TRUE(load_population(db, config, acceptance_limits{}, from_db, error)) << error;
    ASSERT_TRUE(cache.get(db, {config}, acceptance_limits{}, kept, error)) << error;
    EXPECT_TRUE(same_stats(from_db, kept[config])) << config;
    // Members read afresh, in halves.
    population_cache fresh(true);
    fresh.two_readers_from(1);
    ASSERT_TRUE(fresh.get(db, {config}, acceptance_limits{}, halved, error, true)) << error;
    EXPECT_TRUE(same_stats(from_db, halved[config])) << config;
  }
}

TEST(StoredVerdicts, MembersGiveTheBuildersStatisticsInAnyOrderWithARecordingReplaced) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 16);
  std::string error;
  campaign_db db = opened(d);
  for (const recording_record& r : records) ASSERT_TRUE(db.store(r, error)) << error;
  std::vector<stored_recording> current;
  ASSERT_TRUE(db.each_current(
      "", configs[0],
      [&](const stored_recording& r) {
        current.push_back(r);
        return true;
      },
      error))
      << error;
  population_builder builder(std::nullopt);
  for (const stored_recording& r : current) builder.add(r);
  const population_stats expected = builder.finish();
  // Backwards, with a chip first given another recording that its own then replaces.
  population_members members(std::nullopt);
  stored_recording stand_in = current.back();
  stand_in.chip = current.front().chip;
  members.put(stand_in);
  for (auto r = current.rbegin(); r != current.rend(); ++r) members.put(*r);
  EXPECT_EQ(members.size(), current.size());
  const population_stats got = members.stats();
  EXPECT_TRUE(same_stats(got, expected));
  EXPECT_TRUE(got.ready);
}

TEST(StoredVerdicts, AnotherConnectionsResultsRefreshTheStatisticsWithoutBeingForgotten) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 12);
  std::string error;
  std::optional<campaign_db> watch = campaign_db::open(d / "c.sqlite", error);
  std::optional<campaign_db> other = campaign_db::open(d / "c.sqlite", error);
  ASSERT_TRUE(watch && other) << error;
  // Either cache, the watch's with members too.
  population_cache cache, keeping(true);
  for (size_t i = 0; i < records.size(); ++i) {
    ASSERT_TRUE(other->store(records[i], error)) << error;
    // Every third verdict only, so that the cache holds statistics of several stores ago.
    if (i % 3 == 2) {
      EXPECT_EQ(stored_lines(*watch, cache, ""), whole_lines(*watch, "")) << records[i].path;
      EXPECT_EQ(watch_lines(*watch, keeping, records[i].chip, {}),
                whole_lines(*watch, records[i].chip))
          << records[i].path;
    }
  }
  EXPECT_EQ(stored_lines(*watch, cache, ""), whole_lines(*watch, ""));
}

TEST(StoredVerdicts, CharacterisationStoredChipByChipIsTheWholeCampaigns) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 12);
  std::string error;
  campaign_db db = opened(d);
  // The first half at once, then one result at a time, each followed by the update a run or
  // the watch makes: only the chip stored is characterised again while the usual counts stay.
  population_cache cache;
  std::set<std::string> first;
  for (size_t i = 0; i < records.size() / 2; ++i) {
    ASSERT_TRUE(db.store(records[i], error)) << error;
    first.insert(records[i].chip);
  }
  ASSERT_TRUE(update_characterisation(db, acceptance_limits{}, first, cache, error)) << error;
  for (size_t i = records.size() / 2; i < records.size(); ++i) {
    ASSERT_TRUE(db.store(records[i], error)) << error;
    cache.forget(records[i].config);
    ASSERT_TRUE(update_characterisation(db, acceptance_limits{}, {records[i].chip}, cache, error))
        << error;
  }
  std::vector<stored_recording> recordings;
  ASSERT_TRUE(db.load_recordings(recordings, error)) << error;
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
  ASSERT_TRUE(refresh_characterisation(db, acceptance_limits{}, cache, error)) << error;
  EXPECT_EQ(query(d / "c.sqlite", rows), stored);
}

TEST(StoredVerdicts, KeptStatisticsServeWhileNoResultIsStoredAndAreMadeAgainAfterOne) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 8);
  std::string error;
  campaign_db db = opened(d);
  for (size_t i = 0; i + 2 < records.size(); ++i) ASSERT_TRUE(db.store(records[i], error)) << error;
  EXPECT_EQ(db.meta("generation"), std::to_string(records.size() - 2));
  population_cache writer;
  std::map<std::string, population_stats> made;
  ASSERT_TRUE(writer.get(db, configs, acceptance_limits{}, made, error)) << error;
  ASSERT_TRUE(writer.save(db, error)) << error;
  // A reader's fresh cache takes the kept statistics, to the last bit.
  auto same = [](const population_stats& a, const population_stats& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
  };
  std::optional<campaign_db> reader = campaign_db::open_read_only(d / "c.sqlite", error);
  ASSERT_TRUE(reader) << error;
  population_cache fresh;
  std::map<std::string, population_stats> read;
  ASSERT_TRUE(fresh.get(*reader, configs, acceptance_limits{}, read, error)) << error;
  for (const std::string& config : configs) EXPECT_TRUE(same(read[config], made[config]));
  // Kept statistics that no longer match the generation are not taken: a chip more changes the
  // usual spreads, and a reader judges it by the new ones.
  ASSERT_TRUE(db.store(records[records.size() - 2], error)) << error;
  ASSERT_TRUE(db.store(records.back(), error)) << error;
  population_cache later;
  std::map<std::string, population_stats> now;
  ASSERT_TRUE(later.get(*reader, configs, acceptance_limits{}, now, error)) << error;
  for (const std::string& config : configs) {
    population_stats direct;
    ASSERT_TRUE(load_population(*reader, config, acceptance_limits{}, direct, error)) << error;
    EXPECT_TRUE(same(now[config], direct)) << config;
    EXPECT_FALSE(same(now[config], made[config])) << config;
  }
  // Statistics kept for other limits are not taken either: a minimum of events decides which
  // recordings are sound.
  acceptance_limits strict;
  ASSERT_TRUE(
      parse_limits("[config.\"2mV_delay-all\"]\nmin_events = 30\n", "strict", strict, error))
      << error;
  population_cache other;
  std::map<std::string, population_stats> under;
  ASSERT_TRUE(other.get(*reader, configs, strict, under, error)) << error;
  EXPECT_EQ(under["2mV_delay-all"].sound_chips, 0u);  // every recording has 20 events
  EXPECT_GT(under["4mV_delay-all"].sound_chips, 4u);
}

TEST(StoredVerdicts, OtherLimitsCharacteriseEveryChipAgain) {
  temp_dir d;
  std::vector<recording_record> records = analysed_campaign(d, 6);
  std::string error;
  campaign_db db = opened(d);
  std::set<std::string> chips;
  for (const recording_record& r : records) {
    ASSERT_TRUE(db.store(r, error)) << error;
    chips.insert(r.chip);
  }
  population_cache cache;
  ASSERT_TRUE(update_characterisation(db, acceptance_limits{}, chips, cache, error)) << error;
  const std::string gains =
      "SELECT chip, printf('%.4f', gain) FROM characterisation WHERE "
      "channel = 0 ORDER BY chip";
  std::vector<std::string> before = query(d / "c.sqlite", gains);
  ASSERT_EQ(before.size(), 6u);
  // Twice the injected amplitudes halve every gain, though only one chip's result is stored.
  write_file(d / "limits.toml",
             "[config.\"2mV_delay-all\"]\ninjection_mV = 4\n[config.\"4mV_delay-all\"]\n"
             "injection_mV = 8\n");
  acceptance_limits doubled;
  ASSERT_TRUE(store_limits(db, d / "limits.toml", error)) << error;
  ASSERT_TRUE(load_limits(db, "", doubled, error)) << error;
  ASSERT_TRUE(db.store(records.back(), error)) << error;
  ASSERT_TRUE(update_characterisation(db, doubled, {records.back().chip}, cache, error)) << error;
  std::vector<std::string> after = query(d / "c.sqlite", gains);
  ASSERT_EQ(after.size(), 6u);
  for (size_t i = 0; i < after.size(); ++i) {
    const double was = std::stod(before[i].substr(before[i].find('|') + 1));
    const double is = std::stod(after[i].substr(after[i].find('|') + 1));
    EXPECT_NEAR(is, was / 2, 1e-3) << after[i];
  }
}
