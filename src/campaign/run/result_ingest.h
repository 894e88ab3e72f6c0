#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "campaign/model/recording_record.h"
#include "campaign/run/manifest.h"

/// The largest result file read, bytes: a result of 32 channels with their points is well under
/// a megabyte.
inline constexpr uintmax_t max_result_bytes = uintmax_t{64} << 20;

/// Reads one result made elsewhere: the JSON varnel-plot writes beside a log, for a run that
/// succeeded or failed (read_run_json, plot/run_json.h). The recording's path is the JSON's
/// "input"; a relative one is taken from the JSON's folder, where varnel-plot writes beside the
/// recording. The result is taken only when it describes that recording: a regular file named
/// like a recording (or listed in `manifest`), whose chip and configuration are the result's,
/// whose size and content hash are the ones the result carries; with status 0 and exactly 32
/// channels or status 1 and none. Size and time then come from the recording. False, with a
/// one-line reason, otherwise, and when the file cannot be read, exceeds max_result_bytes, or
/// lacks a field or holds one out of its range.
bool read_result(const std::string& json_path, const std::string& version,
                 const std::vector<manifest_entry>& manifest, recording_record& r,
                 std::string& error);

/// The result files under `paths`: files as given, folders searched for "*.json"; sorted.
/// Paths that cannot be read are added to `unreadable` with the reason.
std::vector<std::string> find_results(const std::vector<std::string>& paths,
                                      std::vector<std::pair<std::string, std::string>>& unreadable);
