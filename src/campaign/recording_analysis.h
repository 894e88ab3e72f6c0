#pragma once

#include <string>

#include "campaign/recording_discovery.h"
#include "campaign/recording_record.h"

/// How old, s, a temporary log must be before a run removes it as left by a killed run; a run
/// at work now renews its file well within this.
inline constexpr int stale_temporary_age_s = 60;

/// Analyses `r` exactly as varnel.exe would (the same log, the same notes) and gathers the result
/// with the file's size, modification time and content hash, stamped with `version`. The log
/// goes beside the recording or, when `log_dir` (absolute) is given, into `log_dir` followed by
/// the recording's absolute folder, created as needed; temporary logs of that name older than
/// stale_temporary_age_s are removed first. A failed analysis comes back with status 1 and its
/// message, and with `retry` set when the cause lies outside the recording's data; it never throws.
/// Safe to call from several threads at once.
recording_record analyse_recording(const found_recording& r, const std::string& version,
                                   const std::string& log_dir = {});
