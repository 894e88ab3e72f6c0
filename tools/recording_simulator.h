#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

// A simulator of bench-test recordings: the chip's ADC output during a delay scan, as text.
//
// Layout: `leading_rows` baseline rows, then `events` events of `gap_spacing` rows each (the last
// one of max(gap_spacing, 207) rows, or of `cut_last_event_rows` rows when that is >= 0). Event
// row 0 is the first of `gap_rows` gap rows; test pulse j (0..9) fills the 15 rows from event row
// pulse_window_start(config, j) and is delayed by a further 20 ns * j against the sampling clock.

/// The true response of one channel.
struct channel_truth {
  double baseline = 100.0;    ///< ADC counts
  double amplitude = 500.0;   ///< pulse height above the baseline, ADC counts
  double peak_time = 150.0;   ///< ns from the pulse start to its maximum
  double time_stamp = 800.0;  ///< pulse start on the reconstructed time axis, ns
  bool dead = false;          ///< no pulse: baseline and noise only
  bool saturated = false;     ///< reads `saturation_level` throughout
  bool stuck = false;         ///< reads its baseline, rounded, throughout: no noise, no pulse
  // The front end's departures from the fit's model (see front_end_shape.h); these defaults
  // give the model's shape exactly. The pulse still peaks at `amplitude` above the baseline.
  double order = 4.0;  ///< shaping order n of u^n e^(-n (u - 1)), > 0
  double tail = 0.0;   ///< slow tail's own peak, signed fraction of the height (< 0: undershoot)
  double tail_time = 1000.0;    ///< the tail's time constant, ns, > 0
  double injection_rise = 0.0;  ///< rise time of the injected step (a linear ramp), ns, >= 0
};

/// True when `channel`'s pulse has the fit model's shape exactly: order 4, no tail, no ramp.
bool has_model_shape(const channel_truth& channel);

/// What to simulate.
struct simulation_options {
  int events = 200;                          ///< events written, the last possibly cut
  std::string config = "20mV_delay-all";     ///< "4mV_delay-all" or any other name
  int gap_spacing = 220;                     ///< rows from one gap's first row to the next one's
  int gap_rows = 10;                         ///< rows of each gap
  int leading_rows = 0;                      ///< baseline rows before the first gap
  double noise = 2.0;                        ///< Gaussian noise, ADC counts (sigma)
  double gap_level = 5.0;                    ///< mean reading of a channel in a gap, ADC counts
  uint64_t seed = 1;                         ///< seeds the noise (and the default channels)
  std::array<channel_truth, 32> channels{};  ///< per-channel truth
  int saturation_level = 4095;               ///< the reading of a saturated channel
  int cut_last_event_rows = -1;  ///< when >= 0, the last event stops after this many rows
  int values_per_line = 32;      ///< values per text line (line breaks carry no meaning)
  double drift = 0.0;   ///< baseline change of every channel from the first row to the last, ADC
  double jitter = 0.0;  ///< Gaussian jitter of each test pulse's start (all channels alike), ns
  double common_mode = 0.0;  ///< Gaussian noise shared by all channels of a row (sigma), ADC
  /// Pedestal wander: every baseline moves as wander * sin(2 pi row / wander_period + phase),
  /// the phase drawn from the seed; ADC counts (amplitude, any sign).
  double wander = 0.0;
  double wander_period = 50000.0;  ///< rows per period of the wander, > 0
};

/// Rows of an event that the analysis frames, from the gap's first row.
inline constexpr int framed_event_rows = 207;

/// The event row of the first sample of pulse j's 15-row window; any j is accepted.
int pulse_window_start(const std::string& config, int j);
/// The delay in ns of the pulse start after the first sample of pulse 0's window, before the
/// per-pulse delay: time_stamp - 200 - 20 * the configuration's skipped steps.
double injection_offset(const channel_truth& channel, const std::string& config);

/// Rows of the recording `options` describes (after validation; meaningless otherwise).
int64_t recording_rows(const simulation_options& options);
/// Why `options` cannot be simulated, as one line; empty when they can.
std::string validation_error(const simulation_options& options);

/// Options with realistic per-channel truths drawn from `seed`, for configuration `config`:
/// baselines 60..150, amplitudes 300..800 ADC counts, peak times 150 +- 15 ns (300 +- 30 ns for
/// "4mV_delay-all"), time stamps 800 +- 30 ns. Everything else keeps its default.
simulation_options realistic_options(int events, const std::string& config, uint64_t seed);

/// Writes the recording that `options` describes to `out`, in chunks; a failed write leaves
/// `out`'s error state set. Throws std::invalid_argument when validation_error is not empty.
void write_recording(const simulation_options& options, std::ostream& out);
/// Writes the recording to `out`, in chunks; false on a write error. Throws
/// std::invalid_argument when validation_error is not empty.
bool write_recording(const simulation_options& options, std::FILE* out);
/// The recording as one text, for small recordings. Throws std::invalid_argument on bad options.
std::string simulate_recording(const simulation_options& options);
/// Writes the true parameters: a "#" line naming the columns, then one line per channel,
/// "channel baseline amplitude peak_time time_stamp dead saturated" (numbers that round-trip,
/// flags 0/1). When a channel's shape departs from the model, or the recording has common-mode
/// noise or a wander, the lines go on with "order tail tail_time injection_rise", and a second
/// "#" line gives "jitter common_mode wander wander_period" with their values. A failed write
/// leaves `out`'s error state set.
void write_truth(const simulation_options& options, std::ostream& out);
