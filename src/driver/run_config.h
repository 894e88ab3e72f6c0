#pragma once

#include <string>
#include <string_view>

#include "reconstruction/framing.h"

/// Pulses, one per delay step, in an event of every run.
inline constexpr int delay_steps = 10;
/// The delay added per step, ns.
inline constexpr double delay_step_ns = 20.0;

/// The parameters that a configuration name selects, with every figure derived from them.
struct run_config {
  int window_offset = 15;          ///< the first pulse window begins at event row offset - 4
  int skipped_steps = 0;           ///< leading delay steps left out of the reconstruction
  double peak_time_guess = 150.0;  ///< start value of the fitted peak time, ns

  /// Event row at which pulse window 0 begins.
  constexpr int first_window_row() const { return first_window_row_of(window_offset); }
  /// Where the binned windows lie and how many bins they make.
  constexpr frame_geometry geometry() const {
    return make_frame_geometry(first_window_row(), delay_steps, skipped_steps);
  }
  /// Delay steps reconstructed, pulse windows per event.
  constexpr int used_steps() const { return geometry().used_steps; }
  /// Points per channel.
  constexpr int bins_per_channel() const { return geometry().bins_per_channel; }
  /// The equivalent time of bin `bin` on the reconstructed time axis, ns.
  constexpr double bin_time(int bin) const {
    return equivalent_time(bin, used_steps(), delay_step_ns);
  }
};

/// The set that exactly "4mV_delay-all" selects: small pulses, read later in the event.
inline constexpr run_config low_charge_config{45, 2, 300.0};
/// The set every other name selects.
inline constexpr run_config default_config{15, 0, 150.0};
/// The name that selects low_charge_config.
inline constexpr std::string_view low_charge_config_name = "4mV_delay-all";

/// The configuration named `config`: exactly "4mV_delay-all" selects its own set, any other text
/// the default one.
run_config choose_run_config(std::string_view config);

/// The directory part of `adcfilename`: all before its last "/", or "." when it has none.
std::string directory_part(const std::string& adcfilename);

/// The log path "<directory>/rise_time_korvi<chipstring>_<config>.log", the directory being
/// `log_folder` when given, else the recording's own.
std::string log_path(const std::string& adcfilename, const std::string& chipstring,
                     const std::string& config, const std::string& log_folder = {});
