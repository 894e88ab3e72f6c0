// Databases of schema versions 1 and 2, each made by the version that wrote it, upgraded in place.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <filesystem>
#include <map>

#include "campaign/campaign_support.h"
#include "campaign/judge/acceptance.h"
#include "campaign/store/campaign_db.h"

namespace fs = std::filesystem;

namespace {

void execute(const std::string& db, const char* sql) {
  sqlite3* h = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(h, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(h);
  sqlite3_close(h);
}

std::vector<std::string> columns(const std::string& db, const std::string& table) {
  return query(
      db, "SELECT name, type, \"notnull\", dflt_value FROM pragma_table_info('" + table + "')");
}

// A database restored from the SQL dump at `dump_path`, as `name` in `d`.
std::string restored(const temp_dir& d, const std::string& name, const char* dump_path) {
  std::string copy = d / name;
  std::optional<std::string> dump = read_file(dump_path);
  if (!dump) throw std::runtime_error(std::string("cannot read ") + dump_path);
  execute(copy, dump->c_str());
  return copy;
}

// A database that version 1 of varnel-campaign wrote (three chips' recordings and a corrupt
// one).
std::string version1_copy(const temp_dir& d) {
  return restored(d, "v1.sqlite", VARNEL_CAMPAIGN_V1_DB);
}

// A database that version 2 wrote: two default chips, one of them with a dead channel, a
// low-charge one and a corrupt recording, with its characterisation.
std::string version2_copy(const temp_dir& d) {
  return restored(d, "v2.sqlite", VARNEL_CAMPAIGN_V2_DB);
}

// Every channel's result of every recording, to compare before and after an upgrade.
std::vector<std::string> results(const std::string& db) {
  return query(db,
               "SELECT r.path, r.status, c.channel, c.rise_time, c.amplitude_err, c.verdict FROM "
               "channels c JOIN recordings r ON r.id = c.recording_id ORDER BY r.path, c.channel");
}

// Whether `db` has the tables and views of a database this build creates, column for column.
void expect_current_layout(const temp_dir& d, const std::string& db) {
  std::string fresh = d / "fresh.sqlite", error;
  ASSERT_TRUE(campaign_db::open(fresh, error)) << error;
  EXPECT_EQ(query(db, "PRAGMA user_version"), std::vector<std::string>{"4"});
  EXPECT_EQ(query(db, "SELECT value FROM meta WHERE key = 'schema_version'"),
            std::vector<std::string>{"4"});
  for (const char* table : {"recordings", "channels", "points", "meta", "characterisation",
                            "current_recordings", "current_channels"})
    EXPECT_EQ(columns(db, table), columns(fresh, table)) << table;
}

// What rows stored before version 3 read back as: no misfit, pedestal, headroom, common-mode
// noise or configuration check.
void expect_unmeasured(const stored_recording& r) {
  const channel_fit& f = r.channels.at(0).fit;
  EXPECT_TRUE(std::isnan(f.misfit) && std::isnan(f.pedestal) && std::isnan(f.headroom));
  EXPECT_TRUE(std::isnan(r.common_mode_noise));
  EXPECT_EQ(r.window_gap_events, 0);
  EXPECT_EQ(r.config_check.looks_like, "");
  EXPECT_TRUE(std::isnan(r.config_check.own_misfit) && std::isnan(r.config_check.other_misfit));
}

}  // namespace

TEST(CampaignSchema, AVersion1DatabaseIsUpgradedInPlaceKeepingEveryResult) {
  temp_dir d;
  std::string v1 = version1_copy(d);
  std::vector<std::string> before = results(v1);
  ASSERT_EQ(before.size(), 3u * 32u);
  std::string error;
  ASSERT_TRUE(campaign_db::open(v1, error)) << error;
  expect_current_layout(d, v1);
  EXPECT_EQ(results(v1), before);
  // The bench's names give the time of day; the date comes from the file's time.
  for (const std::string& at : query(v1, "SELECT recorded_at FROM recordings"))
    EXPECT_TRUE(at.size() == 19 && at.substr(10) == "T12:35:10") << at;
  EXPECT_EQ(query(v1, "SELECT count(*), count(DISTINCT chip) FROM current_channels"),
            std::vector<std::string>{"96|3"});
  std::vector<stored_recording> loaded;
  std::optional<campaign_db> db = campaign_db::open(v1, error);
  ASSERT_TRUE(db && db->load_recordings(loaded, error)) << error;
  ASSERT_EQ(loaded.size(), 4u);
  EXPECT_TRUE(std::isnan(loaded[0].channels.at(0).fit.noise));
  expect_unmeasured(loaded[0]);
  // The file lives on the machine that upgrades it: its recordings were analysed there, and
  // keep their ids.
  EXPECT_EQ(query(v1, "SELECT DISTINCT analysed_on FROM recordings"),
            std::vector<std::string>{db->machine()});
  EXPECT_EQ(query(v1, "SELECT count(*) FROM recordings r JOIN channels c ON c.recording_id = r.id"),
            std::vector<std::string>{"96"});
}

TEST(CampaignSchema, AVersion2DatabaseIsUpgradedInPlaceKeepingEveryResult) {
  temp_dir d;
  std::string v2 = version2_copy(d);
  std::vector<std::string> before = results(v2);
  ASSERT_EQ(before.size(), 3u * 32u);
  const std::vector<std::string> characterised =
      query(v2, "SELECT * FROM characterisation ORDER BY chip, channel");
  ASSERT_FALSE(characterised.empty());
  std::string error;
  ASSERT_TRUE(campaign_db::open(v2, error)) << error;
  expect_current_layout(d, v2);
  EXPECT_EQ(results(v2), before);
  EXPECT_EQ(query(v2, "SELECT * FROM characterisation ORDER BY chip, channel"), characterised);
  EXPECT_EQ(query(v2, "SELECT count(*), count(DISTINCT chip) FROM current_channels"),
            std::vector<std::string>{"96|3"});
  std::vector<stored_recording> loaded;
  std::optional<campaign_db> db = campaign_db::open(v2, error);
  ASSERT_TRUE(db && db->load_recordings(loaded, error)) << error;
  ASSERT_EQ(loaded.size(), 4u);
  EXPECT_FALSE(std::isnan(loaded[0].channels.at(0).fit.noise));  // version 2 stored it
  expect_unmeasured(loaded[0]);
}

TEST(CampaignSchema, AVersion2DatabaseKeepsHowEachDamagedRecordingEndedThroughTheUpgrade) {
  temp_dir d;
  std::string v2 = version2_copy(d);
  // Version 2 kept how reading ended only in the notes: here a value out of range cut chip
  // 100000's recording and a value that is no number chip 100002's, both analysed up to there.
  execute(v2,
          "UPDATE recordings SET notes = 'Reading stopped at value ' || (values_read + 1) || "
          "' of ' || path || ': ' || CASE chip WHEN '100000' THEN 'number out of range' ELSE "
          "'not a number' END || '.' || char(10) || notes WHERE chip IN ('100000', '100002')");
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(v2, error);
  ASSERT_TRUE(db) << error;
  EXPECT_EQ(query(v2, "SELECT chip, reading_end FROM recordings ORDER BY chip"),
            (std::vector<std::string>{"100000|out_of_range", "100001|end_of_input",
                                      "100002|not_a_number", "100009|not_a_number"}));
  std::vector<stored_recording> loaded;
  ASSERT_TRUE(db->load_recordings(loaded, error)) << error;
  std::map<std::string, std::vector<std::string>> problems;
  for (const stored_recording& r : loaded)
    problems[r.chip] = problem_words(recording_problems(r, 0, std::nullopt));
  EXPECT_EQ(problems["100000"],
            std::vector<std::string>{"reading stopped at value 77441: number out of range"});
  EXPECT_EQ(problems["100002"],
            std::vector<std::string>{"reading stopped at value 77441: not a number"});
  EXPECT_TRUE(problems["100001"].empty());
}

// An upgrade of `db`, of schema `version`, that fails on the column `column` the upgrade adds,
// put there beforehand after others the upgrade adds first: refused with the reason, every
// table as it was.
void expect_upgrade_refused(const std::string& db, int version, const std::string& column) {
  execute(db, ("ALTER TABLE channels ADD COLUMN " + column + " REAL").c_str());
  std::vector<std::string> recordings = columns(db, "recordings"),
                           channels = columns(db, "channels");
  std::string error;
  EXPECT_FALSE(campaign_db::open(db, error));
  EXPECT_EQ(error, "cannot use database " + db + ": its schema version is " +
                       std::to_string(version) +
                       " and upgrading it to version 4 failed, nothing was changed: duplicate "
                       "column name: " +
                       column);
  EXPECT_EQ(query(db, "PRAGMA user_version"), std::vector<std::string>{std::to_string(version)});
  EXPECT_EQ(columns(db, "recordings"), recordings);
  EXPECT_EQ(columns(db, "channels"), channels);
}

TEST(CampaignSchema, AnUpgradeThatFailsPartWayLeavesTheDatabaseAsItWas) {
  temp_dir d;
  std::string v1 = version1_copy(d);
  expect_upgrade_refused(v1, 1, "scatter");
  EXPECT_EQ(query(v1, "SELECT count(*) FROM sqlite_master WHERE type = 'view'"),
            std::vector<std::string>{"0"});
  // From version 2 the last column of channels fails, once those of recordings were added.
  expect_upgrade_refused(version2_copy(d), 2, "headroom");
}

TEST(CampaignSchema, ALaterVersionIsRefusedUntouched) {
  temp_dir d;
  std::string db = d / "later.sqlite";
  std::string error;
  ASSERT_TRUE(campaign_db::open(db, error));
  execute(db, "PRAGMA user_version = 5");
  EXPECT_FALSE(campaign_db::open(db, error));
  EXPECT_EQ(error,
            "cannot use database " + db + ": its schema version is 5, this build uses version 4");
}
