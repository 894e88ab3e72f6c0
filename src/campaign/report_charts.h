#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "campaign/acceptance.h"
#include "campaign/campaign_db.h"

/// Rows of the report's chart data, built once and shared by the charts.
struct report_data {
  /// The heat map's cells, one compact row per judged recording and channel: [chip, index into
  /// cell_configs, channel, rise time, amplitude, time stamp, index into cell_verdicts, flagged
  /// 0/1]. The charts' "cells" data is left empty; the page fills it from these rows.
  nlohmann::json cell_rows = nlohmann::json::array();
  std::vector<std::string> cell_configs, cell_verdicts;
  /// Per configuration and quantity, the lo and hi of the colour scale, and the half width
  /// "spread" of the scale of deviations from each channel's median.
  nlohmann::json ranges = nlohmann::json::array();
  /// Per configuration, quantity and channel: lo, q1, median, q3, hi of the good channels.
  nlohmann::json channel_stats = nlohmann::json::array();
  /// Per configuration and outcome, the count of chips.
  nlohmann::json yield = nlohmann::json::array();
  std::vector<std::string> configs;  ///< every configuration judged, sorted
  size_t chips = 0;                  ///< distinct chips judged
};

/// The chart data of the recordings each verdict judged. The colour range of a configuration's
/// quantity spans the 2nd to 98th percentile of its good channels, so that a dead channel does
/// not wash out the others.
report_data make_report_data(const std::vector<stored_recording>& recordings,
                             const std::vector<chip_verdict>& verdicts);

/// The Vega chart definition (JSON) of the chips judged pass, fail or not analysed, stacked per
/// configuration.
nlohmann::json yield_spec(const report_data& d);
/// The Vega chart definition (JSON) of a chip x channel heat map of a quantity chosen with a menu
/// (rise time, amplitude, time stamp) for a configuration chosen with a menu; flagged cells
/// outlined red, every cell with a tooltip.
nlohmann::json heatmap_spec(const report_data& d);
/// The Vega chart definition (JSON) of each channel's distribution of a chosen quantity over the
/// chips (box from the quartiles, whiskers to the extremes of good channels), flagged chips marked.
nlohmann::json distribution_spec(const report_data& d);
