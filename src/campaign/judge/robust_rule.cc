#include "campaign/judge/robust_rule.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/robust_statistics.h"

channel_middle middle_of(std::vector<double> values) {
  channel_middle m;
  m.count = values.size();
  m.around.fill(std::numeric_limits<double>::quiet_NaN());
  if (values.empty()) return m;
  const size_t centre = (values.size() - 1) / 2;
  auto at = [&](size_t pos) { return values.begin() + static_cast<std::ptrdiff_t>(pos); };
  // The selection leaves the smaller values before the one it places and the larger after it:
  // its neighbours in order are the largest before and the least after.
  std::nth_element(values.begin(), at(centre), values.end());
  m.around[1] = values[centre];
  if (centre >= 1) m.around[0] = *std::max_element(values.begin(), at(centre));
  if (centre + 1 < values.size()) m.around[2] = *std::min_element(at(centre + 1), values.end());
  return m;
}

double median_without(const channel_middle& m, double x) {
  if (m.count < 2) return std::numeric_limits<double>::quiet_NaN();
  // With one copy of x taken out, the value at `pos` of the sorted others is the value at pos
  // itself when it lies below x, else the one after it.
  const size_t centre = (m.count - 1) / 2, first = centre - 1;  // the index of around[0]
  auto other = [&](size_t pos) {
    const double at = m.around[pos - first];
    return at < x ? at : m.around[pos + 1 - first];
  };
  const size_t others = m.count - 1;
  if (others % 2) return other(others / 2);
  return (other(others / 2 - 1) + other(others / 2)) / 2;
}

robust_deviations robust_deviations_of(const chip_channel_values& values, bool relative) {
  robust_deviations out;
  std::array<double, channel_count> none;
  none.fill(std::numeric_limits<double>::quiet_NaN());
  out.deviation.assign(values.size(), none);
  std::vector<double> pooled;
  for (size_t ch = 0; ch < none.size(); ++ch) {
    std::vector<double> present;
    for (size_t chip = 0; chip < values.size(); ++chip) {
      double v = values[chip][ch];
      if (std::isfinite(v) && (!relative || v > 0)) present.push_back(v);
    }
    const channel_middle& middle = out.middle[ch] = middle_of(std::move(present));
    if (middle.count < static_cast<size_t>(min_robust_chips)) continue;
    for (size_t chip = 0; chip < values.size(); ++chip) {
      const double v = values[chip][ch];
      if (!std::isfinite(v) || (relative && !(v > 0))) continue;
      const double centre = median_without(middle, v);
      const double d = relative ? v / centre - 1.0 : v - centre;
      out.deviation[chip][ch] = d;
      // Pooled with both signs, so that the deviations' median is zero.
      pooled.push_back(std::fabs(d));
    }
  }
  out.sigma = symmetric_robust_sigma(std::move(pooled));
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
    offsets.push_back(std::fabs(offset));
    const double judged_offset = upper_only ? std::max(offset, 0.0) : offset;
    for (size_t ch = 0; ch < d[chip].size(); ++ch) {
      const double x = d[chip][ch];
      if (!std::isfinite(x)) continue;
      const double r = without(x, offset);
      residuals.push_back(std::fabs(r));
      out.residual[chip][ch] = without(x, judged_offset);
    }
  }
  for (size_t chip = 0; chip < d.size(); ++chip)
    if (!std::isfinite(out.chip_offset[chip]))
      for (double x : d[chip])
        if (std::isfinite(x)) residuals.push_back(std::fabs(x));
  out.chips = static_cast<int>(offsets.size());
  out.chip_sigma = symmetric_robust_sigma(std::move(offsets));
  out.sigma = symmetric_robust_sigma(std::move(residuals));
  return out;
}
