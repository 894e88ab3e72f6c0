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
  recorded_at      TEXT NOT NULL DEFAULT '',
  retry            INTEGER NOT NULL DEFAULT 0,
  common_mode_noise REAL,
  window_gap_events INTEGER,
  looks_like        TEXT NOT NULL DEFAULT '',
  own_misfit        REAL,
  other_misfit      REAL
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
  noise            REAL,
  significance     REAL,
  scatter          REAL,
  seen_height      REAL,
  pulse_points     INTEGER,
  clipped_points   INTEGER,
  fits_run         INTEGER,
  minimised        INTEGER,
  replaced_verdict TEXT,
  misfit           REAL,
  pedestal         REAL,
  headroom         REAL,
  PRIMARY KEY (recording_id, channel)
) WITHOUT ROWID;
CREATE TABLE points (
  recording_id INTEGER NOT NULL REFERENCES recordings (id) ON DELETE CASCADE,
  channel      INTEGER NOT NULL,
  data         BLOB NOT NULL,
  PRIMARY KEY (recording_id, channel)
) WITHOUT ROWID;
)sql";

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
const char* const campaign_views_sql = R"sql(
CREATE VIEW current_recordings AS
SELECT * FROM recordings WHERE id IN (
  SELECT id FROM (
    SELECT id, row_number() OVER (
      PARTITION BY chip, config ORDER BY status = 0 DESC, recorded_at DESC, id DESC) AS turn
    FROM recordings)
  WHERE turn = 1);
CREATE VIEW current_channels AS
SELECT r.chip, r.config, r.path, r.recorded_at, c.*, k.gain, k.gain_err, k."offset",
       k.nonlinearity, k.noise_mV, k.gain_fC, k.noise_e, k.rise_time_spread,
       k.time_stamp_spread
FROM channels c JOIN current_recordings r ON r.id = c.recording_id
LEFT JOIN characterisation k ON k.chip = r.chip AND k.channel = c.channel;
)sql";

// Version 1 lacked the columns at the ends of recordings and channels, and the views.
const char* const campaign_upgrade_from_1_sql = R"sql(
ALTER TABLE recordings ADD COLUMN recorded_at TEXT NOT NULL DEFAULT '';
ALTER TABLE recordings ADD COLUMN retry INTEGER NOT NULL DEFAULT 0;
ALTER TABLE channels ADD COLUMN noise REAL;
ALTER TABLE channels ADD COLUMN significance REAL;
ALTER TABLE channels ADD COLUMN scatter REAL;
ALTER TABLE channels ADD COLUMN seen_height REAL;
ALTER TABLE channels ADD COLUMN pulse_points INTEGER;
ALTER TABLE channels ADD COLUMN clipped_points INTEGER;
ALTER TABLE channels ADD COLUMN fits_run INTEGER;
ALTER TABLE channels ADD COLUMN minimised INTEGER;
ALTER TABLE channels ADD COLUMN replaced_verdict TEXT;
)sql";

// Version 2 lacked the columns after replaced_verdict and retry.
const char* const campaign_upgrade_from_2_sql = R"sql(
ALTER TABLE recordings ADD COLUMN common_mode_noise REAL;
ALTER TABLE recordings ADD COLUMN window_gap_events INTEGER;
ALTER TABLE recordings ADD COLUMN looks_like TEXT NOT NULL DEFAULT '';
ALTER TABLE recordings ADD COLUMN own_misfit REAL;
ALTER TABLE recordings ADD COLUMN other_misfit REAL;
ALTER TABLE channels ADD COLUMN misfit REAL;
ALTER TABLE channels ADD COLUMN pedestal REAL;
ALTER TABLE channels ADD COLUMN headroom REAL;
)sql";
