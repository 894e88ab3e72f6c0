#include "driver/run.h"

#include <string_view>

#include "fit/channel_fits.h"
#include "fit/configuration_check.h"
#include "fit/fit_messages.h"
#include "reconstruction/noise.h"
#include "reconstruction/read_messages.h"
#include "report/log_file.h"

namespace {

// The name the notes give the default set when a recording looks like it: the configuration it
// is usually recorded with.
constexpr std::string_view default_config_name = "20mV_delay-all";

// The configuration a recording analysed as `rc` is compared with, and its name.
struct other_configuration {
  run_config config;
  std::string name;
};

other_configuration other_than(const run_config& rc) {
  if (rc.window_offset == low_charge_config.window_offset &&
      rc.skipped_steps == low_charge_config.skipped_steps)
    return {default_config, std::string(default_config_name)};
  return {low_charge_config, std::string(low_charge_config_name)};
}

// The per-channel figures measured beside the fits.
void add_channel_measures(const run_outcome& out, const std::vector<channel_levels>& levels,
                          std::vector<channel_fit>& fits) {
  for (size_t ch = 0; ch < fits.size(); ++ch) {
    fits[ch].noise = baseline_noise(out.points[ch], out.summary.events_in_window);
    fits[ch].pedestal = levels[ch].pedestal;
    fits[ch].headroom = headroom(levels[ch]);
  }
}

// When gaps reach into the first pulse window, that is the named cause; otherwise, when the
// fits are doubtful, the other configuration's framing is fitted and compared with them.
void check_framing(const std::string& config, const other_configuration& other,
                   const other_framing& framing, int fit_threads, run_outcome& out) {
  if (out.summary.window_gap_events > 0) {
    out.config_check = check_configuration(out.fits, nullptr, other.name);
    out.notes.push_back(gap_in_first_window(out.summary.window_gap_events,
                                            out.summary.events_completed,
                                            out.config.geometry().window_start));
    return;
  }
  if (!fits_look_doubtful(out.fits)) {
    out.config_check = check_configuration(out.fits, nullptr, other.name);
    return;
  }
  diagnostics unused;
  const std::vector<channel_fit> other_fits = fit_all_channels(
      framing.table, other.config.peak_time_guess, framing.events_in_window, unused, fit_threads);
  out.config_check = check_configuration(out.fits, &other_fits, other.name);
  if (!out.config_check.looks_like.empty())
    out.notes.push_back(looks_like_configuration(out.config_check.looks_like, config,
                                                 median_chi2_per_ndf(out.fits),
                                                 median_chi2_per_ndf(other_fits)));
}

}  // namespace

run_outcome run_analysis(const std::string& chipstring, const std::string& config,
                         const std::string& adcfilename, int fit_threads,
                         const std::string& log_folder, const byte_observer& on_bytes) {
  run_outcome out;
  out.log_path = log_path(adcfilename, chipstring, config, log_folder);
  out.config = choose_run_config(config);
  const run_config& rc = out.config;
  const other_configuration other = other_than(rc);
  other_framing framing{other.config.window_offset, other.config.skipped_steps, {}, 0};
  reconstruction_extras extras;
  extras.other = &framing;
  if (!reconstruct_file(adcfilename, delay_step_ns, rc.window_offset, delay_steps, rc.skipped_steps,
                        out.points, out.summary, out.notes, on_bytes, &extras)) {
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
  add_channel_measures(out, extras.levels, out.fits);
  check_framing(config, other, framing, fit_threads, out);
  if (!log.commit(out.fits, out.notes)) {
    out.outside_recording = true;
    return out;
  }
  out.status = exit_success;
  return out;
}
