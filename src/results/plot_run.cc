#include "results/plot_run.h"

plot_run make_plot_run(const std::string& chipstring, const std::string& config,
                       const std::string& adcfilename, const run_outcome& outcome) {
  plot_run run;
  run.chipstring = chipstring;
  run.config = config;
  run.parameters = outcome.config;
  run.adcfilename = adcfilename;
  run.log_path = outcome.log_path;
  run.events_completed = outcome.summary.events_completed;
  run.summary = outcome.summary;
  run.notes = outcome.notes;
  run.config_check = outcome.config_check;
  run.fits = outcome.fits;
  run.points = outcome.points;
  return run;
}

std::string output_path(const std::string& log_path, const std::string& extension) {
  const std::string log_ending = ".log";
  if (log_path.size() >= log_ending.size() &&
      log_path.compare(log_path.size() - log_ending.size(), log_ending.size(), log_ending) == 0)
    return log_path.substr(0, log_path.size() - log_ending.size()) + extension;
  return log_path + extension;
}

bool is_usable(const snapshot_point& p) {
  return p.second.second > min_usable_error;
}
