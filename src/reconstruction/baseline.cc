#include "reconstruction/baseline.h"

#include <cmath>
#include <vector>

#include "numerics/cubic_spline.h"

bool has_samples(const bin_table& bins) {
  return bins.bins() > 0 && bins.at(0, 0).count > 0;
}

namespace {

// The baseline level of each pulse window k, the mean of its samples 0, 1 and 2 (bins k,
// used_steps + k and 2 used_steps + k), placed at the middle one's window position 15 k + 1.
// Each mean is divided by 3 before it is added, in this order.
cubic_spline baseline_spline(const bin_table& bins, int channel, int used_steps) {
  std::vector<double> x(used_steps), b(used_steps, 0.0);
  for (int k = 0; k < used_steps; ++k) x[k] = samples_per_step * k + 1;
  for (int i = 0; i < baseline_samples * used_steps; ++i)
    b[i % used_steps] += bin_mean(bins.at(channel, i)) / baseline_samples;
  return *cubic_spline::through(x, b);
}

// The error of a bin's mean: the spread of its samples over the square root of their number.
double mean_error(const bin_accumulator& bin) {
  if (bin.count < 2) return 0.0;
  return bin_sample_sd(bin) / std::sqrt(static_cast<double>(bin.count));
}

}  // namespace

void fill_snapshots(const bin_table& bins, int used_steps, double delay_step_ns,
                    snapshot_table& table) {
  for (int ch = 0; ch < channel_count; ++ch) {
    cubic_spline baseline = baseline_spline(bins, ch, used_steps);
    for (int i = 0; i < bins.bins(); ++i) {
      int q = i / used_steps, r = i % used_steps;
      const bin_accumulator& bin = bins.at(ch, i);
      double position = static_cast<double>(q - 1) + (samples_per_step * r + 1);
      double amplitude = bin_mean(bin) - baseline(position);
      double time = equivalent_time(i, used_steps, delay_step_ns);
      table[ch][i] = {time, {amplitude, mean_error(bin)}};
    }
  }
}
