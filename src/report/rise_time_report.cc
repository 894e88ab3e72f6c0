#include "report/rise_time_report.h"

#include <sstream>

#include "reconstruction/recording_format.h"
#include "reconstruction/snapshots.h"
#include "report/atomic_file.h"

std::vector<channel_result> fit_all_channels(const snapshot_table& table, double peak_time_guess,
                                             diagnostics& notes, std::vector<channel_fit>* fits) {
  std::vector<channel_result> results;
  for (int ch = 0; ch < channel_count; ++ch) {
    // Every channel starts afresh: nothing of the previous channel's fit carries over.
    channel_result r{peak_time_guess, 0.0, 0.0, 0.0, 0.0, 0.0};
    channel_fit f = fit_channel(table[ch], r.peak_time);
    if (!apply_fit(f, r.peak_time, r.peak_time_err, r.amplitude, r.amplitude_err, r.time_stamp,
                   r.time_stamp_err))
      notes.push_back(fit_not_converged(ch));
    results.push_back(r);
    if (fits) fits->push_back(f);
  }
  return results;
}

bool rise_time_vs_channel(const std::string& log_path, double peak_time_guess, diagnostics& notes,
                          std::vector<channel_fit>* fits) {
  atomic_file log(log_path);
  if (!log.open()) {
    notes.push_back(cannot_open_log(log_path));
    return false;
  }
  std::ostringstream text;
  write_log(text, fit_all_channels(snapshots, peak_time_guess, notes, fits));
  if (!log.commit(text.str())) {
    notes.push_back(cannot_write_log(log_path));
    return false;
  }
  return true;
}
