#include "plot/test_recording.h"

#include <cmath>
#include <fstream>
#include <random>

#include "driver/run_config.h"
#include "reconstruction/recording_format.h"

namespace {

constexpr int event_spacing_rows = 220;
constexpr int gap_rows = 10;
constexpr double gap_level = 5.0;
constexpr double baseline = 100.0;
// The true pulse start on the reconstructed time axis, ns.
constexpr double time_stamp = 800.0;

// The shaper response to a unit pulse, peaking at u = 1.
double shape(double u) {
  return u < 0.0 ? 0.0 : std::pow(u, 4) * std::exp(-4.0 * (u - 1.0));
}

// The true rise time of `channel`, ns: the configuration's start value plus a few ns that
// vary with the channel, so that channels differ in the log.
double true_peak_time(const test_recording& r, int channel) {
  return choose_run_config(r.config).peak_time_guess + 3.0 * (channel % 5);
}

// The true pulse height of `channel` above the baseline, ADC counts.
double true_amplitude(int channel) {
  return 400.0 + 10.0 * channel;
}

// The noiseless reading of `channel` at row `row` of an event (row 0 is the first gap row).
double clean_reading(const test_recording& r, const run_config& rc, int channel, int row) {
  if (row < gap_rows) return gap_level;
  if (r.dead_channels.count(channel)) return baseline;
  // Pulse j's window starts at row window_offset - 4; its sample q was taken 200 q - 20 j ns
  // after the delayed pulse, so the scan fills the pulse in 20 ns steps.
  int rel = row - (rc.window_offset - 4);
  int windows = delay_steps * samples_per_step;
  if (rel < 0 || rel >= windows) return baseline;
  int j = rel / samples_per_step, q = rel % samples_per_step;
  double tau0 = time_stamp - sampling_period_ns - delay_step_ns * rc.skipped_steps;
  double t = sampling_period_ns * q - delay_step_ns * j - tau0;
  return baseline + true_amplitude(channel) * shape(t / true_peak_time(r, channel));
}

}  // namespace

std::string make_recording(const test_recording& r) {
  run_config rc = choose_run_config(r.config);
  std::mt19937_64 rng(r.seed);
  std::normal_distribution<double> noise(0.0, r.noise);
  std::string text;
  for (int e = 0; e < r.events; ++e) {
    for (int row = 0; row < event_spacing_rows; ++row) {
      for (int ch = 0; ch < channel_count; ++ch) {
        long v = std::lround(clean_reading(r, rc, ch, row) + noise(rng));
        text += std::to_string(v);
        text += ch + 1 < channel_count ? ' ' : '\n';
      }
    }
  }
  return text;
}

bool write_recording_file(const test_recording& r, const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  out << make_recording(r);
  out.close();
  return static_cast<bool>(out);
}
