#pragma once

#include <string>
#include <string_view>

/// Pulses, one per delay step, in an event of every run.
inline constexpr int delay_steps = 10;
/// The delay added per step, ns.
inline constexpr double delay_step_ns = 20.0;

/// The parameters that the configuration name selects.
struct run_config {
  int window_offset = 15;          ///< the first pulse's window begins at event row offset - 4
  int skipped_steps = 0;           ///< leading delay steps left out of the reconstruction
  double peak_time_guess = 150.0;  ///< start value of the fitted peak time, ns
};

/// The configuration named `config`: exactly "4mV_delay-all" selects its own set, any other text
/// the default one.
run_config choose_run_config(std::string_view config);

/// The directory part of `adcfilename`: all before its last "/", or "." when it has none.
std::string directory_part(const std::string& adcfilename);

/// The log path "<directory>/rise_time_korvi<chipstring>_<config>.log".
std::string log_path(const std::string& adcfilename, const std::string& chipstring,
                     const std::string& config);
