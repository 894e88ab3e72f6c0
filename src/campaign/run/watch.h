#pragma once

#include <functional>
#include <string>
#include <vector>

#include "campaign/judge/acceptance.h"
#include "campaign/run/campaign_run.h"
#include "campaign/run/folder_watcher.h"
#include "campaign/store/campaign_db.h"

/// What a watch follows and how it analyses.
struct watch_settings {
  std::vector<std::string> roots;  ///< absolute folders, followed with the folders below them
  std::string limits_path;         ///< re-read on SIGHUP; empty: the limits stored by a run
  run_settings run;                ///< version, jobs and log folder of the analyses
  watch_mode mode;                 ///< inotify or polling, and the settle time of scans
};

/// Where a watch's lines go, each without its line end.
struct watch_output {
  std::function<void(const std::string&)> result;  ///< verdicts and chips' lines
  std::function<void(const std::string&)> note;    ///< skipped, failed, folders, the database
};

/// One recording's result as stored, for the lines that follow it.
struct stored_result {
  std::string path, chip, config;
  int status = 1;  ///< 0 analysed
};

/// The lines for results just stored, from `verdicts` (each of their chips' in every
/// configuration) and the configurations every chip must pass, `required`: each chip and
/// configuration's verdict_line once, in the order stored, then the chip_line of each of those
/// chips that has a verdict in every required configuration.
std::vector<std::string> result_lines(const std::vector<chip_verdict>& verdicts,
                                      const std::vector<std::string>& required,
                                      const std::vector<stored_result>& stored);

/// Follows `s.roots` into `db` until SIGTERM or SIGINT: catches up on the recordings there,
/// then analyses each as soon as it is complete, stores it and writes its lines. A result the
/// database cannot store (busy past its timeout, a full disk) is said once and tried again,
/// with pauses growing to a minute, until it is stored; a failure outside the recording (a log
/// that cannot be written) is analysed again likewise. SIGHUP re-reads the limits. After a stop
/// signal no analysis starts; the watch returns within 2 s, or the process ends then with
/// nothing half-stored (each result is one transaction). 0 when stopped, 2 when the folders
/// cannot be followed (with the note).
int watch_campaign(campaign_db& db, const watch_settings& s, const watch_output& out);
