#include "plot/run_json.h"

#include <cmath>

namespace {

using nlohmann::json;

// nlohmann writes NaN as null anyway; doing it here keeps the in-memory document the same as
// what is read back.
json number(double v) {
  return std::isfinite(v) ? json(v) : json(nullptr);
}

json config_json(const plot_run& run) {
  return {{"name", run.config},
          {"window_offset", run.parameters.window_offset},
          {"skipped_steps", run.parameters.skipped_steps},
          {"peak_time_guess", number(run.parameters.peak_time_guess)},
          {"delay_steps", delay_steps},
          {"delay_step_ns", number(delay_step_ns)}};
}

json points_json(const channel_points& points) {
  json list = json::array();
  for (const snapshot_point& p : points)
    list.push_back({{"time", number(p.first)},
                    {"amplitude", number(p.second.first)},
                    {"error", number(p.second.second)},
                    {"usable", is_usable(p)}});
  return list;
}

json channel_json(int channel, const channel_fit& f, const channel_points& points) {
  return {{"channel", channel},
          {"peak_time", number(f.peak_time)},
          {"peak_time_err", number(f.peak_time_err)},
          {"amplitude", number(f.amplitude)},
          {"amplitude_err", number(f.amplitude_err)},
          {"time_stamp", number(f.time_stamp)},
          {"time_stamp_err", number(f.time_stamp_err)},
          {"usable_points", f.usable_points},
          {"fitted_points", f.fitted_points},
          {"fit_range", {number(f.xmin), number(f.xmax)}},
          {"chi2", number(f.chi2)},
          {"ndf", f.ndf},
          {"minimised", f.minimised},
          {"converged", f.converged},
          {"verdict", verdict_name(f.verdict)},
          {"clipped_points", f.clipped_points},
          {"noise", number(f.noise)},
          {"significance", number(f.significance)},
          {"scatter", number(f.scatter)},
          {"seen_height", number(f.seen_height)},
          {"pulse_points", f.pulse_points},
          {"fits_run", f.fits_run},
          {"replaced_verdict",
           f.replaced_verdict ? json(verdict_name(*f.replaced_verdict)) : json(nullptr)},
          {"points", points_json(points)}};
}

}  // namespace

json run_json(const plot_run& run) {
  json channels = json::array();
  for (size_t ch = 0; ch < run.fits.size(); ++ch) {
    static const channel_points none;
    const channel_points& pts = ch < run.points.size() ? run.points[ch] : none;
    channels.push_back(channel_json(static_cast<int>(ch), run.fits[ch], pts));
  }
  return {{"input", run.adcfilename},
          {"log", run.log_path},
          {"chipstring", run.chipstring},
          {"config", config_json(run)},
          {"events_completed", run.events_completed},
          {"values_read", run.summary.values_read},
          {"rows_handled", run.summary.rows_handled},
          {"events_started", run.summary.events_started},
          {"events_in_window", run.summary.events_in_window},
          {"notes", run.notes},
          {"channels", channels}};
}

std::string run_json_text(const plot_run& run) {
  return run_json(run).dump(2) + "\n";
}
