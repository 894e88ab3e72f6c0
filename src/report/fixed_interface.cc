#include "report/fixed_interface.h"

#include "fit/channel_fits.h"
#include "reconstruction/fixed_interface.h"
#include "report/log_file.h"

bool rise_time_vs_channel(const std::string& log_path, double peak_time_guess, diagnostics& notes) {
  log_file log(log_path);
  if (!log.open(notes)) return false;
  return log.commit(fit_all_channels(snapshots, peak_time_guess, events_not_counted, notes), notes);
}
