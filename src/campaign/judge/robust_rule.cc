#include "campaign/judge/robust_rule.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/robust_statistics.h"

namespace {

// The value at `pos` of sorted `v` with element `skip` taken out.
double without(const std::vector<double>& v, size_t skip, size_t pos) {
  return v[pos < skip ? pos : pos + 1];
}

double median_without(const std::vector<double>& sorted, size_t skip) {
  size_t m = sorted.size() - 1;
  if (m % 2) return without(sorted, skip, m / 2);
  return (without(sorted, skip, m / 2 - 1) + without(sorted, skip, m / 2)) / 2;
}

}  // namespace

robust_deviations robust_deviations_of(const chip_channel_values& values, bool relative) {
  robust_deviations out;
  std::array<double, channel_count> none;
  none.fill(std::numeric_limits<double>::quiet_NaN());
  out.deviation.assign(values.size(), none);
  std::vector<double> pooled;
  for (size_t ch = 0; ch < none.size(); ++ch) {
    std::vector<std::pair<double, size_t>> present;  // value, chip
    for (size_t chip = 0; chip < values.size(); ++chip) {
      double v = values[chip][ch];
      if (std::isfinite(v) && (!relative || v > 0)) present.push_back({v, chip});
    }
    if (present.size() < static_cast<size_t>(min_robust_chips)) continue;
    std::sort(present.begin(), present.end());
    std::vector<double> sorted;
    for (const auto& [v, chip] : present) sorted.push_back(v);
    for (size_t i = 0; i < present.size(); ++i) {
      double centre = median_without(sorted, i);
      double d = relative ? present[i].first / centre - 1.0 : present[i].first - centre;
      out.deviation[present[i].second][ch] = d;
      // Both signs, so that the deviations' median is zero and their MAD the median of |d|.
      pooled.insert(pooled.end(), {d, -d});
    }
  }
  out.sigma = robust_sigma(std::move(pooled));
  return out;
}

double small_sample_factor(int chips) {
  return chips > 0 ? 1.0 + 5.0 / chips : 1.0;
}

two_level_deviations two_level_deviations_of(const chip_channel_values& values, bool relative,
                                             bool upper_only) {
  two_level_deviations out;
  out.single = robust_deviations_of(values, relative);
  const chip_channel_values& d = out.single.deviation;
  out.residual = d;
  out.chip_offset.assign(values.size(), std::numeric_limits<double>::quiet_NaN());
  std::vector<double> offsets, residuals;
  auto without = [relative](double x, double offset) {
    return relative ? (1.0 + x) / (1.0 + offset) - 1.0 : x - offset;
  };
  for (size_t chip = 0; chip < d.size(); ++chip) {
    std::vector<double> own;
    for (double x : d[chip])
      if (std::isfinite(x)) own.push_back(x);
    if (own.size() < static_cast<size_t>(min_offset_channels)) continue;
    const double offset = median(own);
    out.chip_offset[chip] = offset;
    offsets.insert(offsets.end(), {offset, -offset});
    const double judged_offset = upper_only ? std::max(offset, 0.0) : offset;
    for (size_t ch = 0; ch < d[chip].size(); ++ch) {
      const double x = d[chip][ch];
      if (!std::isfinite(x)) continue;
      const double r = without(x, offset);
      residuals.insert(residuals.end(), {r, -r});
      out.residual[chip][ch] = without(x, judged_offset);
    }
  }
  for (size_t chip = 0; chip < d.size(); ++chip)
    if (!std::isfinite(out.chip_offset[chip]))
      for (double x : d[chip])
        if (std::isfinite(x)) residuals.insert(residuals.end(), {x, -x});
  out.chips = static_cast<int>(offsets.size() / 2);
  out.chip_sigma = robust_sigma(std::move(offsets));
  out.sigma = robust_sigma(std::move(residuals));
  return out;
}
