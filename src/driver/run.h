#pragma once

#include <string>
#include <vector>

#include "driver/exit_status.h"
#include "fit/rise_time_fit.h"
#include "messages.h"
#include "reconstruction/analyse_tree.h"

/// What one run of the analysis produced, for the entry points.
struct run_outcome {
  exit_status status = exit_failure;
  std::string log_path;
  reconstruction_summary summary;
  snapshot_table points;          ///< by channel, the reconstructed points
  std::vector<channel_fit> fits;  ///< by channel, once the log has been written
  diagnostics notes;              ///< lines for standard error, in order
};

/// Runs the whole analysis for the arguments chipstring, config and adcfilename: reconstruct,
/// fit, write the log. Prints nothing.
run_outcome run_analysis(const std::string& chipstring, const std::string& config,
                         const std::string& adcfilename);

/// Writes every note as one line on standard error, flushed.
void print_notes(const diagnostics& notes);
