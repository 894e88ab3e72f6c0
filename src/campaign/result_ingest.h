#pragma once

#include <string>
#include <vector>

#include "campaign/recording_record.h"

/// Reads one result made elsewhere: the JSON varnel-plot writes beside a log, for a run that
/// succeeded or failed (read_run_json, plot/run_json.h). The recording's path is
/// the JSON's "input"; a relative one is taken from the JSON's folder, where varnel-plot writes
/// beside the recording. Size, time and hash come from the recording when it is there.
/// False, with a one-line reason, when the file cannot be read or lacks a field.
bool read_result(const std::string& json_path, const std::string& version, recording_record& r,
                 std::string& error);

/// The result files under `paths`: files as given, folders searched for "*.json"; sorted.
/// Paths that cannot be read are added to `unreadable` with the reason.
std::vector<std::string> find_results(const std::vector<std::string>& paths,
                                      std::vector<std::pair<std::string, std::string>>& unreadable);
