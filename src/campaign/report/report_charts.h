#pragma once

#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "campaign/judge/acceptance.h"
#include "campaign/model/stored_recording.h"

/// The report's chart data, built once and shared by the charts (see src/campaign/report/).
struct report_data {
  /// The heat map's cells, one compact row per judged recording and channel: [chip, index into
  /// cell_configs, channel, rise time, amplitude, time stamp, index into cell_verdicts, flagged
  /// 0/1], of the chips carried only. The page expands them.
  nlohmann::json cell_rows = nlohmann::json::array();
  std::vector<std::string> cell_configs, cell_verdicts;
  /// Per configuration and quantity, the lo and hi of the colour scale, and the half width
  /// "spread" of the scale of deviations from each channel's median.
  nlohmann::json ranges = nlohmann::json::array();
  /// Per configuration, quantity and channel: lo, q1, median, q3, hi of the good channels of
  /// chips that neither fail nor need a retest.
  nlohmann::json channel_stats = nlohmann::json::array();
  /// Per configuration, quantity and channel: the limits in force, lo and hi, and "rule":
  /// "range" (from the limits) or "robust" (about the median, k robust standard deviations of
  /// the chip level, widened for few chips, and of the channels within their chips).
  nlohmann::json bands = nlohmann::json::array();
  std::vector<std::string> configs;  ///< every configuration judged, sorted
};

/// The chart data of the recordings each verdict judged, with the limits in force from
/// `limits`, the heat map's cells of the chips `carried` only (every chip when null). The
/// colour range of a configuration's quantity spans the 2nd to 98th percentile of its good
/// channels, so that a dead channel does not wash out the others; ranges, statistics and
/// bands are of every chip.
report_data make_report_data(const std::vector<stored_recording>& recordings,
                             const std::vector<chip_verdict>& verdicts,
                             const acceptance_limits& limits,
                             const std::set<std::string>* carried = nullptr);

/// The heat map's cell rows (see report_data::cell_rows) of the verdicts of `carried` (every
/// chip when null), their configurations indexed in `configs` (sorted, every one judged) and
/// their fit verdicts in cell_verdict_names().
nlohmann::json cell_rows(const std::vector<stored_recording>& recordings,
                         const std::vector<chip_verdict>& verdicts,
                         const std::vector<std::string>& configs,
                         const std::set<std::string>* carried);

/// Every fit verdict's name, in the order of the enumeration: what a cell row's verdict index
/// points into.
std::vector<std::string> cell_verdict_names();
