#include "campaign/campaign_schema.h"

// docs/campaign.md describes every column; keep the two in step.
const char* const campaign_schema_sql = R"sql(
CREATE TABLE meta (
  key   TEXT PRIMARY KEY,
  value TEXT NOT NULL
);
CREATE TABLE recordings (
  id               INTEGER PRIMARY KEY,
  path             TEXT NOT NULL UNIQUE,
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
  retry            INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX recordings_chip_config ON recordings (chip, config);
CREATE TABLE channels (
  recording_id   INTEGER NOT NULL REFERENCES recordings (id) ON DELETE CASCADE,
  channel        INTEGER NOT NULL,
  rise_time      REAL,
  rise_time_err  REAL,
  amplitude      REAL,
  amplitude_err  REAL,
  time_stamp     REAL,
  time_stamp_err REAL,
  chi2           REAL,
  ndf            INTEGER NOT NULL,
  usable_points  INTEGER NOT NULL,
  fitted_points  INTEGER NOT NULL,
  converged      INTEGER NOT NULL,
  verdict        TEXT NOT NULL,
  fit_min        REAL,
  fit_max        REAL,
  PRIMARY KEY (recording_id, channel)
) WITHOUT ROWID;
CREATE TABLE points (
  recording_id INTEGER NOT NULL REFERENCES recordings (id) ON DELETE CASCADE,
  channel      INTEGER NOT NULL,
  data         BLOB NOT NULL,
  PRIMARY KEY (recording_id, channel)
) WITHOUT ROWID;
)sql";
