#include "campaign/store/campaign_schema.h"

#include "fit/channel_fields.h"

namespace {

// The recordings, each told apart by where it was analysed (analysed_on, the machine's name)
// and its path, and one file (its path, size and content) stored once whichever machine
// analysed it. {{name}} is the table's name, another while the table is made again.
const char* const recordings_template = R"sql(
CREATE TABLE {{name}} (
  id               INTEGER PRIMARY KEY,
  path             TEXT NOT NULL,
  size             INTEGER,
  mtime_ns         INTEGER,
  content_hash     TEXT,
  chip             TEXT NOT NULL,
  config           TEXT NOT NULL,
  status           INTEGER NOT NULL,
  message          TEXT NOT NULL,
  notes            TEXT NOT NULL,
  log_path         TEXT NOT NULL,
  values_read      INTEGER NOT NULL,
  rows_handled     INTEGER NOT NULL,
  events_started   INTEGER NOT NULL,
  events_completed INTEGER NOT NULL,
  analysed_at      TEXT NOT NULL,
  version          TEXT NOT NULL,
  source           TEXT NOT NULL,
  recorded_at      TEXT NOT NULL DEFAULT '',
  retry            INTEGER NOT NULL DEFAULT 0,
  common_mode_noise REAL,
  window_gap_events INTEGER,
  looks_like        TEXT NOT NULL DEFAULT '',
  own_misfit        REAL,
  other_misfit      REAL,
  reading_end       TEXT NOT NULL DEFAULT 'end_of_input',
  analysed_on       TEXT NOT NULL DEFAULT ''
);
)sql";

// docs/campaign.md describes every column; keep the two in step.
const char* const campaign_schema_template = R"sql(
CREATE TABLE meta (
  key   TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
{{recordings}}
{{channels}}
CREATE TABLE points (
  recording_id INTEGER NOT NULL REFERENCES recordings (id) ON DELETE CASCADE,
  channel      INTEGER NOT NULL,
  data         BLOB NOT NULL,
  PRIMARY KEY (recording_id, channel)
) WITHOUT ROWID;
)sql";

}  // namespace

// Each chip's channels across configurations, which the views join.
const char* const campaign_characterisation_sql = R"sql(
CREATE TABLE characterisation (
  chip              TEXT NOT NULL,
  channel           INTEGER NOT NULL,
  configurations    INTEGER NOT NULL,
  gain              REAL,
  gain_err          REAL,
  "offset"          REAL,
  nonlinearity      REAL,
  noise_mV          REAL,
  gain_fC           REAL,
  noise_e           REAL,
  rise_time_spread  REAL,
  time_stamp_spread REAL,
  reason            TEXT NOT NULL,
  PRIMARY KEY (chip, channel)
) WITHOUT ROWID;
)sql";

// The recording that counts for each chip and configuration: an analysed one before a failed
// one, then the latest by the recording's own time (recorded_at), then the latest stored.
#define CURRENT_RECORDING_ORDER "status = 0 DESC, recorded_at DESC, id DESC"

const char* const campaign_views_sql = R"sql(
CREATE VIEW current_recordings AS
SELECT * FROM recordings WHERE id IN (
  SELECT id FROM (
    SELECT id, row_number() OVER (
      PARTITION BY chip, config ORDER BY )sql" CURRENT_RECORDING_ORDER R"sql() AS turn
    FROM recordings) AS ranked
  WHERE turn = 1);
CREATE VIEW current_channels AS
SELECT r.chip, r.config, r.path, r.recorded_at, c.*, k.gain, k.gain_err, k."offset",
       k.nonlinearity, k.noise_mV, k.gain_fC, k.noise_e, k.rise_time_spread,
       k.time_stamp_spread
FROM channels c JOIN current_recordings r ON r.id = c.recording_id
LEFT JOIN characterisation k ON k.chip = r.chip AND k.channel = c.channel;
)sql";

const char* const campaign_drop_views_sql = R"sql(
DROP VIEW IF EXISTS current_channels;
DROP VIEW IF EXISTS current_recordings;
)sql";

const char* const campaign_recordings_indexes_sql = R"sql(
CREATE INDEX recordings_chip_config ON recordings (chip, config);
CREATE UNIQUE INDEX recordings_where ON recordings (analysed_on, path);
CREATE UNIQUE INDEX recordings_file ON recordings (path, content_hash, size);
)sql";

namespace {

// Version 1 lacked the columns at the end of recordings, those of channel_fields() since 2,
// and the views.
const char* const recordings_upgrade_from_1_sql = R"sql(
ALTER TABLE recordings ADD COLUMN recorded_at TEXT NOT NULL DEFAULT '';
ALTER TABLE recordings ADD COLUMN retry INTEGER NOT NULL DEFAULT 0;
)sql";

// Version 2 lacked the columns after retry, and those of channel_fields() since 3.
const char* const recordings_upgrade_from_2_sql = R"sql(
ALTER TABLE recordings ADD COLUMN common_mode_noise REAL;
ALTER TABLE recordings ADD COLUMN window_gap_events INTEGER;
ALTER TABLE recordings ADD COLUMN looks_like TEXT NOT NULL DEFAULT '';
ALTER TABLE recordings ADD COLUMN own_misfit REAL;
ALTER TABLE recordings ADD COLUMN other_misfit REAL;
ALTER TABLE recordings ADD COLUMN reading_end TEXT NOT NULL DEFAULT 'end_of_input';
UPDATE recordings SET reading_end = CASE
  WHEN notes LIKE '%Reading stopped at value %: not a number.%' THEN 'not_a_number'
  WHEN notes LIKE '%Reading stopped at value %: number out of range.%' THEN 'out_of_range'
  ELSE 'end_of_input' END;
)sql";

const char* column_type(const channel_field& f) {
  switch (f.type) {
    case field_type::real:
      return "REAL";
    case field_type::count:
    case field_type::flag:
      return "INTEGER";
    case field_type::verdict:
    case field_type::optional_verdict:
      break;
  }
  return "TEXT";
}

// "name TYPE", with NOT NULL for the first version's counts, flags and verdict.
std::string column_definition(const channel_field& f) {
  std::string d = std::string(f.name) + " " + column_type(f);
  if (f.since == 1 && f.type != field_type::real) d += " NOT NULL";
  return d;
}

std::string channels_table() {
  std::string sql =
      "CREATE TABLE channels (\n"
      "  recording_id   INTEGER NOT NULL REFERENCES recordings (id) ON DELETE CASCADE,\n"
      "  channel        INTEGER NOT NULL,\n";
  for (const channel_field& f : channel_fields()) sql += "  " + column_definition(f) + ",\n";
  return sql + "  PRIMARY KEY (recording_id, channel)\n) WITHOUT ROWID;";
}

// The columns a database of version `from` lacks of those it will have at version `from` + 1.
std::string channel_columns_added(int from) {
  std::string sql;
  for (const channel_field& f : channel_fields())
    if (f.since == from + 1)
      sql += "ALTER TABLE channels ADD COLUMN " + column_definition(f) + ";\n";
  return sql;
}

}  // namespace

namespace {

std::string replaced(std::string text, const std::string& marker, const std::string& by) {
  return text.replace(text.find(marker), marker.size(), by);
}

}  // namespace

std::string campaign_recordings_sql(const std::string& name) {
  return replaced(recordings_template, "{{name}}", name);
}

std::string current_recordings_where(const std::string& where) {
  return "SELECT * FROM recordings WHERE id IN (SELECT id FROM (SELECT id, row_number() OVER "
         "(PARTITION BY chip, config ORDER BY " CURRENT_RECORDING_ORDER
         ") AS turn FROM recordings WHERE " +
         where + ") AS ranked WHERE turn = 1)";
}

std::string campaign_schema_sql() {
  std::string sql =
      replaced(campaign_schema_template, "{{recordings}}",
               campaign_recordings_sql("recordings") + campaign_recordings_indexes_sql);
  return replaced(sql, "{{channels}}", channels_table());
}

std::string campaign_upgrade_from_1_sql() {
  return recordings_upgrade_from_1_sql + channel_columns_added(1);
}

std::string campaign_upgrade_from_2_sql() {
  return recordings_upgrade_from_2_sql + channel_columns_added(2);
}

std::vector<std::string> channel_column_names() {
  std::vector<std::string> names = {"recording_id", "channel"};
  for (const channel_field& f : channel_fields()) names.push_back(f.name);
  return names;
}
