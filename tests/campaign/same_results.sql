-- Differences between the campaign database opened as main and the one attached as b, in what
-- both a local run and an ingest of cluster results store: one line "recordings|channels|points"
-- with the number of rows either side lacks; "0|0|0" when they hold the same results.
CREATE TEMP VIEW ra AS SELECT path, size, mtime_ns, content_hash, chip, config, status,
  message, notes, log_path, values_read, rows_handled, events_started, events_completed, version, recorded_at
  FROM main.recordings;
CREATE TEMP VIEW rb AS SELECT path, size, mtime_ns, content_hash, chip, config, status,
  message, notes, log_path, values_read, rows_handled, events_started, events_completed, version, recorded_at
  FROM b.recordings;
CREATE TEMP VIEW ca AS SELECT r.path, c.channel, c.rise_time, c.rise_time_err, c.amplitude,
  c.amplitude_err, c.time_stamp, c.time_stamp_err, c.chi2, c.ndf, c.usable_points,
  c.fitted_points, c.converged, c.verdict, c.fit_min, c.fit_max, c.noise, c.significance,
  c.scatter, c.seen_height, c.pulse_points, c.clipped_points, c.fits_run, c.minimised,
  c.replaced_verdict
  FROM main.channels c JOIN main.recordings r ON r.id = c.recording_id;
CREATE TEMP VIEW cb AS SELECT r.path, c.channel, c.rise_time, c.rise_time_err, c.amplitude,
  c.amplitude_err, c.time_stamp, c.time_stamp_err, c.chi2, c.ndf, c.usable_points,
  c.fitted_points, c.converged, c.verdict, c.fit_min, c.fit_max, c.noise, c.significance,
  c.scatter, c.seen_height, c.pulse_points, c.clipped_points, c.fits_run, c.minimised,
  c.replaced_verdict
  FROM b.channels c JOIN b.recordings r ON r.id = c.recording_id;
CREATE TEMP VIEW pa AS SELECT r.path, p.channel, p.data
  FROM main.points p JOIN main.recordings r ON r.id = p.recording_id;
CREATE TEMP VIEW pb AS SELECT r.path, p.channel, p.data
  FROM b.points p JOIN b.recordings r ON r.id = p.recording_id;
SELECT
  (SELECT count(*) FROM (SELECT * FROM ra EXCEPT SELECT * FROM rb)) +
  (SELECT count(*) FROM (SELECT * FROM rb EXCEPT SELECT * FROM ra)),
  (SELECT count(*) FROM (SELECT * FROM ca EXCEPT SELECT * FROM cb)) +
  (SELECT count(*) FROM (SELECT * FROM cb EXCEPT SELECT * FROM ca)),
  (SELECT count(*) FROM (SELECT * FROM pa EXCEPT SELECT * FROM pb)) +
  (SELECT count(*) FROM (SELECT * FROM pb EXCEPT SELECT * FROM pa));
