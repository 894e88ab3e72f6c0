#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/run.h"
#include "driver/run_config.h"
#include "fit/rise_time_fit.h"
#include "reconstruction/snapshots.h"
#include "results/file_identity.h"

/// Everything the pictures and the JSON of one successful run show.
struct plot_run {
  std::string chipstring;            ///< the chip's name as given
  std::string config;                ///< the configuration name as given
  run_config parameters;             ///< what that name selects
  std::string adcfilename;           ///< the input path as given
  recording_content content;         ///< the recording's size and hash as the run read it
  std::string log_path;              ///< the log the run wrote
  int64_t events_completed = 0;      ///< events that reached their closing row
  reconstruction_summary summary;    ///< everything reading and framing saw
  diagnostics notes;                 ///< the run's lines for standard error
  configuration_check config_check;  ///< whether another configuration fits much better
  std::vector<channel_fit> fits;     ///< by channel
  snapshot_table points;             ///< the reconstructed points, by channel
};

/// The plot_run of a run of `chipstring`, `config`, `adcfilename` that produced `outcome`;
/// copies, so later runs do not change it.
plot_run make_plot_run(const std::string& chipstring, const std::string& config,
                       const std::string& adcfilename, const run_outcome& outcome);

/// `log_path` with its ".log" ending replaced by `extension` (".png"); without that ending the
/// extension is appended.
std::string output_path(const std::string& log_path, const std::string& extension);

/// Whether `p` entered the fit: its error is above min_usable_error.
bool is_usable(const snapshot_point& p);
