#include "campaign/report/report_totals.h"

#include <algorithm>
#include <map>
#include <utility>

#include "campaign/judge/failure_cause.h"

using nlohmann::json;

namespace {

constexpr chip_outcome verdict_outcomes[] = {chip_outcome::pass, chip_outcome::fail,
                                             chip_outcome::retest, chip_outcome::not_judged};

json outcome_counts(bool with_incomplete) {
  json n = json::object();
  for (chip_outcome o : verdict_outcomes) n[outcome_name(o)] = 0;
  if (with_incomplete) n[outcome_name(chip_outcome::incomplete)] = 0;
  return n;
}

// Each chip with a verdict counted once under its summary's outcome (a pass when it has none).
json chip_counts(const std::vector<chip_verdict>& verdicts,
                 const std::vector<chip_summary>& chips) {
  std::map<std::string, chip_outcome> outcome;
  for (const chip_verdict& v : verdicts) outcome.try_emplace(v.chip, chip_outcome::pass);
  for (const chip_summary& s : chips)
    if (auto it = outcome.find(s.chip); it != outcome.end()) it->second = s.outcome;
  json n = outcome_counts(true);
  for (const auto& [chip, o] : outcome) n[outcome_name(o)] = n[outcome_name(o)].get<int64_t>() + 1;
  n["tested"] = outcome.size();
  return n;
}

json per_config(const std::vector<chip_verdict>& verdicts,
                const std::vector<std::string>& configs) {
  json per = json::object();
  for (const std::string& c : configs) per[c] = outcome_counts(false);
  for (const chip_verdict& v : verdicts) {
    if (!per.contains(v.config)) per[v.config] = outcome_counts(false);
    json& n = per[v.config][outcome_name(v.outcome)];
    n = n.get<int64_t>() + 1;
  }
  return per;
}

json cause_counts(const std::vector<chip_verdict>& verdicts) {
  std::map<std::pair<std::string, std::string>, std::pair<int64_t, std::vector<std::string>>> by;
  std::vector<std::pair<std::string, std::string>> order;
  for (const chip_verdict& v : verdicts) {
    if (v.outcome != chip_outcome::fail && v.outcome != chip_outcome::retest) continue;
    std::pair key{failure_cause(v), v.config};
    auto [it, added] = by.try_emplace(key);
    if (added) order.push_back(key);
    ++it->second.first;
    if (it->second.second.size() <= max_cause_chips_named) it->second.second.push_back(v.chip);
  }
  json out = json::array();
  for (const auto& key : order) {
    auto& [count, chips] = by[key];
    std::string named;
    for (size_t i = 0; i < chips.size() && i < max_cause_chips_named; ++i)
      named += (i ? ", " : "") + chips[i];
    if (chips.size() > max_cause_chips_named) named += ", ...";
    out.push_back(
        {{"cause", key.first}, {"config", key.second}, {"count", count}, {"chips", named}});
  }
  return out;
}

json day_yields(const std::vector<chip_verdict>& verdicts, const std::vector<std::string>& days) {
  std::map<std::pair<std::string, std::string>, std::pair<int64_t, int64_t>> per;
  std::vector<std::pair<std::string, std::string>> order;
  for (size_t i = 0; i < verdicts.size() && i < days.size(); ++i) {
    if (days[i].empty()) continue;
    std::pair key{days[i], verdicts[i].config};
    auto [it, added] = per.try_emplace(key, 0, 0);
    if (added) order.push_back(key);
    ++it->second.second;
    it->second.first += verdicts[i].outcome == chip_outcome::pass;
  }
  json out = json::array();
  for (const auto& key : order) {
    auto [pass, chips] = per[key];
    out.push_back({{"day", key.first},
                   {"config", key.second},
                   {"pass", pass},
                   {"chips", chips},
                   {"yield", 100.0 * static_cast<double>(pass) / static_cast<double>(chips)}});
  }
  return out;
}

std::string commonest_config(const std::vector<chip_verdict>& verdicts,
                             const std::vector<std::string>& configs) {
  std::map<std::string, int64_t> n;
  for (const chip_verdict& v : verdicts) ++n[v.config];
  std::string best;
  int64_t most = -1;
  for (const std::string& c : configs)  // sorted by name: the first of the commonest wins
    if (n[c] > most) {
      most = n[c];
      best = c;
    }
  return best;
}

}  // namespace

std::set<std::string> carried_chips(const std::vector<chip_summary>& chips) {
  std::vector<std::pair<bool, std::string>> ranked;
  for (const chip_summary& s : chips) ranked.emplace_back(s.outcome == chip_outcome::pass, s.chip);
  std::sort(ranked.begin(), ranked.end());
  std::set<std::string> carried;
  for (size_t i = 0; i < ranked.size() && i < max_carried_chips; ++i)
    carried.insert(ranked[i].second);
  return carried;
}

json campaign_totals(const std::vector<chip_verdict>& verdicts,
                     const std::vector<std::string>& day_of_verdict,
                     const std::vector<chip_summary>& chips,
                     const std::vector<std::string>& configs) {
  return {{"chips", chip_counts(verdicts, chips)},
          {"per_config", per_config(verdicts, configs)},
          {"causes", cause_counts(verdicts)},
          {"days", day_yields(verdicts, day_of_verdict)},
          {"config", commonest_config(verdicts, configs)}};
}

json failing_rows(const json& verdicts, const json& chips) {
  const std::string incomplete = outcome_name(chip_outcome::incomplete);
  const std::string untested = "not tested in ";
  json rows = json::array();
  for (const json& v : verdicts)
    if (v["outcome"] != outcome_name(chip_outcome::pass))
      rows.push_back({{"chip", v["chip"]},
                      {"config", v["config"]},
                      {"outcome", v["outcome"]},
                      {"flagged", v["flagged"]},
                      {"reasons", v["reasons"]}});
  for (const json& c : chips) {
    if (c["outcome"] != incomplete) continue;
    for (const json& reason : c["reasons"]) {
      std::string config = reason.get<std::string>();
      if (config.starts_with(untested)) config.erase(0, untested.size());
      rows.push_back({{"chip", c["chip"]},
                      {"config", config},
                      {"outcome", incomplete},
                      {"flagged", ""},
                      {"reasons", json::array({reason})}});
    }
  }
  return rows;
}

std::string left_out_note(const json& totals, size_t carried) {
  const int64_t tested = totals["chips"]["tested"].get<int64_t>();
  if (static_cast<int64_t>(carried) >= tested) return {};
  return "This report carries " + std::to_string(carried) + " of the " + std::to_string(tested) +
         " chips in full, those that do not pass first: the failing table, the heat map, the "
         "gain chart's dots and the chips that open show only them. Every count, yield, cause "
         "and channel distribution is of the whole campaign. varnel-campaign serve shows every "
         "chip, and varnel-campaign export writes every verdict.";
}
