#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "campaign/judge/acceptance.h"
#include "campaign/model/stored_recording.h"

/// The most chips a report or the served page's first screen carries in full (their verdicts,
/// heat-map cells and gain figures): at some 20 kB a chip, a few MB whatever the campaign.
inline constexpr size_t max_carried_chips = 200;

/// The most chips a cause's row of the totals names; "..." follows when there are more.
inline constexpr size_t max_cause_chips_named = 12;

/// The chips carried in full: every chip of `chips` when there are at most max_carried_chips,
/// else the chips that do not pass first (by chip), then those that pass (by chip), up to
/// max_carried_chips of them.
std::set<std::string> carried_chips(const std::vector<chip_summary>& chips);

/// The whole campaign's counts as the page shows them, exact whatever it carries:
/// "chips": chips counted by outcome ("pass", "fail", "retest", "incomplete", "not judged") and
/// "tested"; "per_config": per configuration, its verdicts counted by outcome; "causes": per
/// cause and configuration of the failing and retest verdicts, "count" and "chips" (the first
/// max_cause_chips_named chips by verdict order, joined by ", "); "days": per day of recording
/// (from `day_of_verdict`, same order as `verdicts`; "" for none) and configuration, "pass",
/// "chips" and "yield" (%); "config": the configuration most chips were judged in (the first by
/// name of those as common). The caller adds "failing", the count of failing_rows.
nlohmann::json campaign_totals(const std::vector<chip_verdict>& verdicts,
                               const std::vector<std::string>& day_of_verdict,
                               const std::vector<chip_summary>& chips,
                               const std::vector<std::string>& configs);

/// The failing table's rows of `verdicts` and `chips` (as verdict_rows and chip_rows give
/// them), each {"chip", "config", "outcome", "flagged", "reasons"}: every verdict but a pass, in
/// their order, then for each incomplete chip a row of outcome "incomplete", "flagged" "" and
/// the one reason "not tested in CONFIG" per required configuration it was never tested in.
nlohmann::json failing_rows(const nlohmann::json& verdicts, const nlohmann::json& chips);

/// What a page carrying only `carried` of `totals`' chips leaves out, in words, naming
/// `varnel-campaign serve` and `export` for the rest; "" when it carries every chip.
std::string left_out_note(const nlohmann::json& totals, size_t carried);
