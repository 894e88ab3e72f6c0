#include "campaign/judge/robust_rule.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/robust_statistics.h"
#include "numerics/streamed_ranks.h"

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

two_level_summary summary_of(const two_level_deviations& d) {
  return {d.single.middle, d.single.sigma, d.sigma, d.chip_sigma, d.chips};
}

namespace {

// Passes over `rows` until every selection of `ranks` is made; `first` says, after the first
// pass, which rank each selection looks for.
void select_in_passes(streamed_ranks& ranks, const row_source& rows,
                      const std::function<void(const channel_row&)>& offer,
                      const std::function<void()>& first) {
  rows(offer);
  first();
  while (ranks.end_pass()) rows(offer);
}

// Asks selections `s` and `s + 1` of `ranks` for the two middle ranks of their numbers (the
// same for an odd count).
void look_for_median(streamed_ranks& ranks, size_t s) {
  const uint64_t n = ranks.count(s);
  ranks.look_for(s, n ? std::optional<uint64_t>(n % 2 ? n / 2 : n / 2 - 1) : std::nullopt);
  ranks.look_for(s + 1, n ? std::optional<uint64_t>(n / 2) : std::nullopt);
}

// mad_to_sigma times the median that selections `s` and `s + 1` found, as
// symmetric_robust_sigma makes it: the middle number itself for an odd count.
double sigma_of(const streamed_ranks& ranks, size_t s) {
  const uint64_t n = ranks.count(s);
  if (n == 0) return mad_to_sigma * std::numeric_limits<double>::quiet_NaN();
  const double upper = ranks.value(s + 1);
  return mad_to_sigma * (n % 2 ? upper : (ranks.value(s) + upper) / 2);
}

}  // namespace

std::optional<two_level_summary> streamed_two_level(const row_source& rows, bool relative) {
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  // 11-bit digits: six passes, with 96 histograms of 2,048 counts for the channels' middles.
  constexpr unsigned digit_bits = 11;
  two_level_summary out;
  auto compared = [relative](double v) { return std::isfinite(v) && (!relative || v > 0); };

  // The channels' middles: the three values about each channel's centre, as middle_of finds.
  streamed_ranks around(3 * channel_count, digit_bits);
  select_in_passes(
      around, rows,
      [&](const channel_row& row) {
        for (size_t ch = 0; ch < channel_count; ++ch)
          if (compared(row[ch]))
            for (size_t j = 0; j < 3; ++j) around.see(3 * ch + j, row[ch]);
      },
      [&] {
        for (size_t ch = 0; ch < channel_count; ++ch) {
          const uint64_t n = around.count(3 * ch);
          const uint64_t centre = n ? (n - 1) / 2 : 0;
          around.look_for(3 * ch,
                          n && centre >= 1 ? std::optional<uint64_t>(centre - 1) : std::nullopt);
          around.look_for(3 * ch + 1, n ? std::optional<uint64_t>(centre) : std::nullopt);
          around.look_for(3 * ch + 2, std::optional<uint64_t>(centre + 1));
        }
      });
  for (size_t ch = 0; ch < channel_count; ++ch) {
    out.middle[ch].count = static_cast<size_t>(around.count(3 * ch));
    for (size_t j = 0; j < 3; ++j) out.middle[ch].around[j] = around.value(3 * ch + j);
  }

  // Then every row's deviations, its chip's offset and its residuals, made again in each pass
  // from the row and the middles, as robust_deviations_of and two_level_deviations_of make
  // them; the residuals pooled take the whole offset out, whether the quantity is judged only
  // above or not, so that is not asked. Their magnitudes go to three pooled medians of two
  // selections each: the deviations (0, 1), the chips' offsets (2, 3) and the residuals (4, 5).
  streamed_ranks pooled(6, digit_bits);
  bool unordered = false;
  auto offer = [&](size_t s, double magnitude) {
    if (std::isnan(magnitude)) {
      unordered = true;
      return;
    }
    pooled.see(s, magnitude);
    pooled.see(s + 1, magnitude);
  };
  auto without = [relative](double x, double offset) {
    return relative ? (1.0 + x) / (1.0 + offset) - 1.0 : x - offset;
  };
  std::vector<double> own;
  select_in_passes(
      pooled, rows,
      [&](const channel_row& row) {
        channel_row d;
        d.fill(nan);
        own.clear();
        for (size_t ch = 0; ch < channel_count; ++ch) {
          const double v = row[ch];
          if (out.middle[ch].count < static_cast<size_t>(min_robust_chips) || !compared(v))
            continue;
          const double centre = median_without(out.middle[ch], v);
          d[ch] = relative ? v / centre - 1.0 : v - centre;
          offer(0, std::fabs(d[ch]));
          if (std::isfinite(d[ch])) own.push_back(d[ch]);
        }
        if (own.size() < static_cast<size_t>(min_offset_channels)) {
          for (double x : own) offer(4, std::fabs(x));
          return;
        }
        const double offset = median(own);
        offer(2, std::fabs(offset));
        for (double x : d)
          if (std::isfinite(x)) offer(4, std::fabs(without(x, offset)));
      },
      [&] {
        for (size_t s = 0; s < 6; s += 2) look_for_median(pooled, s);
      });
  if (unordered) return std::nullopt;
  out.single_sigma = sigma_of(pooled, 0);
  out.chip_sigma = sigma_of(pooled, 2);
  out.sigma = sigma_of(pooled, 4);
  out.chips = static_cast<int>(pooled.count(2));
  return out;
}
