#pragma once

#include <cstdint>

/// The exact count, sum and sum of squares of the 32-bit integer samples of one bin, from which
/// the mean and the sample standard deviation follow without keeping the samples.
struct bin_accumulator {
  int64_t count = 0;
  int64_t sum = 0;
  __int128 sum_squares = 0;

  /// Adds one sample. Exact for up to 2^32 samples of any 32-bit value.
  void add(int32_t value) {
    ++count;
    sum += value;
    sum_squares += static_cast<int64_t>(value) * value;
  }
};

/// The mean of the samples; NaN (0/0) for an empty bin. For fewer than 2^22 samples it is bit
/// for bit the samples summed in order as doubles, divided by their count.
double bin_mean(const bin_accumulator& bin);

/// The sample standard deviation, with n - 1; 0.0 for a bin of zero or one sample.
double bin_sample_sd(const bin_accumulator& bin);
