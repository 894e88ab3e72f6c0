#pragma once

#include <optional>
#include <string>

// How a simulated channel's pulse amplitude follows the injected test pulse: the amplitude is
// the channel's gain (ADC counts per mV) times the injected amplitude, which a configuration's
// name gives, softened for a channel that saturates.

/// The injected amplitude of the test pulse at which realistic_options' amplitudes are drawn,
/// mV: a channel's gain is its amplitude there divided by this.
inline constexpr double reference_mv = 20.0;

/// The injected amplitude in mV of configuration `config`: the number its name begins with when
/// "mV" follows ("4mV_delay-all" 4, "2.5mV_x" 2.5); nothing when it has none or it is not > 0.
std::optional<double> injected_mv(const std::string& config);

/// A soft saturation: amplitude gain * mV / (1 + (mV / knee_mv)^power), ADC counts.
struct soft_saturation {
  double knee_mv = 0;  ///< mV; the amplitude is half of gain * knee_mv there
  double power = 2;    ///< how sharply the response bends
  /// The amplitude, ADC counts, of a channel of `gain` (ADC counts per mV) injected with `mv`.
  double amplitude(double gain, double mv) const;
};

/// The saturation that leaves the amplitude 10 % below gain * mV at `largest_mv` and less than
/// 1 % below it at `smallest_mv` (power 2, or higher when the smallest is above 0.3 of the
/// largest); with `smallest_mv` >= `largest_mv` only the first holds.
soft_saturation saturation_between(double smallest_mv, double largest_mv);
