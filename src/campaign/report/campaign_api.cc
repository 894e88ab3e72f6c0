#include "campaign/report/campaign_api.h"

#include <algorithm>
#include <charconv>

#include "campaign/judge/acceptance_limits.h"
#include "campaign/judge/reason_text.h"
#include "campaign/report/report_charts.h"
#include "campaign/report/report_totals.h"
#include "campaign/run/campaign_upkeep.h"
#include "results/json_text.h"

using nlohmann::json;

namespace {

// Where each chip's verdicts and summary are in the snapshot's lists, and its characterisation
// rows, moved out of `all`.
void index_chips(campaign_snapshot& s, campaign_rows& all) {
  for (size_t i = 0; i < s.verdicts.size(); ++i)
    s.verdicts_of_chip[s.verdicts[i]["chip"].get<std::string>()].push_back(i);
  for (size_t i = 0; i < s.chips.size(); ++i)
    s.chip_index[s.chips[i]["chip"].get<std::string>()] = i;
  for (json& r : all.characterisation) {
    json& rows = s.characterisation_of_chip[r[0].get<std::string>()];
    if (rows.is_null()) rows = json::array();
    rows.push_back(std::move(r));
  }
}

void find_latest(campaign_snapshot& s) {
  for (const stored_recording& r : s.recordings)
    if (r.id > s.latest_id) {
      s.latest_id = r.id;
      s.latest_chip = r.chip;
    }
}

// At most p.limit of `items` from p.offset on, as {"total", "offset", name}.
json page_of(const json& items, const page_request& p, const char* name) {
  json page = json::array();
  for (size_t i = p.offset; i < items.size() && page.size() < p.limit; ++i)
    page.push_back(items[i]);
  return {{"total", items.size()}, {"offset", p.offset}, {name, std::move(page)}};
}

// A whole number of the query, or `fallback` for ""; nothing for anything else.
std::optional<size_t> query_number(const std::string& text, size_t fallback) {
  if (text.empty()) return fallback;
  size_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace

std::shared_ptr<const campaign_snapshot> load_snapshot(campaign_db& db,
                                                       const std::string& limits_path,
                                                       int64_t version, std::string& error) {
  auto s = std::make_shared<campaign_snapshot>();
  s->version = version;
  acceptance_limits limits;
  if (!db.load_recordings(s->recordings, error) || !load_limits(db, limits_path, limits, error))
    return nullptr;
  campaign_judgement judgement = judge_campaign(s->recordings, limits);
  s->warnings = std::move(judgement.warnings);
  s->in.title = db.path();
  s->in.rule = rule_text(limits);
  s->in.limits = std::move(limits);
  s->in.verdicts = std::move(judgement.verdicts);
  campaign_rows all;
  s->summary = report_page_data(s->recordings, s->in, &all);
  s->summary.erase("details");
  s->verdicts = std::move(all.verdicts);
  s->chips = std::move(all.chips);
  s->failing = failing_rows(s->verdicts, s->chips);
  index_chips(*s, all);
  find_latest(*s);
  return s;
}

json version_json(const campaign_snapshot& s) {
  return {{"version", s.version},
          {"recordings", s.recordings.size()},
          {"chips", s.chip_index.size()},
          {"latest", s.latest_id}};
}

json summary_json(const campaign_snapshot& s) {
  json out = s.summary;
  out["details"] = json::object();
  out["chip_url"] = "/api/chip/";
  out["pulses_note"] = "";  // every chip's pulses are fetched when it is opened
  if (!out["left_out"].get<std::string>().empty())
    out["left_out"] = "This page lists " + std::to_string(out["chips"].size()) + " of the " +
                      std::to_string(s.chips.size()) +
                      " chips, those that do not pass first, in its failing table, heat map "
                      "and gain chart's dots; every count, yield, cause and channel "
                      "distribution is of the whole campaign. Any chip opens at "
                      "/chip/NAME; the failing table's button fetches its further rows, and "
                      "/api/verdicts and /api/chips page through every one.";
  return out;
}

std::optional<page_request> parse_page(const std::string& text_offset,
                                       const std::string& text_limit) {
  page_request defaults;
  std::optional<size_t> offset = query_number(text_offset, defaults.offset);
  std::optional<size_t> limit = query_number(text_limit, defaults.limit);
  if (!offset || !limit || *limit == 0 || *limit > max_page_items) return std::nullopt;
  return page_request{*offset, *limit};
}

json verdicts_page(const campaign_snapshot& s, const page_request& p, const std::string& outcome) {
  const json& all = s.verdicts;
  if (outcome.empty()) return page_of(all, p, "verdicts");
  json chosen = json::array();
  for (const json& v : all)
    if (v["outcome"] == outcome) chosen.push_back(v);
  return page_of(chosen, p, "verdicts");
}

json failing_page(const campaign_snapshot& s, const page_request& p) {
  return page_of(s.failing, p, "failing");
}

json chips_page(const campaign_snapshot& s, const page_request& p) {
  return page_of(s.chips, p, "chips");
}

std::optional<json> chip_json(const campaign_snapshot& s, campaign_db& db, const std::string& chip,
                              std::string& error) {
  auto found = s.verdicts_of_chip.find(chip);
  if (found == s.verdicts_of_chip.end()) return std::nullopt;
  json verdicts = json::array();
  std::vector<int64_t> ids;
  for (size_t i : found->second) {
    const json& v = s.verdicts[i];
    verdicts.push_back(v);
    if (int64_t id = v["recording"].get<int64_t>(); id != 0) ids.push_back(id);
  }
  std::map<int64_t, recording_detail> details;
  if (!load_recording_details(db, s.recordings, ids, s.in.limits, details, error))
    return std::nullopt;
  json opened = json::object();
  for (const stored_recording& r : s.recordings)
    if (auto d = details.find(r.id); d != details.end())
      opened[std::to_string(r.id)] = opened_recording_json(r, d->second);
  const std::set<std::string> only = {chip};
  auto characterised = s.characterisation_of_chip.find(chip);
  json out = {
      {"chip", chip},
      {"verdicts", verdicts},
      {"details", opened},
      {"cells", cell_rows(s.recordings, s.in.verdicts,
                          s.summary["configs"].get<std::vector<std::string>>(), &only)},
      {"characterisation",
       characterised == s.characterisation_of_chip.end() ? json::array() : characterised->second}};
  if (auto c = s.chip_index.find(chip); c != s.chip_index.end()) {
    out["outcome"] = s.chips[c->second]["outcome"];
    out["reasons"] = s.chips[c->second]["reasons"];
  }
  return out;
}

std::optional<json> latest_json(const campaign_snapshot& s, campaign_db& db, std::string& error) {
  if (s.latest_id == 0) return std::nullopt;
  std::optional<json> out = chip_json(s, db, s.latest_chip, error);
  if (!out) return std::nullopt;
  (*out)["version"] = s.version;
  (*out)["recording"] = s.latest_id;
  for (const stored_recording& r : s.recordings)
    if (r.id == s.latest_id) {
      (*out)["config"] = r.config;
      (*out)["analysed_at"] = r.analysed_at;
    }
  return out;
}
