#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "campaign/run/recording_discovery.h"
#include "campaign/store/campaign_db.h"

/// How long, s, a recording must have been left unmodified before a run analyses it: one
/// modified more recently may still be being written, and is waited for.
inline constexpr double default_settle_s = 5;

/// How a run goes about its recordings.
struct run_settings {
  std::string version;                 ///< stamped on each result; another one analyses anew
  int jobs = 1;                        ///< recordings analysed at a time, >= 1
  double settle_s = default_settle_s;  ///< recordings modified fewer s ago are waited for
  bool retry_failed = false;           ///< every stored failure is analysed again, unchanged too
  std::string log_dir;                 ///< absolute; logs under it, not beside the recordings
};

/// How far a run has got.
struct run_progress {
  size_t total = 0;      ///< recordings to analyse in this run (unchanged ones left out)
  size_t done = 0;       ///< analysed and stored, or left for the next run
  size_t failed = 0;     ///< of those, the ones whose analysis failed
  double elapsed_s = 0;  ///< since the first analysis started
};

/// What a run did.
struct run_tally {
  size_t analysed = 0;         ///< analysed and stored now, successfully
  size_t failed = 0;           ///< analysed now, failed, stored with their message
  size_t unchanged = 0;        ///< stored before with the same size, time and version; not read
  size_t failed_before = 0;    ///< of the unchanged ones, those stored as failed
  size_t waiting = 0;          ///< left for the next run, not stored: maybe still being written
  std::string database_error;  ///< set when the database could not store a result; the run stopped
};

/// A recording left for the next run, and why ("modified 2 s ago").
struct waiting_recording {
  std::string path;
  std::string reason;
};

/// Called on the calling thread after each recording is stored.
using stored_callback = std::function<void(const recording_record&, const run_progress&)>;
/// Called on the calling thread for each recording left for the next run.
using waiting_callback = std::function<void(const waiting_recording&)>;

/// Analyses every recording of `found` that `db` does not hold unchanged (same path, size,
/// modification time and version, and not stored with `retry`), `s.jobs` at a time on worker
/// threads, and stores each result in its own transaction as it comes. A recording modified
/// less than `s.settle_s` seconds before its turn is waited for, on its worker, until it has been
/// left alone that long; one that changed again in that time, whose modification time is in the
/// future, or whose size or modification time changed while it was analysed, is not stored but
/// left for the next run. Stops at the first result the
/// database cannot store, with the reason in the tally; what was stored before stays.
run_tally run_campaign(campaign_db& db, const std::vector<found_recording>& found,
                       const run_settings& s, const stored_callback& on_stored,
                       const waiting_callback& on_waiting);
