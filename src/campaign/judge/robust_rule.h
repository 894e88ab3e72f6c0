#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "reconstruction/recording_format.h"

/// Chips a quantity needs before the robust rule judges it. A chip is judged against the
/// median of the other chips, so that its own value does not pull the centre it is compared
/// with; that median withstands one faulty chip among the others only when there are at least
/// three of them.
inline constexpr int min_robust_chips = 4;

/// One chip's value of each channel; NaN where there is none.
using channel_row = std::array<double, channel_count>;
/// One value per chip (row) and channel (column); NaN where there is none.
using chip_channel_values = std::vector<channel_row>;

/// The middle of one channel's values over the chips, sorted: enough to take any one of them out
/// and find the median of the others.
struct channel_middle {
  size_t count = 0;  ///< values present
  /// The sorted values at (count - 1) / 2 - 1, (count - 1) / 2 and (count - 1) / 2 + 1; NaN
  /// where there is none.
  std::array<double, 3> around{};
};

/// The middle of `values`, found by selection rather than a sort.
channel_middle middle_of(std::vector<double> values);

/// The median of the values of `m` with one copy of `x`, one of them, taken out: exactly what
/// the median of the others is; NaN with fewer than two values.
double median_without(const channel_middle& m, double x);

/// What the robust rule makes of one quantity over the chips.
struct robust_deviations {
  /// Each value's deviation from the median of the other chips' values of its channel: a
  /// difference, or for a relative quantity a ratio less one. NaN where the value is NaN, not
  /// positive for a relative quantity, or its channel has fewer than min_robust_chips values.
  chip_channel_values deviation;
  /// The robust standard deviation of every deviation, pooled over the channels; NaN when there
  /// is none.
  double sigma = 0.0;
  /// By channel, the middle of the values compared (whatever their number), from which each
  /// deviation's median of the others came.
  std::array<channel_middle, channel_count> middle{};
};

/// The deviations of `values` and their pooled robust standard deviation.
robust_deviations robust_deviations_of(const chip_channel_values& values, bool relative);

/// A chip's offset rests on at least this many of its channels' deviations; with fewer, the chip
/// has no offset and its channels are judged against the other chips' alone.
inline constexpr int min_offset_channels = 8;

/// The factor by which the chip level's limit widens with few chips. A spread estimated from n
/// chip offsets is itself uncertain: k = 5 times it fails some good chip of five 1 time in 35
/// (of 4, 10 and 40 chips: 1.5, 1.2 and 0.25 %). Times 1 + 5/n, in a Monte Carlo of normally
/// distributed offsets judged by their scaled median absolute value, that chance is 0.14, 0.40,
/// 0.15, 0.11 and 0.07 % for 4, 5, 10, 20 and 40 chips, and the limit approaches the plain k
/// as the campaign grows.
double small_sample_factor(int chips);

/// What the rule's two levels make of one quantity over the chips: each chip's common offset
/// from the other chips, and each channel's deviation from its own chip once that offset is
/// taken out.
struct two_level_deviations {
  /// As robust_deviations: each value against the median of the other chips' same channel.
  robust_deviations single;
  /// By chip: the median of its channels' deviations (a ratio less one for a relative
  /// quantity); NaN with fewer than min_offset_channels of them.
  std::vector<double> chip_offset;
  /// The robust standard deviation of the chip offsets, both signs pooled; NaN when none.
  double chip_sigma = 0.0;
  /// Chips with an offset.
  int chips = 0;
  /// Each deviation with its chip's offset taken out: d - D, or (1 + d) / (1 + D) - 1 for a
  /// relative quantity; the deviation itself where the chip has no offset. For a quantity
  /// judged only above, an offset below zero is not taken out: a chip whose errors are small
  /// as a whole gives its channels no excess to be flagged for.
  chip_channel_values residual;
  /// The robust standard deviation of the deviations with the whole offset taken out, pooled
  /// over the chips and channels.
  double sigma = 0.0;
};

/// The two levels of `values`; `upper_only` for a quantity judged only when too large.
two_level_deviations two_level_deviations_of(const chip_channel_values& values, bool relative,
                                             bool upper_only = false);

/// What a population's statistics keep of two_level_deviations_of: its figures without the
/// per-chip deviations.
struct two_level_summary {
  std::array<channel_middle, channel_count> middle{};  ///< as robust_deviations::middle
  double single_sigma = 0.0;                           ///< as robust_deviations::sigma
  double sigma = 0.0;                                  ///< as two_level_deviations::sigma
  double chip_sigma = 0.0;                             ///< as two_level_deviations::chip_sigma
  int chips = 0;                                       ///< as two_level_deviations::chips
};

/// The figures of two_level_deviations_of `values`.
two_level_summary summary_of(const two_level_deviations& d);

/// Hands each row of a population to its argument, in the same order every time it is called.
using row_source = std::function<void(const std::function<void(const channel_row&)>&)>;

/// The figures of two_level_deviations_of the rows of `rows`, to the last bit, made in a few
/// passes over them (about ten) with a few megabytes of counts rather than with the rows held;
/// nothing where one of the deviations the rule pools is NaN, which only the rows held can
/// order as the median does.
std::optional<two_level_summary> streamed_two_level(const row_source& rows, bool relative);
