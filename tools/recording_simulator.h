#pragma once

#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// A simulator of bench-test recordings: the chip's ADC output during a delay scan, as text.

/// The true response of one channel.
struct channel_truth {
  double baseline = 100.0;     ///< ADC counts
  double amplitude = 500.0;    ///< pulse height above the baseline, ADC counts
  double peak_time = 150.0;    ///< ns from the pulse start to its maximum
  double time_stamp = 800.0;   ///< pulse start on the reconstructed time axis, ns
  bool dead = false;           ///< no pulse: baseline and noise only
  bool saturated = false;      ///< reads `saturation_level` throughout
};

/// What to simulate.
struct simulation_options {
  int events = 200;                       ///< events written, the last possibly cut
  std::string config = "20mV_delay-all";  ///< "4mV_delay-all" or any other name
  int gap_spacing = 220;                  ///< rows from one gap's first row to the next one's
  int gap_rows = 10;                      ///< rows of each gap
  int leading_rows = 0;                   ///< baseline rows before the first gap
  double noise = 2.0;                     ///< Gaussian noise, ADC counts (sigma)
  double gap_level = 5.0;                 ///< mean reading of a channel in a gap, ADC counts
  uint64_t seed = 1;                      ///< seeds the noise (and the default channels)
  std::array<channel_truth, 32> channels{};  ///< per-channel truth
  int saturation_level = 4095;            ///< the reading of a saturated channel
  int cut_last_event_rows = -1;           ///< when >= 0, the last event stops after this many rows
  int values_per_line = 32;               ///< values per text line (line breaks carry no meaning)
};

/// Options with realistic per-channel truths drawn from `seed`, for configuration `config`.
simulation_options realistic_options(int events, const std::string& config, uint64_t seed);

/// Writes the recording that `options` describes to `out`.
void write_recording(const simulation_options& options, std::ostream& out);
/// The recording as one text.
std::string simulate_recording(const simulation_options& options);
/// Writes the true parameters, one line per channel:
/// "channel baseline amplitude peak_time time_stamp dead saturated".
void write_truth(const simulation_options& options, std::ostream& out);
