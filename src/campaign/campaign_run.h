#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "campaign/campaign_db.h"
#include "campaign/recording_discovery.h"

/// How far a run has got.
struct run_progress {
  size_t total = 0;      ///< recordings to analyse in this run (unchanged ones left out)
  size_t done = 0;       ///< analysed and stored
  size_t failed = 0;     ///< of those, the ones whose analysis failed
  double elapsed_s = 0;  ///< since the first analysis started
};

/// What a run did.
struct run_tally {
  size_t analysed = 0;         ///< analysed and stored now, successfully
  size_t failed = 0;           ///< analysed now, failed, stored with their message
  size_t unchanged = 0;        ///< stored before with the same size, time and version; not read
  size_t failed_before = 0;    ///< of the unchanged ones, those stored as failed
  std::string database_error;  ///< set when the database could not store a result; the run stopped
};

/// Called on the calling thread after each recording is stored.
using stored_callback = std::function<void(const recording_record&, const run_progress&)>;

/// Analyses every recording of `found` that `db` does not hold unchanged (same path, size,
/// modification time and `version`), `jobs` (>= 1) at a time on worker threads, and stores each
/// result in its own transaction as it comes. Stops at the first result the database cannot
/// store, with the reason in the tally; what was stored before stays.
run_tally run_campaign(campaign_db& db, const std::vector<found_recording>& found,
                       const std::string& version, int jobs, const stored_callback& on_stored);
