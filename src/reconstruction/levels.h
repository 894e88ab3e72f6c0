#pragma once

#include <vector>

#include "reconstruction/bin_table.h"

/// A channel's raw readings, averaged bin by bin over the events, ADC counts.
struct channel_levels {
  double pedestal = 0.0;  ///< the mean reading of the baseline bins; NaN when they are empty
  double lowest = 0.0;    ///< the lowest bin mean, pulse included; NaN when every bin is empty
  double highest = 0.0;   ///< the highest bin mean, pulse included; NaN when every bin is empty
};

/// Every channel's levels from `bins`, a framing of `used_steps` pulse windows per event: the
/// pedestal over its baseline bins (the first baseline_samples samples of every window), as the
/// exact sum of their readings over their count.
std::vector<channel_levels> measure_levels(const bin_table& bins, int used_steps);

/// ADC counts: the distance from the channel's bin means to the nearer end of the ADC's range,
/// adc_lowest .. adc_highest (below 0 when a mean lies outside it); NaN when not measured.
double headroom(const channel_levels& levels);
