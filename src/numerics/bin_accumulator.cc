#include "numerics/bin_accumulator.h"

#include <cmath>

// Every partial sum of fewer than 2^22 values of magnitude up to 2^31 stays below 2^53, so a
// sequential double sum never rounds and equals the exact integer sum converted once.
double bin_mean(const bin_accumulator& bin) {
  return static_cast<double>(bin.sum) / static_cast<double>(bin.count);
}

// The two-pass sum S = sum (v - m)^2 with the exact mean m = sum / n is, multiplied by n,
//   n S = n sum(v^2) - (sum v)^2,
// an integer that 128 bits hold exactly for up to 2^32 samples. So the variance
// S / (n - 1) = n S / (n (n - 1)) is formed from exact integers, in extended precision, and
// rounded to double once, after the square root.
double bin_sample_sd(const bin_accumulator& bin) {
  if (bin.count < 2) return 0.0;
  __int128 n = bin.count;
  __int128 n_s = n * bin.sum_squares - static_cast<__int128>(bin.sum) * bin.sum;
  long double variance = static_cast<long double>(n_s) / static_cast<long double>(n * (n - 1));
  return static_cast<double>(std::sqrt(variance));
}
