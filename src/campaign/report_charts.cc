#include "campaign/report_charts.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>
#include <unordered_map>

using nlohmann::json;

namespace {

constexpr const char* quantity_names[] = {"rise_time", "amplitude", "time_stamp"};

// Two decimals, as in the log, keep the page small.
json rounded(double v) {
  if (!std::isfinite(v)) return nullptr;
  return std::round(v * 100.0) / 100.0;
}

// The p-quantile of sorted `v`, interpolating between neighbours as Vega's aggregates do.
double quantile(const std::vector<double>& v, double p) {
  double at = p * static_cast<double>(v.size() - 1);
  size_t below = static_cast<size_t>(at);
  if (below + 1 >= v.size()) return v.back();
  return v[below] + (at - static_cast<double>(below)) * (v[below + 1] - v[below]);
}

// The colour range of one configuration's quantity: the 2nd to 98th percentile of its good
// channels, and for deviations from each channel's median, four times their upper quartile.
json colour_range(const std::string& config, const char* quantity,
                  const std::array<std::vector<double>, 32>& by_channel) {
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

size_t index_of(std::vector<std::string>& names, const std::string& name) {
  auto it = std::find(names.begin(), names.end(), name);
  if (it != names.end()) return static_cast<size_t>(it - names.begin());
  names.push_back(name);
  return names.size() - 1;
}

json menu(const std::string& name, const std::vector<std::string>& options, const char* label) {
  return {{"name", name},
          {"value", options.empty() ? "" : options.front()},
          {"bind", {{"input", "select"}, {"options", options}, {"name", label}}}};
}

json chart_signals(const report_data& d) {
  return json::array(
      {menu("config", d.configs, "configuration "),
       menu("quantity", {std::begin(quantity_names), std::end(quantity_names)}, " quantity ")});
}

// The cells of the chosen configuration, with the chosen quantity as "value", from the data set
// `source`: "cells", which the page fills with every cell, or "flagged_cells", which it fills
// with the flagged ones alone, so that a chart of a few cells does not carry all of them. The
// page adds each quantity's deviation from its channel's median as "<quantity>_dev".
json shown_data(const char* name, const char* source, const char* colour_expr) {
  json transform =
      json::array({{{"type", "filter"}, {"expr", "datum.config === config"}},
                   {{"type", "formula"}, {"as", "value"}, {"expr", "datum[quantity]"}}});
  if (colour_expr)
    transform.push_back({{"type", "formula"}, {"as", "colour_value"}, {"expr", colour_expr}});
  return {{"name", name}, {"source", source}, {"transform", transform}};
}

// The rows of `values` for the chosen configuration and quantity.
json chosen_rows(const char* name, const json& values) {
  return {{"name", name},
          {"values", values},
          {"transform", json::array({{{"type", "filter"},
                                      {"expr",
                                       "datum.config === config && "
                                       "datum.quantity === quantity"}}})}};
}

json cell_tooltip() {
  return {{"signal",
           "{'chip': datum.chip, 'channel': datum.channel, 'rise time (ns)': datum.rise_time, "
           "'amplitude (ADC)': datum.amplitude, 'time stamp (ns)': datum.time_stamp, "
           "'verdict': datum.verdict, 'flagged': datum.flagged}"}};
}

}  // namespace

report_data make_report_data(const std::vector<stored_recording>& recordings,
                             const std::vector<chip_verdict>& verdicts) {
  report_data d;
  std::unordered_map<int64_t, const stored_recording*> by_id;
  for (const stored_recording& r : recordings) by_id[r.id] = &r;
  // Good values by configuration, quantity and channel.
  std::map<std::string, std::array<std::array<std::vector<double>, 32>, 3>> good;
  std::map<std::pair<std::string, std::string>, int> yield;
  std::set<std::string> chips, configs;
  std::vector<std::string> verdict_names;
  for (const chip_verdict& v : verdicts) {
    chips.insert(v.chip);
    configs.insert(v.config);
    ++yield[{v.config, outcome_name(v.outcome)}];
    auto it = by_id.find(v.recording_id);
    if (it == by_id.end() || it->second->status != 0) continue;
    std::set<int> flagged;
    for (const channel_flag& f : v.flags) flagged.insert(f.channel);
    for (const stored_channel& c : it->second->channels) {
      std::string verdict(verdict_name(c.fit.verdict));
      d.cell_rows.push_back(cell_row(v, index_of(d.cell_configs, v.config), c,
                                     index_of(verdict_names, verdict), flagged));
      if (c.fit.verdict != fit_verdict::good || c.channel < 0 || c.channel >= 32) continue;
      auto& g = good[v.config];
      for (auto [i, value] :
           {std::pair{0, c.fit.peak_time}, {1, c.fit.amplitude}, {2, c.fit.time_stamp}})
        if (std::isfinite(value))
          g[static_cast<size_t>(i)][static_cast<size_t>(c.channel)].push_back(value);
    }
  }
  for (const std::string& config : configs)
    for (size_t q = 0; q < 3; ++q) {
      auto& by_channel = good[config][q];
      for (std::vector<double>& v : by_channel) std::sort(v.begin(), v.end());
      d.ranges.push_back(colour_range(config, quantity_names[q], by_channel));
      for (int ch = 0; ch < 32; ++ch)
        if (!by_channel[static_cast<size_t>(ch)].empty())
          d.channel_stats.push_back(
              channel_stats(config, quantity_names[q], ch, by_channel[static_cast<size_t>(ch)]));
    }
  for (const auto& [key, count] : yield)
    d.yield.push_back({{"config", key.first}, {"outcome", key.second}, {"count", count}});
  d.configs.assign(configs.begin(), configs.end());
  d.cell_verdicts = verdict_names;
  d.chips = chips.size();
  return d;
}

json yield_spec(const report_data& d) {
  int height = std::max(60, 40 * static_cast<int>(d.configs.size()));
  return {
      {"$schema", "https://vega.github.io/schema/vega/v5.json"},
      {"width", 520},
      {"height", height},
      {"padding", 5},
      {"data", json::array({{{"name", "yield"},
                             {"values", d.yield},
                             {"transform", json::array({{{"type", "stack"},
                                                         {"groupby", {"config"}},
                                                         {"sort", {{"field", "outcome"}}},
                                                         {"field", "count"}}})}}})},
      {"scales", json::array({{{"name", "x"},
                               {"type", "linear"},
                               {"domain", {{"data", "yield"}, {"field", "y1"}}},
                               {"range", "width"},
                               {"nice", true}},
                              {{"name", "y"},
                               {"type", "band"},
                               {"domain", {{"data", "yield"}, {"field", "config"}, {"sort", true}}},
                               {"range", "height"},
                               {"padding", 0.2}},
                              {{"name", "colour"},
                               {"type", "ordinal"},
                               {"domain", {"pass", "fail", "not analysed"}},
                               {"range", {"#2ca02c", "#d62728", "#999999"}}}})},
      {"axes", json::array({{{"orient", "bottom"}, {"scale", "x"}, {"title", "chips"}},
                            {{"orient", "left"}, {"scale", "y"}}})},
      {"legends", json::array({{{"fill", "colour"}, {"title", "verdict"}}})},
      {"marks", json::array({{{"type", "rect"},
                              {"from", {{"data", "yield"}}},
                              {"encode",
                               {{"enter",
                                 {{"y", {{"scale", "y"}, {"field", "config"}}},
                                  {"height", {{"scale", "y"}, {"band", 1}}},
                                  {"x", {{"scale", "x"}, {"field", "y0"}}},
                                  {"x2", {{"scale", "x"}, {"field", "y1"}}},
                                  {"fill", {{"scale", "colour"}, {"field", "outcome"}}},
                                  {"tooltip",
                                   {{"signal",
                                     "{'configuration': datum.config, 'verdict': datum.outcome, "
                                     "'chips': datum.count}"}}}}}}}}})}};
}

json heatmap_spec(const report_data& d) {
  int step = d.chips > 200 ? 3 : d.chips > 60 ? 6 : 14;
  bool labels = d.chips <= 60;
  json signals = chart_signals(d);
  signals.push_back(menu("show", {"deviation from the channel's median", "value"}, " colour "));
  signals.push_back(
      {{"name", "lo"}, {"update", "length(data('range')) ? data('range')[0].lo : 0"}});
  signals.push_back(
      {{"name", "hi"}, {"update", "length(data('range')) ? data('range')[0].hi : 1"}});
  // Deviations are coloured on a symmetric scale, so that ordinary chips stay pale and a faulty
  // one stands out.
  signals.push_back(
      {{"name", "spread"}, {"update", "length(data('range')) ? data('range')[0].spread : 1"}});
  signals.push_back({{"name", "by_value"}, {"update", "show === 'value'"}});
  return {
      {"$schema", "https://vega.github.io/schema/vega/v5.json"},
      {"width", 32 * 18},
      {"height", std::max(60, step * static_cast<int>(d.chips))},
      {"padding", 5},
      {"signals", signals},
      {"data", json::array({{{"name", "cells"}, {"values", json::array()}},
                            shown_data("shown", "cells",
                                       "by_value ? datum.value : datum[quantity + '_dev']"),
                            chosen_rows("range", d.ranges)})},
      {"scales",
       json::array({{{"name", "x"},
                     {"type", "band"},
                     {"domain", {{"data", "shown"}, {"field", "channel"}, {"sort", true}}},
                     {"range", "width"}},
                    {{"name", "y"},
                     {"type", "band"},
                     {"domain", {{"data", "shown"}, {"field", "chip"}, {"sort", true}}},
                     {"range", "height"}},
                    {{"name", "colour"},
                     {"type", "linear"},
                     {"domain", {{"signal", "by_value ? [lo, hi] : [-spread, spread]"}}},
                     {"range", {{"scheme", {{"signal", "by_value ? 'viridis' : 'redblue'"}}}}},
                     {"reverse", {{"signal", "!by_value"}}},
                     {"clamp", true}}})},
      {"axes", json::array({{{"orient", "bottom"}, {"scale", "x"}, {"title", "channel"}},
                            {{"orient", "left"},
                             {"scale", "y"},
                             {"title", "chip"},
                             {"labels", labels},
                             {"ticks", labels}}})},
      {"legends",
       json::array({{{"fill", "colour"},
                     {"type", "gradient"},
                     {"title", {{"signal", "by_value ? quantity : quantity + ' - median'"}}}}})},
      {"marks",
       json::array({{{"type", "rect"},
                     {"from", {{"data", "shown"}}},
                     {"encode",
                      {{"update",
                        {{"x", {{"scale", "x"}, {"field", "channel"}}},
                         {"width", {{"scale", "x"}, {"band", 1}}},
                         {"y", {{"scale", "y"}, {"field", "chip"}}},
                         {"height", {{"scale", "y"}, {"band", 1}}},
                         {"fill", json::array({{{"test", "!isValid(datum.colour_value)"},
                                                {"value", "#cccccc"}},
                                               {{"scale", "colour"}, {"field", "colour_value"}}})},
                         {"stroke", {{"signal", "datum.flagged ? '#d62728' : null"}}},
                         {"strokeWidth", {{"value", 1.5}}},
                         {"tooltip", cell_tooltip()}}}}}}})}};
}

json distribution_spec(const report_data& d) {
  json box_encode = {{"x", {{"scale", "x"}, {"field", "channel"}, {"offset", 2}}},
                     {"width", {{"scale", "x"}, {"band", 1}, {"offset", -4}}},
                     {"y", {{"scale", "y"}, {"field", "q1"}}},
                     {"y2", {{"scale", "y"}, {"field", "q3"}}},
                     {"fill", {{"value", "#9ecae1"}}},
                     {"stroke", {{"value", "#3182bd"}}},
                     {"tooltip",
                      {{"signal",
                        "{'channel': datum.channel, 'min': datum.lo, 'q1': datum.q1, "
                        "'median': datum.median, 'q3': datum.q3, 'max': datum.hi}"}}}};
  return {
      {"$schema", "https://vega.github.io/schema/vega/v5.json"},
      {"width", 32 * 18},
      {"height", 260},
      {"padding", 5},
      {"signals", chart_signals(d)},
      {"data", json::array({{{"name", "flagged_cells"}, {"values", json::array()}},
                            chosen_rows("stats", d.channel_stats),
                            shown_data("flagged", "flagged_cells", nullptr)})},
      {"scales",
       json::array({{{"name", "x"},
                     {"type", "band"},
                     {"domain", {{"data", "stats"}, {"field", "channel"}, {"sort", true}}},
                     {"range", "width"}},
                    {{"name", "y"},
                     {"type", "linear"},
                     {"domain", {{"data", "stats"}, {"fields", {"lo", "hi"}}}},
                     {"range", "height"},
                     {"zero", false},
                     {"nice", true}}})},
      {"axes",
       json::array({{{"orient", "bottom"}, {"scale", "x"}, {"title", "channel"}},
                    {{"orient", "left"}, {"scale", "y"}, {"title", {{"signal", "quantity"}}}}})},
      {"marks",
       json::array(
           {{{"type", "rule"},
             {"from", {{"data", "stats"}}},
             {"encode",
              {{"update",
                {{"x", {{"scale", "x"}, {"field", "channel"}, {"band", 0.5}}},
                 {"y", {{"scale", "y"}, {"field", "lo"}}},
                 {"y2", {{"scale", "y"}, {"field", "hi"}}},
                 {"stroke", {{"value", "#3182bd"}}}}}}}},
            {{"type", "rect"}, {"from", {{"data", "stats"}}}, {"encode", {{"update", box_encode}}}},
            {{"type", "rect"},
             {"from", {{"data", "stats"}}},
             {"encode",
              {{"update",
                {{"x", {{"scale", "x"}, {"field", "channel"}, {"offset", 2}}},
                 {"width", {{"scale", "x"}, {"band", 1}, {"offset", -4}}},
                 {"y", {{"scale", "y"}, {"field", "median"}}},
                 {"height", {{"value", 1.5}}},
                 {"fill", {{"value", "#08306b"}}}}}}}},
            {{"type", "symbol"},
             {"from", {{"data", "flagged"}}},
             {"clip", true},
             {"encode",
              {{"update",
                {{"x", {{"scale", "x"}, {"field", "channel"}, {"band", 0.5}}},
                 {"y", {{"scale", "y"}, {"field", "value"}}},
                 {"size", {{"value", 30}}},
                 {"fill", {{"value", "#d62728"}}},
                 {"tooltip", cell_tooltip()}}}}}}})}};
}
