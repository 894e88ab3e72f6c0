#include "reconstruction/noise.h"

#include <cmath>
#include <limits>

#include "reconstruction/recording_format.h"

// A point's error is its bin's sample standard deviation s over sqrt(n), n the bin's sample
// count, so s = error * sqrt(n). Every event that reaches the window adds one sample to each of
// these bins (a cut last event may miss the later ones), so n is the count the reconstruction
// gives as its events in the window. The first three samples of each pulse window come before
// the pulse and are what the baseline is made of; a bin's samples all share one delay and one
// position in the window, so their spread is the noise alone.
double baseline_noise(const channel_points& points, int64_t samples_per_bin) {
  const size_t baseline_bins = baseline_samples * (points.size() / samples_per_step);
  double sum_variance = 0.0;
  int bins = 0;
  for (size_t i = 0; i < baseline_bins; ++i) {
    const double error = points[i].second.second;
    if (!(error > 0.0) || !std::isfinite(error)) continue;
    sum_variance += error * error * static_cast<double>(samples_per_bin);
    ++bins;
  }
  if (bins == 0) return std::numeric_limits<double>::quiet_NaN();
  return std::sqrt(sum_variance / bins);
}
