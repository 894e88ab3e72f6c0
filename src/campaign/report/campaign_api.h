#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "campaign/judge/acceptance.h"
#include "campaign/report/campaign_report.h"
#include "campaign/store/campaign_db.h"

/// A campaign as the server answers for it: every stored recording, judged once each time the
/// database changes, and the page's data made from it.
struct campaign_snapshot {
  int64_t version = 0;  ///< the database's data_version when loaded
  std::vector<stored_recording> recordings;
  report_input in;                    ///< title, rule, limits and verdicts; no details
  nlohmann::json summary;             ///< report_page_data without details: the first screen
  nlohmann::json verdicts;            ///< every verdict, as verdict_rows
  nlohmann::json chips;               ///< every chip's summary, as chip_rows
  nlohmann::json failing;             ///< the failing table's rows of every chip, as failing_rows
  std::vector<std::string> warnings;  ///< the limits' warnings
  /// By chip, the indexes of its verdicts in `verdicts`, of its summary in `chips`, and its
  /// characterisation rows.
  std::map<std::string, std::vector<size_t>> verdicts_of_chip;
  std::map<std::string, size_t> chip_index;
  std::map<std::string, nlohmann::json> characterisation_of_chip;
  int64_t latest_id = 0;    ///< the recording stored last (the largest id); 0 when none
  std::string latest_chip;  ///< its chip
};

/// Loads and judges every recording of `db` under load_limits(`limits_path`), as of
/// data_version `version`; nothing, with `error`, when the database or the limits fail.
std::shared_ptr<const campaign_snapshot> load_snapshot(campaign_db& db,
                                                       const std::string& limits_path,
                                                       int64_t version, std::string& error);

/// The answer of GET /api/version: {"version", "recordings", "chips", "latest"}.
nlohmann::json version_json(const campaign_snapshot& s);

/// The answer of GET /api/summary: what the report embeds (the whole campaign's totals, the
/// chips carried in full), without any chip's pulses, and "chip_url", where the page fetches
/// any chip it opens.
nlohmann::json summary_json(const campaign_snapshot& s);

/// A page of a list: at most `limit` items from `offset` on.
struct page_request {
  size_t offset = 0;
  size_t limit = 100;
};

/// Most items one page carries.
inline constexpr size_t max_page_items = 1000;

/// The page `text_offset`, `text_limit` of the query (either "" for its default): nothing when
/// one is not a whole number, or the limit is 0 or above max_page_items.
std::optional<page_request> parse_page(const std::string& text_offset,
                                       const std::string& text_limit);

/// The answer of GET /api/verdicts: {"total", "offset", "verdicts"}, the verdicts whose
/// outcome is `outcome` ("" for any) from p.offset on.
nlohmann::json verdicts_page(const campaign_snapshot& s, const page_request& p,
                             const std::string& outcome);

/// The answer of GET /api/failing: {"total", "offset", "failing"}, the failing table's rows of
/// the whole campaign (failing_rows) from p.offset on.
nlohmann::json failing_page(const campaign_snapshot& s, const page_request& p);

/// The answer of GET /api/chips: {"total", "offset", "chips"}, each chip's verdict over the
/// configurations it must pass.
nlohmann::json chips_page(const campaign_snapshot& s, const page_request& p);

/// The answer of GET /api/chip/CHIP: {"chip", "outcome", "reasons", "verdicts", "details",
/// "cells", "characterisation"}, the details (fits, problems, points) of every recording
/// judged, loaded from `db`, its heat-map cell rows and its characterisation rows. Nothing
/// when there is no such chip; nothing with `error` when the database fails.
std::optional<nlohmann::json> chip_json(const campaign_snapshot& s, campaign_db& db,
                                        const std::string& chip, std::string& error);

/// The answer of GET /api/latest: chip_json of the chip stored last, with "version" and
/// "recording" (the id stored last); nothing when the database holds no recording.
std::optional<nlohmann::json> latest_json(const campaign_snapshot& s, campaign_db& db,
                                          std::string& error);
