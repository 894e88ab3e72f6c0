#include "reconstruction/levels.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/bin_accumulator.h"

namespace {

constexpr double not_measured = std::numeric_limits<double>::quiet_NaN();

channel_levels levels_of(const bin_table& bins, int channel, int used_steps) {
  channel_levels out{not_measured, not_measured, not_measured};
  __int128 sum = 0;
  int64_t count = 0;
  for (int i = 0; i < bins.bins(); ++i) {
    const bin_accumulator& bin = bins.at(channel, i);
    if (bin.count == 0) continue;
    if (i < baseline_samples * used_steps) {
      sum += bin.sum;
      count += bin.count;
    }
    const double mean = bin_mean(bin);
    out.lowest = std::isnan(out.lowest) ? mean : std::min(out.lowest, mean);
    out.highest = std::isnan(out.highest) ? mean : std::max(out.highest, mean);
  }
  if (count > 0)
    out.pedestal =
        static_cast<double>(static_cast<long double>(sum) / static_cast<long double>(count));
  return out;
}

}  // namespace

std::vector<channel_levels> measure_levels(const bin_table& bins, int used_steps) {
  std::vector<channel_levels> out(channel_count);
  for (int ch = 0; ch < channel_count; ++ch) out[ch] = levels_of(bins, ch, used_steps);
  return out;
}

double headroom(const channel_levels& levels) {
  return std::min(levels.lowest - adc_lowest, adc_highest - levels.highest);
}
