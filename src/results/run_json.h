#pragma once

#include <cstdint>
#include <istream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/diagnostics.h"
#include "results/file_identity.h"
#include "results/plot_run.h"

// The JSON of one run, written beside its log by varnel-plot and read back by whatever gathers
// results (the campaign's ingest). Writing and reading live here together so that the format
// has one definition.

/// The run as JSON: input and log paths, the recording's "size" (bytes) and "content_hash"
/// (null when unknown), chipstring, configuration, what reading and framing saw
/// (values read, rows handled, events started and completed, the common-mode noise, the events
/// with a gap in their first pulse window), the configuration check, the run's notes, and per
/// channel the six fit results ("rise_time" the fit's peak_time), fit statistics (misfit,
/// pedestal and headroom among them), verdict and every reconstructed point. A NaN or infinite
/// number becomes null.
nlohmann::json run_json(const plot_run& run);

/// run_json(run) as indented text, newline-ended; strings that are not UTF-8 are written with
/// replacement characters (json_text).
std::string run_json_text(const plot_run& run);

/// The record of a run of `chipstring`, `config`, `adcfilename` that ended with the non-zero
/// exit `status`: those three, the recording's `content` (size and hash, null when unknown), the
/// status, its `notes` and as "message" the last of them; no channels.
nlohmann::json failure_json(const std::string& chipstring, const std::string& config,
                            const std::string& adcfilename, int status, const diagnostics& notes,
                            const recording_content& content = {});

/// failure_json(...) as indented text, newline-ended; strings that are not UTF-8 are written
/// with replacement characters (json_text).
std::string failure_json_text(const std::string& chipstring, const std::string& config,
                              const std::string& adcfilename, int status, const diagnostics& notes,
                              const recording_content& content = {});

/// A run's JSON as read back: the results of a run that succeeded, or a failure record.
struct stored_run {
  std::string input;                 ///< the recording's path as the run was given it
  recording_content content;         ///< its size and hash; empty in results of earlier builds
  std::string log_path;              ///< the log written; empty in a failure record
  std::string chipstring;            ///< the chip's name as given
  std::string config;                ///< the configuration name as given
  int status = 0;                    ///< the run's exit status; 0 when it succeeded
  std::string message;               ///< why it failed; empty when it did not
  diagnostics notes;                 ///< the run's lines for standard error
  reconstruction_summary summary;    ///< what reading and framing saw (the counts the JSON keeps)
  configuration_check config_check;  ///< whether another configuration fits much better
  std::vector<channel_fit> fits;     ///< by channel; empty in a failure record
  snapshot_table points;             ///< by channel, the reconstructed points
};

/// Reads JSON written by run_json_text or failure_json_text, or by an earlier build (the rise
/// time as "peak_time"; counts and channel statistics it lacks read as 0 or NaN, a missing
/// verdict as good, a missing configuration check as none, its misfits NaN). False, with a one-line
/// reason in `error`, when it is not JSON or a field is missing or of the wrong type.
bool read_run_json(std::istream& in, stored_run& run, std::string& error);
