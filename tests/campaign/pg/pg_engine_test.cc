// The two engines in-process: what one store gives back, value for value, on either, and the
// change counter a reader polls.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "campaign/campaign_support.h"
#include "campaign/pg/pg_support.h"
#include "campaign/store/campaign_db.h"
#include "campaign/store/machine_name.h"

namespace {

// A recording whose values test the edges of a round trip: a 64-bit time, NaN and infinite
// figures (stored as NULL), doubles that need all 17 digits, text with quotes and a `?`.
recording_record edge_record() {
  recording_record r;
  r.path = "/data/it's a ? path_adc.txt";
  r.size = 123456789012;
  r.mtime_ns = 1712345678901234567;
  r.hash = "0123456789abcdef";
  r.chip = "100001";
  r.config = "20mV_delay-all";
  r.status = 0;
  r.notes = {"first", "second with \"quotes\""};
  r.analysed_at = "2026-01-02T03:04:05Z";
  r.version = "test";
  r.summary.common_mode_noise = std::numeric_limits<double>::quiet_NaN();
  r.fits.resize(32);
  r.points.resize(32);
  for (size_t ch = 0; ch < 32; ++ch) {
    r.fits[ch].amplitude = 0.1 + static_cast<double>(ch) / 3.0;
    r.fits[ch].chi2 = std::numeric_limits<double>::infinity();
    r.fits[ch].ndf = static_cast<int>(ch);
    r.points[ch] = {{1.0 / 7.0, {-2.5e-300, 1e300}}, {static_cast<double>(ch), {0.0, -0.0}}};
  }
  return r;
}

// The stored recording `r` as read back from `target`, with its points.
stored_recording stored_back(const std::string& target, const recording_record& r,
                             snapshot_table& points) {
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(target, error);
  EXPECT_TRUE(db) << error;
  std::vector<stored_recording> loaded;
  EXPECT_TRUE(db && db->store(r, error) && db->load_recordings(loaded, error)) << error;
  EXPECT_EQ(loaded.size(), 1u);
  if (loaded.empty()) return {};
  EXPECT_TRUE(db->load_points(loaded[0].id, points, error)) << error;
  return loaded[0];
}

}  // namespace

TEST(PgEngine, AStoredRecordingComesBackValueForValueAsFromSqlite) {
  temp_dir d;
  recording_record r = edge_record();
  snapshot_table pg_points, file_points;
  stored_recording pg = stored_back(fresh_database("edges"), r, pg_points);
  stored_recording file = stored_back(d / "edges.sqlite", r, file_points);
  EXPECT_EQ(pg.path, r.path);
  EXPECT_EQ(pg.mtime_ns, r.mtime_ns);
  EXPECT_EQ(pg.notes, "first\nsecond with \"quotes\"");
  EXPECT_TRUE(std::isnan(pg.common_mode_noise));
  ASSERT_EQ(pg.channels.size(), 32u);
  ASSERT_EQ(file.channels.size(), 32u);
  for (size_t ch = 0; ch < 32; ++ch) {
    EXPECT_EQ(pg.channels[ch].fit.amplitude, r.fits[ch].amplitude) << ch;
    EXPECT_EQ(pg.channels[ch].fit.amplitude, file.channels[ch].fit.amplitude) << ch;
    EXPECT_TRUE(std::isnan(pg.channels[ch].fit.chi2)) << ch;
    EXPECT_EQ(pg.channels[ch].fit.ndf, file.channels[ch].fit.ndf) << ch;
  }
  EXPECT_EQ(pg_points, r.points);
  EXPECT_EQ(file_points, r.points);
}

TEST(PgEngine, EveryWriteMovesTheChangeCounterOfTheOtherConnectionsOnly) {
  std::string target = fresh_database("counter");
  std::string error;
  std::optional<campaign_db> writer = campaign_db::open(target, error);
  std::optional<campaign_db> reader = campaign_db::open_read_only(target, error);
  ASSERT_TRUE(writer && reader) << error;
  std::optional<int64_t> first = reader->data_version();
  ASSERT_TRUE(first);
  std::vector<stored_recording> loaded;
  ASSERT_TRUE(reader->load_recordings(loaded, error)) << error;
  EXPECT_EQ(reader->data_version(), first);
  std::optional<int64_t> own = writer->data_version();
  ASSERT_TRUE(writer->store(edge_record(), error)) << error;
  std::optional<int64_t> second = reader->data_version();
  EXPECT_TRUE(second && *second > *first);
  ASSERT_TRUE(writer->set_meta("note", "x", error)) << error;
  EXPECT_GT(reader->data_version().value_or(0), second.value_or(0));
  EXPECT_EQ(reader->meta("note"), "x");
  // The writer's own commits leave its number as it was, as SQLite's does; another
  // connection's move it.
  EXPECT_EQ(writer->data_version(), own);
  std::optional<campaign_db> other = campaign_db::open(target, error);
  ASSERT_TRUE(other && other->set_meta("other", "y", error)) << error;
  EXPECT_NE(writer->data_version(), own);
}

// A store's statements go to the server without waiting for each answer; one refused half-way
// (here by a trigger, on the channels and then on the points) must leave none of the recording,
// report that refusal on one line, and leave the connection fit for the next store.
TEST(PgEngine, AStoreRefusedHalfWayLeavesNoneOfItAndTheNextStoreWorks) {
  std::string target = fresh_database("halfway");
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(target, error);
  ASSERT_TRUE(db) << error;
  pg_query(target,
           "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS "
           "$$BEGIN RAISE EXCEPTION 'refused by the test'; END$$");
  const std::string counts =
      "SELECT (SELECT count(*) FROM recordings), (SELECT count(*) FROM channels), "
      "(SELECT count(*) FROM points), "
      "(SELECT coalesce(max(value), 'none') FROM meta WHERE key = 'generation')";
  for (const char* table : {"channels", "points"}) {
    SCOPED_TRACE(table);
    pg_query(target, std::string("CREATE TRIGGER refuse BEFORE INSERT ON ") + table +
                         " FOR EACH ROW EXECUTE FUNCTION refuse()");
    error.clear();
    EXPECT_FALSE(db->store(edge_record(), error));
    EXPECT_NE(error.find("refused by the test"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(pg_query(target, counts), std::vector<std::string>{"0|0|0|none"});
    pg_query(target, std::string("DROP TRIGGER refuse ON ") + table);
  }
  ASSERT_TRUE(db->store(edge_record(), error)) << error;
  EXPECT_EQ(pg_query(target, counts), std::vector<std::string>{"1|32|32|1"});
  std::vector<stored_recording> loaded;
  ASSERT_TRUE(db->load_recordings(loaded, error)) << error;
  ASSERT_EQ(loaded.size(), 1u);
  EXPECT_EQ(loaded[0].channels.size(), 32u);
}

// The server keeps no reference of a channel or a point to its recording: a recording stored
// again, on the same machine or, for the same file, on another, must take its old channels and
// points with it, on a campaign made so and on one made with the references (an earlier build's).
TEST(PgEngine, ARecordingStoredAgainLeavesOnlyItsNewChannelsAndPoints) {
  const std::string counts =
      "SELECT (SELECT count(*) FROM recordings), (SELECT count(*) FROM channels), "
      "(SELECT count(*) FROM points), (SELECT count(*) FROM channels WHERE recording_id NOT IN "
      "(SELECT id FROM recordings)), (SELECT count(*) FROM points WHERE recording_id NOT IN "
      "(SELECT id FROM recordings))";
  for (bool with_references : {false, true}) {
    SCOPED_TRACE(with_references ? "with references" : "without");
    std::string target = fresh_database(with_references ? "again_refs" : "again");
    std::string error;
    std::optional<campaign_db> bench_a = campaign_db::open(target, error);
    ASSERT_TRUE(bench_a) << error;
    if (with_references)
      for (const char* table : {"channels", "points"})
        pg_query(target, std::string("ALTER TABLE ") + table +
                             " ADD FOREIGN KEY (recording_id) REFERENCES recordings (id) ON "
                             "DELETE CASCADE");
    recording_record r = edge_record();
    ASSERT_TRUE(bench_a->store(r, error)) << error;
    r.fits[0].amplitude = 42.0;
    ASSERT_TRUE(bench_a->store(r, error)) << error;
    EXPECT_EQ(pg_query(target, counts), std::vector<std::string>{"1|32|32|0|0"});
    ::setenv(machine_variable, "bench-b", 1);
    std::optional<campaign_db> bench_b = campaign_db::open(target, error);
    ::unsetenv(machine_variable);
    ASSERT_TRUE(bench_b) << error;
    r.fits[0].amplitude = 43.0;
    ASSERT_TRUE(bench_b->store(r, error)) << error;
    EXPECT_EQ(pg_query(target, counts), std::vector<std::string>{"1|32|32|0|0"});
    EXPECT_EQ(pg_query(target, "SELECT amplitude FROM channels WHERE channel = 0"),
              std::vector<std::string>{"43"});
  }
}
