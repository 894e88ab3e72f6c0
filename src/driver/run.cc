#include "driver/run.h"

#include "fit/channel_fits.h"
#include "fit/fit_messages.h"
#include "reconstruction/noise.h"
#include "report/log_file.h"

run_outcome run_analysis(const std::string& chipstring, const std::string& config,
                         const std::string& adcfilename, int fit_threads,
                         const std::string& log_folder, const byte_observer& on_bytes) {
  run_outcome out;
  out.log_path = log_path(adcfilename, chipstring, config, log_folder);
  out.config = choose_run_config(config);
  const run_config& rc = out.config;
  if (!reconstruct_file(adcfilename, delay_step_ns, rc.window_offset, delay_steps, rc.skipped_steps,
                        out.points, out.summary, out.notes, on_bytes)) {
    out.outside_recording = out.summary.read_failed;
    return out;
  }
  // The log's temporary file is made before the fits, so that a log that cannot be created stops
  // the run before its slowest part.
  log_file log(out.log_path);
  if (!log.open(out.notes)) {
    out.outside_recording = true;
    return out;
  }
  out.fits = fit_all_channels(out.points, rc.peak_time_guess, out.summary.events_in_window,
                              out.notes, fit_threads);
  for (size_t ch = 0; ch < out.fits.size(); ++ch)
    out.fits[ch].noise = baseline_noise(out.points[ch], out.summary.events_in_window);
  if (suggests_wrong_configuration(out.fits))
    out.notes.push_back(wrong_configuration(config, median_chi2_per_ndf(out.fits)));
  if (!log.commit(out.fits, out.notes)) {
    out.outside_recording = true;
    return out;
  }
  out.status = exit_success;
  return out;
}
