#pragma once

#include <string>

#include "campaign/model/recording_record.h"
#include "campaign/run/recording_discovery.h"

/// Analyses `r` exactly as varnel.exe would (the same log, the same notes) and gathers the result
/// with the file's size, modification time and content hash, stamped with `version`. The log
/// goes beside the recording or, when `log_dir` (absolute) is given, into `log_dir` followed by
/// the recording's absolute folder, created as needed; temporary logs of that name whose writer is
/// gone (remove_stale_temporaries) are removed first. A failed analysis comes back with status 1
/// and its message, and with `retry` set when the cause lies outside the recording's data; it never
/// throws. Safe to call from several threads at once.
recording_record analyse_recording(const found_recording& r, const std::string& version,
                                   const std::string& log_dir = {});
