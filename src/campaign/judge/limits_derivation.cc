#include "campaign/judge/limits_derivation.h"

#include <algorithm>
#include <cmath>

#include "campaign/judge/acceptance.h"
#include "common/number_text.h"
#include "numerics/robust_statistics.h"
#include "reconstruction/recording_format.h"

namespace {

// A limit's bounds to a ten-thousandth of their unit; the comments' figures to three digits.
constexpr int bound_decimals = 4, comment_digits = 3;

// A TOML basic string.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// The range of quantity `q` around `centre` for a robust standard deviation `sigma`.
std::string range_line(const channel_quantity& q, double centre, double sigma, double k) {
  double half = std::max(k * sigma, q.least);
  double low = q.relative ? centre * (1 - half) : centre - half;
  double high = q.relative ? centre * (1 + half) : centre + half;
  if (q.upper_only) low = 0.0;
  return std::string(q.name) + " = [" + fixed_text(low, bound_decimals) + ", " +
         fixed_text(high, bound_decimals) + "]\n";
}

std::string channel_table(const std::string& config, const config_population& p, int channel,
                          double k) {
  std::string body;
  for (size_t q = 0; q < quantity_count; ++q) {
    const channel_quantity& quantity = channel_quantities()[q];
    // A quantity with a default range keeps it: the campaign's spread says nothing of it.
    if (quantity.default_range) continue;
    std::vector<double> values;
    for (const stored_recording* r : p.sound)
      for (const stored_channel& c : r->channels) {
        double v = c.fit.*quantity.value;
        if (c.channel == channel && c.fit.verdict == fit_verdict::good && std::isfinite(v))
          values.push_back(v);
      }
    if (values.size() < static_cast<size_t>(min_robust_chips) || !std::isfinite(p.sigma[q]))
      continue;
    body += range_line(quantity, median(values), p.sigma[q], k);
  }
  if (body.empty()) return "# channel " + std::to_string(channel) + ": no good values\n";
  return "[config." + quoted(config) + ".channel." + std::to_string(channel) + "]\n" + body;
}

std::string config_section(const std::string& config, const config_population& p, double k) {
  std::string head =
      "\n# " + config + ": " + std::to_string(p.sound.size()) + " chips with sound recordings";
  if (!p.ready)
    return head + "; too few for limits (at least " + std::to_string(min_robust_chips) +
           " are needed)\n";
  head += p.usual_events > 0 ? ", usually " + std::to_string(p.usual_events) + " events\n" : "\n";
  head += "# robust standard deviations:";
  for (size_t q = 0; q < quantity_count; ++q) {
    const channel_quantity& quantity = channel_quantities()[q];
    head += std::string(q ? ", " : " ") + quantity.name + " " +
            (quantity.relative ? significant_text(100 * p.sigma[q], comment_digits) + " %"
                               : significant_text(quantity.scale * p.sigma[q], comment_digits) +
                                     " " + quantity.unit);
  }
  std::string text = head + "\n[config." + quoted(config) + "]\n";
  if (p.usual_events > 0)
    text += "min_events = " +
            std::to_string(static_cast<int64_t>(std::ceil(min_event_share * p.usual_events))) +
            "  # " + fixed_text(100 * min_event_share, 0) + " % of the usual count\n";
  text += "robust = false  # every quantity below has its range\n";
  for (int ch = 0; ch < channel_count; ++ch) text += channel_table(config, p, ch, k);
  return text;
}

}  // namespace

std::string derived_limits(const std::vector<stored_recording>& recordings, double k,
                           const std::string& source) {
  std::string text =
      "# Acceptance limits derived by varnel-campaign limits from " + source + " on " + utc_now() +
      ".\n"
      "# Per configuration, channel and quantity: the median of the chips' sound current\n"
      "# recordings +- k robust standard deviations. A chip's deviation is taken from the\n"
      "# median of the other chips; the robust standard deviation is the MAD of those deviations\n"
      "# scaled to a normal standard deviation, pooled over the configuration's channels.\n"
      "# Amplitude, noise and errors scale\n"
      "# with the chip: their ranges are the median x (1 +- k x the relative deviation), and\n"
      "# noise and errors have no lower limit. Review them before use.\n"
      "k = " +
      significant_text(k) + "\nmax_flagged_channels = 0\n";
  for (const auto& [config, p] : campaign_populations(recordings, acceptance_limits{}))
    text += config_section(config, p, k);
  return text;
}
