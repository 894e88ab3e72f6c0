// A database of schema version 1, made by the version that wrote it, upgraded in place.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <filesystem>

#include "campaign/campaign_db.h"
#include "campaign/campaign_support.h"

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

// A database that version 1 of varnel-campaign wrote (three chips' recordings and a corrupt
// one), restored from its SQL dump.
std::string version1_copy(const temp_dir& d) {
  std::string copy = d / "v1.sqlite";
  std::optional<std::string> dump = read_file(VARNEL_CAMPAIGN_V1_DB);
  if (!dump) throw std::runtime_error("cannot read " VARNEL_CAMPAIGN_V1_DB);
  execute(copy, dump->c_str());
  return copy;
}

}  // namespace

TEST(CampaignSchema, AVersion1DatabaseIsUpgradedInPlaceKeepingEveryResult) {
  temp_dir d;
  std::string v1 = version1_copy(d);
  std::vector<std::string> before =
      query(v1,
            "SELECT r.path, r.status, c.channel, c.rise_time, c.amplitude_err, c.verdict FROM "
            "channels c JOIN recordings r ON r.id = c.recording_id ORDER BY r.path, c.channel");
  ASSERT_EQ(before.size(), 3u * 32u);
  std::string error;
  ASSERT_TRUE(campaign_db::open(v1, error)) << error;
  EXPECT_EQ(query(v1, "PRAGMA user_version"), std::vector<std::string>{"2"});
  EXPECT_EQ(query(v1, "SELECT value FROM meta WHERE key = 'schema_version'"),
            std::vector<std::string>{"2"});
  std::string fresh = d / "fresh.sqlite";
  ASSERT_TRUE(campaign_db::open(fresh, error)) << error;
  for (const char* table :
       {"recordings", "channels", "points", "meta", "characterisation", "current_channels"})
    EXPECT_EQ(columns(v1, table), columns(fresh, table)) << table;
  EXPECT_EQ(query(v1,
                  "SELECT r.path, r.status, c.channel, c.rise_time, c.amplitude_err, "
                  "c.verdict FROM channels c JOIN recordings r ON r.id = c.recording_id "
                  "ORDER BY r.path, c.channel"),
            before);
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
}

TEST(CampaignSchema, AnUpgradeThatFailsPartWayLeavesTheDatabaseAsItWas) {
  temp_dir d;
  std::string v1 = version1_copy(d);
  // A column the upgrade adds, already there: its ALTER fails after several others succeeded.
  execute(v1, "ALTER TABLE channels ADD COLUMN scatter REAL");
  std::vector<std::string> recordings = columns(v1, "recordings"),
                           channels = columns(v1, "channels");
  std::string error;
  EXPECT_FALSE(campaign_db::open(v1, error));
  EXPECT_EQ(error, "cannot use database " + v1 +
                       ": its schema version is 1 and upgrading it to version 2 failed, nothing "
                       "was changed: duplicate column name: scatter");
  EXPECT_EQ(query(v1, "PRAGMA user_version"), std::vector<std::string>{"1"});
  EXPECT_EQ(columns(v1, "recordings"), recordings);
  EXPECT_EQ(columns(v1, "channels"), channels);
  EXPECT_EQ(query(v1, "SELECT count(*) FROM sqlite_master WHERE type = 'view'"),
            std::vector<std::string>{"0"});
}

TEST(CampaignSchema, ALaterVersionIsRefusedUntouched) {
  temp_dir d;
  std::string db = d / "later.sqlite";
  std::string error;
  ASSERT_TRUE(campaign_db::open(db, error));
  execute(db, "PRAGMA user_version = 3");
  EXPECT_FALSE(campaign_db::open(db, error));
  EXPECT_EQ(error,
            "cannot use database " + db + ": its schema version is 3, this build uses version 2");
}
