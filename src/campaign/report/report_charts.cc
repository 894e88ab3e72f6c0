#include "campaign/report/report_charts.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "campaign/judge/channel_quantities.h"
#include "numerics/robust_statistics.h"

using nlohmann::json;

namespace {

constexpr const char* quantity_names[] = {"rise_time", "amplitude", "time_stamp"};

// Two decimals, as in the log, keep the page small.
json rounded(double v) {
  if (!std::isfinite(v)) return nullptr;
  return std::round(v * 100.0) / 100.0;
}

// The colour range of one configuration's quantity: the 2nd to 98th percentile of its good
// channels, and for deviations from each channel's median, four times their upper quartile.
json colour_range(const std::string& config, const char* quantity,
                  const std::array<std::vector<double>, channel_count>& by_channel) {
  std::vector<double> all, deviations;
  for (const std::vector<double>& v : by_channel) {
    if (v.empty()) continue;
    double median = quantile(v, 0.5);
    for (double x : v) {
      all.push_back(x);
      deviations.push_back(std::fabs(x - median));
    }
  }
  std::sort(all.begin(), all.end());
  std::sort(deviations.begin(), deviations.end());
  double lo = all.empty() ? 0.0 : quantile(all, 0.02);
  double hi = all.empty() ? 1.0 : quantile(all, 0.98);
  if (!(hi > lo)) {
    lo -= 1.0;
    hi += 1.0;
  }
  double spread = deviations.empty() ? 0.0 : 4.0 * quantile(deviations, 0.75);
  return {{"config", config},
          {"quantity", quantity},
          {"lo", rounded(lo)},
          {"hi", rounded(hi)},
          {"spread", spread > 0.0 ? rounded(spread) : json(1.0)}};
}

// One channel's distribution over the chips: extremes, quartiles and median of its good values,
// sorted.
json channel_stats(const std::string& config, const char* quantity, int channel,
                   const std::vector<double>& v) {
  return {{"config", config},
          {"quantity", quantity},
          {"channel", channel},
          {"lo", rounded(v.front())},
          {"q1", rounded(quantile(v, 0.25))},
          {"median", rounded(quantile(v, 0.5))},
          {"q3", rounded(quantile(v, 0.75))},
          {"hi", rounded(v.back())}};
}

// A cell as a compact row, expanded on the page (see report_html): chip, configuration index,
// channel, rise time, amplitude, time stamp, verdict index, flagged.
json cell_row(const chip_verdict& v, size_t config_index, const stored_channel& c,
              size_t verdict_index, const std::set<int>& flagged) {
  return json::array({v.chip, config_index, c.channel, rounded(c.fit.peak_time),
                      rounded(c.fit.amplitude), rounded(c.fit.time_stamp), verdict_index,
                      flagged.count(c.channel) ? 1 : 0});
}

std::set<int> flagged_set(const chip_verdict& v) {
  std::vector<int> channels = flagged_channels(v);
  return {channels.begin(), channels.end()};
}

size_t index_of(const std::vector<std::string>& names, const std::string& name) {
  return static_cast<size_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

// The limits in force for one configuration's quantity and channel: its range, or k robust
// standard deviations about the good chips' median (as a ratio for a relative quantity).
json band(const std::string& config, const char* quantity, int channel, const range_table* table,
          const config_population* population, double k, const std::vector<double>& good) {
  if (const quantity_range* r = table ? table->range_for(channel, quantity) : nullptr)
    return {{"config", config},      {"quantity", quantity},  {"channel", channel},
            {"lo", rounded(r->min)}, {"hi", rounded(r->max)}, {"rule", "range"}};
  std::optional<size_t> q = quantity_index(quantity);
  if ((table && !table->robust) || !population || !population->ready || good.empty() || !q)
    return nullptr;
  // The furthest a good chip's channel may lie from the median: its chip at the chip level's
  // limit, and the channel at the limit within its chip beyond that.
  double chip_limit =
      population->chip_sigma[*q] * small_sample_factor(population->offset_chips[*q]);
  double sigma = population->within_sigma[*q] + (std::isfinite(chip_limit) ? chip_limit : 0.0);
  double median = quantile(good, 0.5);
  if (!(sigma > 0.0)) return nullptr;
  bool relative = channel_quantities()[*q].relative;
  double half = relative ? std::fabs(median) * k * sigma : k * sigma;
  return {{"config", config},
          {"quantity", quantity},
          {"channel", channel},
          {"lo", rounded(median - half)},
          {"hi", rounded(median + half)},
          {"rule", "robust"}};
}

}  // namespace

std::vector<std::string> cell_verdict_names() {
  std::vector<std::string> names;
  for (int v = static_cast<int>(fit_verdict::good); v <= static_cast<int>(fit_verdict::few_events);
       ++v)
    names.emplace_back(verdict_name(static_cast<fit_verdict>(v)));
  return names;
}

json cell_rows(const std::vector<stored_recording>& recordings,
               const std::vector<chip_verdict>& verdicts, const std::vector<std::string>& configs,
               const std::set<std::string>* carried) {
  std::unordered_map<int64_t, const stored_recording*> by_id;
  for (const stored_recording& r : recordings) by_id[r.id] = &r;
  const std::vector<std::string> verdict_names = cell_verdict_names();
  json rows = json::array();
  for (const chip_verdict& v : verdicts) {
    auto it = by_id.find(v.recording_id);
    if ((carried && !carried->count(v.chip)) || it == by_id.end() || it->second->status != 0)
      continue;
    const std::set<int> flagged = flagged_set(v);
    for (const stored_channel& c : it->second->channels)
      rows.push_back(cell_row(v, index_of(configs, v.config), c,
                              index_of(verdict_names, std::string(verdict_name(c.fit.verdict))),
                              flagged));
  }
  return rows;
}

report_data make_report_data(const std::vector<stored_recording>& recordings,
                             const std::vector<chip_verdict>& verdicts,
                             const acceptance_limits& limits,
                             const std::set<std::string>* carried) {
  report_data d;
  std::unordered_map<int64_t, const stored_recording*> by_id;
  for (const stored_recording& r : recordings) by_id[r.id] = &r;
  // Good values by configuration, quantity and channel.
  std::map<std::string, std::array<std::array<std::vector<double>, channel_count>, 3>> good;
  std::set<std::string> configs;
  for (const chip_verdict& v : verdicts) {
    configs.insert(v.config);
    auto it = by_id.find(v.recording_id);
    if (it == by_id.end() || it->second->status != 0) continue;
    const std::set<int> flagged = flagged_set(v);
    bool good_chip = v.outcome == chip_outcome::pass || v.outcome == chip_outcome::not_judged;
    for (const stored_channel& c : it->second->channels) {
      if (!good_chip || flagged.count(c.channel) || c.fit.verdict != fit_verdict::good ||
          c.channel < 0 || c.channel >= channel_count)
        continue;
      auto& g = good[v.config];
      for (auto [i, value] :
           {std::pair{0, c.fit.peak_time}, {1, c.fit.amplitude}, {2, c.fit.time_stamp}})
        if (std::isfinite(value))
          g[static_cast<size_t>(i)][static_cast<size_t>(c.channel)].push_back(value);
    }
  }
  std::map<std::string, config_population> populations = campaign_populations(recordings, limits);
  for (const std::string& config : configs) {
    auto limits_of = limits.configs.find(config);
    const range_table* table = limits_of == limits.configs.end() ? nullptr : &limits_of->second;
    auto population = populations.find(config);
    for (size_t q = 0; q < 3; ++q) {
      auto& by_channel = good[config][q];
      for (std::vector<double>& v : by_channel) std::sort(v.begin(), v.end());
      d.ranges.push_back(colour_range(config, quantity_names[q], by_channel));
      for (int ch = 0; ch < channel_count; ++ch) {
        const std::vector<double>& values = by_channel[static_cast<size_t>(ch)];
        if (!values.empty())
          d.channel_stats.push_back(channel_stats(config, quantity_names[q], ch, values));
        json b =
            band(config, quantity_names[q], ch, table,
                 population == populations.end() ? nullptr : &population->second, limits.k, values);
        if (!b.is_null()) d.bands.push_back(std::move(b));
      }
    }
  }
  d.configs.assign(configs.begin(), configs.end());
  d.cell_configs = d.configs;
  d.cell_verdicts = cell_verdict_names();
  d.cell_rows = cell_rows(recordings, verdicts, d.configs, carried);
  return d;
}
