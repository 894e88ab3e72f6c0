#pragma once

#include <limits>
#include <string>

/// One channel's figures across the configurations of its chip that have a known injected
/// amplitude; NaN where there is no figure.
struct channel_characterisation {
  static constexpr double none = std::numeric_limits<double>::quiet_NaN();
  std::string chip;
  int channel = 0;
  int configurations = 0;           ///< configurations the figures rest on
  double gain = none;               ///< ADC counts per mV, the slope of amplitude against injection
  double gain_err = none;           ///< its error, from the amplitudes' errors
  double offset = none;             ///< ADC counts, the line's amplitude at 0 mV
  double nonlinearity = none;       ///< largest distance of an amplitude from the line, % of the
                                    ///< largest amplitude
  double noise_mV = none;           ///< the noise (ADC counts) over the gain
  double gain_fC = none;            ///< ADC counts per fC, with the injection capacitance
  double noise_e = none;            ///< the noise in electrons (ENC), with the capacitance
  double rise_time_spread = none;   ///< largest less smallest rise time, ns
  double time_stamp_spread = none;  ///< largest less smallest time stamp (time walk), ns
  std::string reason;               ///< why there are no figures; empty when there are
};
