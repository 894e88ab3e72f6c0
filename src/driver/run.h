#pragma once

#include <string>
#include <vector>

#include "common/diagnostics.h"
#include "driver/exit_status.h"
#include "driver/run_config.h"
#include "fit/channel_fits.h"
#include "fit/rise_time_fit.h"
#include "reconstruction/reconstruct.h"
#include "reconstruction/snapshots.h"

/// Everything one analysis of one recording produced.
struct run_outcome {
  exit_status status = exit_failure;  ///< exit_success once the log is written
  std::string log_path;               ///< where the log goes
  run_config config;                  ///< what the configuration name selected
  reconstruction_summary summary;     ///< what reading and framing saw
  snapshot_table points;              ///< by channel, the reconstructed points
  std::vector<channel_fit> fits;      ///< by channel, once reconstruction succeeded
  diagnostics notes;                  ///< lines for standard error, in order
  configuration_check config_check;   ///< whether another configuration fits much better
  /// On failure: the recording's file or its log could not be opened, read or written, so the
  /// data is not at fault and another run may succeed; false when the data is.
  bool outside_recording = false;
};

/// Analyses the recording `adcfilename` under the configuration named `config`: reconstructs
/// it, fits every channel and writes the log for `chipstring` whole or not at all, beside it or,
/// when `log_folder` is given, in that folder (which must exist).
/// Prints nothing and touches no global state, so several threads may run it at once on
/// different recordings. The channels are fitted on up to `fit_threads` threads; the outcome
/// does not depend on how many. With `on_bytes` the recording is read on one thread and every
/// byte read passes through it, in order (see reconstruct_file). On failure the status is
/// exit_failure and the notes say why.
run_outcome run_analysis(const std::string& chipstring, const std::string& config,
                         const std::string& adcfilename, int fit_threads = 1,
                         const std::string& log_folder = {}, const byte_observer& on_bytes = {});
