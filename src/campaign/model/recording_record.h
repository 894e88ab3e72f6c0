#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fit/channel_fits.h"
#include "fit/rise_time_fit.h"
#include "reconstruction/reconstruct.h"
#include "reconstruction/snapshots.h"

/// Where a stored result came from.
enum class record_source { run, ingest };

/// The stored name of a source: "run" or "ingest".
const char* source_name(record_source s);

/// Everything the campaign database keeps of one recording's analysis.
struct recording_record {
  std::string path;                 ///< absolute path of the recording
  std::optional<int64_t> size;      ///< bytes; empty when the file could not be examined
  std::optional<int64_t> mtime_ns;  ///< modification time, ns since the epoch
  std::optional<std::string> hash;  ///< XXH3-64 of the content, 16 hex digits
  std::string chip, config;         ///< as taken from the name or the manifest
  int status = 1;                   ///< 0 analysed, 1 failed (varnel.exe's statuses)
  std::string message;              ///< why it failed; empty when it did not
  bool retry = false;  ///< it failed for a reason outside the recording: the next run tries again
  std::vector<std::string> notes;    ///< every line the analysis had for standard error
  std::string log_path;              ///< the log written (or due) beside the recording
  reconstruction_summary summary;    ///< event counts of the reconstruction
  configuration_check config_check;  ///< whether another configuration fits much better
  std::string analysed_at;           ///< UTC, ISO 8601
  std::string version;               ///< the version of the build that analysed it
  record_source source = record_source::run;
  std::vector<channel_fit> fits;  ///< by channel, when it was analysed
  snapshot_table points;          ///< by channel, the reconstructed points
};

/// The current time, UTC, as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_now();
