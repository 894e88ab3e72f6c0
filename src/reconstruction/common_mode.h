#pragma once

#include <cstdint>
#include <vector>

#include "reconstruction/bin_table.h"

/// The exact count, sum and sum of squares of the sums across all channels of the rows of one bin.
struct row_sum_bin {
  int64_t count = 0;
  __int128 sum = 0;
  __int128 sum_squares = 0;
};

/// The sums across channels of the rows that go to the baseline bins of a framing (the first
/// baseline_samples samples of every pulse window, bins 0 .. baseline_samples * used_steps - 1),
/// kept bin by bin as exact integers.
class row_sum_table {
 public:
  /// Empty baseline bins for a framing of `used_steps` pulse windows per event.
  explicit row_sum_table(int used_steps);
  /// Adds `count` consecutive rows (channel_count values each), the first at window position
  /// `position`; rows that are not baseline samples are passed over.
  void add_rows(const int32_t* rows, size_t count, int position);
  /// The baseline bins, by bin number.
  const std::vector<row_sum_bin>& bins() const { return bins_; }

 private:
  int used_steps_;
  std::vector<row_sum_bin> bins_;
};

/// ADC counts: the spread of one baseline reading that every channel shares, from the row sums
/// `sums` and the per-channel sums `bins` of the same rows; 0.0 when the channels' own spreads
/// explain the row sums' whole spread; NaN when no baseline bin holds two rows.
double common_mode_noise(const row_sum_table& sums, const bin_table& bins);
