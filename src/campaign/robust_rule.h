#pragma once

#include <array>
#include <vector>

#include "reconstruction/recording_format.h"

/// Chips a quantity needs before the robust rule judges it. A chip is judged against the
/// median of the other chips, so that its own value does not pull the centre it is compared
/// with; that median withstands one faulty chip among the others only when there are at least
/// three of them.
inline constexpr int min_robust_chips = 4;

/// One value per chip (row) and channel (column); NaN where there is none.
using chip_channel_values = std::vector<std::array<double, channel_count>>;

/// What the robust rule makes of one quantity over the chips.
struct robust_deviations {
  /// Each value's deviation from the median of the other chips' values of its channel: a
  /// difference, or for a relative quantity a ratio less one. NaN where the value is NaN, not
  /// positive for a relative quantity, or its channel has fewer than min_robust_chips values.
  chip_channel_values deviation;
  /// The robust standard deviation of every deviation, pooled over the channels; NaN when there
  /// is none.
  double sigma = 0.0;
};

/// The deviations of `values` and their pooled robust standard deviation.
robust_deviations robust_deviations_of(const chip_channel_values& values, bool relative);
