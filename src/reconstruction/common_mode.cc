#include "reconstruction/common_mode.h"

#include <cmath>
#include <limits>

#include "numerics/bin_accumulator.h"

row_sum_table::row_sum_table(int used_steps)
    : used_steps_(used_steps),
      bins_(static_cast<size_t>(baseline_samples * std::max(used_steps, 0))) {}

void row_sum_table::add_rows(const int32_t* rows, size_t count, int position) {
  for (size_t r = 0; r < count; ++r) {
    const int p = position + static_cast<int>(r);
    if (p % samples_per_step >= baseline_samples) continue;
    const int32_t* row = rows + r * channel_count;
    int64_t s = 0;
    for (int ch = 0; ch < channel_count; ++ch) s += row[ch];
    row_sum_bin& bin = bins_[static_cast<size_t>(bin_of_position(p, used_steps_))];
    ++bin.count;
    bin.sum += s;
    bin.sum_squares += static_cast<__int128>(s) * s;
  }
}

namespace {

// The sample variance of a bin's row sums, from exact integers as bin_sample_sd() forms it.
long double row_sum_variance(const row_sum_bin& bin) {
  const __int128 n = bin.count;
  const __int128 n_s = n * bin.sum_squares - bin.sum * bin.sum;
  return static_cast<long double>(n_s) / static_cast<long double>(n * (n - 1));
}

}  // namespace

// Let each reading of a baseline bin be x_i = c + e_i: c the part every channel shares, of
// variance s^2, and e_i the channel's own, of variance v_i, independent of c and of each other.
// Then var(x_i) = s^2 + v_i, and the row sum S = 32 c + sum_i e_i has
//   var(S) = 32^2 s^2 + sum_i v_i = sum_i var(x_i) + (32^2 - 32) s^2,
// so s^2 = (var(S) - sum_i var(x_i)) / (32 * 31). Each bin's samples share one delay and one
// position in the window, so nothing but noise spreads them; the estimate is averaged over the
// baseline bins and, being a difference of two noisy figures, may come out below 0 when there
// is no shared part, which is then 0.
double common_mode_noise(const row_sum_table& sums, const bin_table& bins) {
  long double excess = 0.0L;
  int measured = 0;
  for (size_t b = 0; b < sums.bins().size(); ++b) {
    const row_sum_bin& bin = sums.bins()[b];
    if (bin.count < 2) continue;
    long double own = 0.0L;
    for (int ch = 0; ch < channel_count; ++ch) {
      const long double sd = bin_sample_sd(bins.at(ch, static_cast<int>(b)));
      own += sd * sd;
    }
    excess += row_sum_variance(bin) - own;
    ++measured;
  }
  if (measured == 0) return std::numeric_limits<double>::quiet_NaN();
  const long double shared =
      excess / measured / (static_cast<long double>(channel_count) * (channel_count - 1));
  return shared > 0.0L ? static_cast<double>(std::sqrt(shared)) : 0.0;
}
