#include "campaign/report/campaign_report.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <map>
#include <set>
#include <string_view>
#include <unordered_map>

#include "campaign/judge/characterisation.h"
#include "campaign/judge/failure_cause.h"
#include "campaign/judge/reason_text.h"
#include "campaign/report/report_charts.h"
#include "campaign/report/report_files.h"
#include "campaign/report/report_totals.h"
#include "campaign/report/vega_bundle.h"
#include "common/number_text.h"
#include "fit/channel_fields.h"
#include "fit/fit_messages.h"
#include "numerics/robust_statistics.h"
#include "results/json_text.h"

using nlohmann::json;

namespace {

constexpr size_t max_failed_runs_listed = 200;

// Numbers rounded to `digits` decimals keep the page small; NaN and infinities become null.
json rounded(double v, double scale = 100.0) {
  if (!std::isfinite(v)) return nullptr;
  return std::round(v * scale) / scale;
}

// Every chart definition of report/charts/ as one JSON object, by file name without ".json".
std::string chart_definitions() {
  constexpr std::string_view folder = "charts/", ending = ".json";
  std::string out = "{";
  for (const embedded_file& f : embedded_files) {
    if (!f.name.starts_with(folder) || !f.name.ends_with(ending)) continue;
    std::string_view name =
        f.name.substr(folder.size(), f.name.size() - folder.size() - ending.size());
    out += (out.size() > 1 ? ",\n\"" : "\"") + std::string(name) + "\":" + std::string(f.text);
  }
  return out + "}";
}

// The day a recording was made, "YYYY-MM-DD" from its recorded_at; "" when unknown.
std::string day_of(const stored_recording* r) {
  return r && r->recorded_at.size() >= 10 ? r->recorded_at.substr(0, 10) : "";
}

json recording_summary(const stored_recording& r) {
  return {{"path", r.path},
          {"recorded_at", r.recorded_at},
          {"status", r.status},
          {"message", r.message},
          {"events", r.events_completed}};
}

json verdict_json(const chip_verdict& v,
                  const std::unordered_map<int64_t, const stored_recording*>& by_id,
                  const std::unordered_map<std::string, const stored_recording*>& by_path) {
  auto judged = by_id.find(v.recording_id);
  json flags = json::object();
  for (int channel : flagged_channels(v))
    flags[std::to_string(channel)] = channel_reason(v, channel);
  json superseded = json::array();
  for (const std::string& path : v.superseded) {
    auto it = by_path.find(path);
    superseded.push_back(it == by_path.end() ? json{{"path", path}}
                                             : recording_summary(*it->second));
  }
  return {{"chip", v.chip},
          {"config", v.config},
          {"outcome", outcome_name(v.outcome)},
          {"flagged", v.flagged_channels},
          {"allowed", v.max_flagged_channels},
          {"reasons", v.reasons},
          {"cause", failure_cause(v)},
          {"recording", v.recording_id},
          {"path", v.recording_path},
          {"day", day_of(judged == by_id.end() ? nullptr : judged->second)},
          {"flags", flags},
          {"superseded", superseded}};
}

// One channel's points as three arrays, times to 0.1 ns and amplitudes to 0.1 ADC counts.
json channel_points_json(const channel_points& points) {
  std::vector<const snapshot_point*> sorted;
  for (const snapshot_point& p : points) sorted.push_back(&p);
  std::sort(sorted.begin(), sorted.end(),
            [](const snapshot_point* a, const snapshot_point* b) { return a->first < b->first; });
  json t = json::array(), y = json::array(), ey = json::array();
  for (const snapshot_point* p : sorted) {
    t.push_back(rounded(p->first, 10.0));
    y.push_back(rounded(p->second.first, 10.0));
    ey.push_back(rounded(p->second.second, 10.0));
  }
  return {t, y, ey};
}

// Why the fit judged a channel as it did: the line standard error gave for it, naming the rule
// and its figures, and the verdict that too few events replaced; the figures of a good one.
std::string fit_evidence(const stored_channel& c) {
  const channel_fit& f = c.fit;
  std::string why = verdict_note(c.channel, f);
  // Appended piece by piece: GCC 12 warns falsely of an overlapping copy for a text added in
  // front of a temporary.
  if (f.replaced_verdict)
    why.append(why.empty() ? "" : " ")
        .append("From its points alone the fit judged it ")
        .append(verdict_name(*f.replaced_verdict))
        .append(".");
  if (why.empty() && f.verdict == fit_verdict::good && f.ndf > 0)
    why.append("significance ")
        .append(fixed_text(f.significance, 0))
        .append("σ, height ")
        .append(fixed_text(f.scatter > 0 ? f.seen_height / f.scatter : 0.0, 1))
        .append(" times the scatter, ")
        .append(std::to_string(f.pulse_points))
        .append(" points on the pulse, chi2/ndf ")
        .append(fixed_text(f.chi2 / f.ndf, 2))
        .append(", ")
        .append(std::to_string(f.fits_run))
        .append(" starts");
  return why;
}

// A channel's shown fields by their names, with "channel" and "why"; the misfit, a fraction, to
// a thousandth of a percent, other numbers to a hundredth.
json page_fit(const stored_channel& c) {
  json fit = {{"channel", c.channel}, {"why", fit_evidence(c)}};
  for (const channel_field& f : channel_fields()) {
    if (!f.shown) continue;
    if (f.type == field_type::verdict || f.type == field_type::optional_verdict)
      fit[f.name] = field_verdict_name(f, c.fit);
    else if (f.type == field_type::real)
      fit[f.name] =
          rounded(field_number(f, c.fit), std::string_view(f.unit) == "fraction" ? 1e5 : 100.0);
    else
      fit[f.name] = static_cast<int64_t>(field_number(f, c.fit));
  }
  return fit;
}

}  // namespace

json opened_recording_json(const stored_recording& r, const recording_detail& detail) {
  json fits = json::array(), points = json::object();
  for (const stored_channel& c : r.channels) fits.push_back(page_fit(c));
  for (size_t ch = 0; ch < detail.points.size(); ++ch)
    if (!detail.points[ch].empty())
      points[std::to_string(ch)] = channel_points_json(detail.points[ch]);
  json out = recording_summary(r);
  out["events_started"] = r.events_started;
  out["common_mode_noise"] = rounded(r.common_mode_noise, 1000.0);
  out["notes"] = r.notes;
  out["problems"] = detail.problems;
  out["fits"] = fits;
  out["points"] = points;
  return out;
}

namespace {

json failed_runs(const std::vector<stored_recording>& recordings) {
  json runs = json::array();
  for (const stored_recording& r : recordings)
    if (r.status != 0 && runs.size() < max_failed_runs_listed)
      runs.push_back(
          {{"chip", r.chip}, {"config", r.config}, {"message", r.message}, {"path", r.path}});
  return runs;
}

// The figures of the rows [chip, channel, gain, noise, reason, offset] that gain_stats sums up.
constexpr std::pair<const char*, size_t> gain_figures[] = {{"gain", 2}, {"noise_mV", 3}};

// Per figure and channel, the extremes, quartiles and median of the characterisation rows'
// figures of channels not flagged, as the gain chart's boxes draw them.
json gain_stats(const json& rows) {
  json stats = json::array();
  for (auto [figure, column] : gain_figures) {
    std::map<int, std::vector<double>> by_channel;
    for (const json& r : rows)
      if (r[4] == "" && r[column].is_number()) by_channel[r[1].get<int>()].push_back(r[column]);
    for (auto& [channel, v] : by_channel) {
      std::sort(v.begin(), v.end());
      stats.push_back({{"config", "across configurations"},
                       {"quantity", figure},
                       {"channel", channel},
                       {"lo", v.front()},
                       {"q1", quantile(v, 0.25)},
                       {"median", quantile(v, 0.5)},
                       {"q3", quantile(v, 0.75)},
                       {"hi", v.back()}});
    }
  }
  return stats;
}

}  // namespace

json characterisation_rows(const std::vector<stored_recording>& recordings,
                           const acceptance_limits& limits) {
  campaign_characterisation c = characterise(recordings, limits);
  std::map<std::pair<std::string, int>, std::string> flagged;
  for (const chip_verdict& v : judge_characterisation(c.channels, limits))
    for (int channel : flagged_channels(v))
      flagged.try_emplace({v.chip, channel}, channel_reason(v, channel));
  json rows = json::array();
  for (const channel_characterisation& ch : c.channels)
    if (std::isfinite(ch.gain))
      rows.push_back({ch.chip, ch.channel, rounded(ch.gain, 1000.0), rounded(ch.noise_mV, 10000.0),
                      flagged[{ch.chip, ch.channel}], rounded(ch.offset)});
  return rows;
}

json verdict_rows(const std::vector<stored_recording>& recordings,
                  const std::vector<chip_verdict>& verdicts, const std::set<std::string>* carried) {
  std::unordered_map<int64_t, const stored_recording*> by_id;
  std::unordered_map<std::string, const stored_recording*> by_path;
  for (const stored_recording& r : recordings) {
    by_id[r.id] = &r;
    by_path[r.path] = &r;
  }
  json rows = json::array();
  for (const chip_verdict& v : verdicts)
    if (!carried || carried->count(v.chip)) rows.push_back(verdict_json(v, by_id, by_path));
  return rows;
}

json chip_rows(const std::vector<chip_summary>& chips, const std::set<std::string>* carried) {
  json rows = json::array();
  for (const chip_summary& s : chips)
    if (!carried || carried->count(s.chip))
      rows.push_back(
          {{"chip", s.chip}, {"outcome", outcome_name(s.outcome)}, {"reasons", s.reasons}});
  return rows;
}

namespace {

// The injected amplitude (mV) of each configuration that has one.
json injections(const std::vector<std::string>& configs, const acceptance_limits& limits) {
  json out = json::object();
  for (const std::string& config : configs)
    if (std::optional<injection> i = injection_of(config, limits)) out[config] = i->mV;
  return out;
}

}  // namespace

json report_page_data(const std::vector<stored_recording>& recordings, const report_input& in,
                      campaign_rows* all) {
  std::unordered_map<int64_t, const stored_recording*> by_id;
  size_t failed = 0;
  for (const stored_recording& r : recordings) {
    by_id[r.id] = &r;
    failed += r.status != 0;
  }
  const std::vector<std::string> required = required_configurations(in.verdicts, in.limits);
  const std::vector<chip_summary> summaries = summarise_chips(in.verdicts, required);
  std::set<std::string> carried = carried_chips(summaries);
  if (!in.opened_chip.empty()) carried.insert(in.opened_chip);
  report_data d = make_report_data(recordings, in.verdicts, in.limits, &carried);
  std::vector<std::string> days;
  for (const chip_verdict& v : in.verdicts) {
    auto judged = by_id.find(v.recording_id);
    days.push_back(day_of(judged == by_id.end() ? nullptr : judged->second));
  }
  json totals = campaign_totals(in.verdicts, days, summaries, d.configs);
  json every_verdict = verdict_rows(recordings, in.verdicts, nullptr), verdicts = json::array();
  for (json& v : every_verdict)
    if (carried.count(v["chip"].get<std::string>())) verdicts.push_back(v);
  json chips = chip_rows(summaries, &carried), every_chip = chip_rows(summaries, nullptr);
  totals["failing"] = failing_rows(every_verdict, every_chip).size();
  json details = json::object();
  for (const auto& [id, detail] : in.details)
    if (auto it = by_id.find(id); it != by_id.end())
      details[std::to_string(id)] = opened_recording_json(*it->second, detail);
  json characterisation = characterisation_rows(recordings, in.limits),
       carried_rows = json::array();
  for (const json& r : characterisation)
    if (carried.count(r[0].get<std::string>())) carried_rows.push_back(r);
  const size_t carried_count = std::min(carried.size(), summaries.size());
  json out = {{"title", in.title},
              {"rule", in.rule},
              {"recordings", recordings.size()},
              {"failed_run_count", failed},
              {"failed_runs", failed_runs(recordings)},
              {"configs", d.configs},
              {"verdicts", verdicts},
              {"chips", chips},
              {"failing", failing_rows(verdicts, chips)},
              {"totals", totals},
              {"left_out", left_out_note(totals, carried_count)},
              {"required", required},
              {"opened_chip", in.opened_chip},
              {"pulses_note", pulses_note(in.verdicts)},
              {"cells",
               {{"configs", d.cell_configs},
                {"verdicts", d.cell_verdicts},
                {"stats", d.channel_stats},
                {"rows", d.cell_rows}}},
              {"ranges", d.ranges},
              {"bands", d.bands},
              {"characterisation", carried_rows},
              {"gain_stats", gain_stats(characterisation)},
              {"injections", injections(d.configs, in.limits)},
              {"details", details}};
  if (all) *all = {std::move(every_verdict), std::move(every_chip), std::move(characterisation)};
  return out;
}

namespace {

// The page skeleton with each "{{name}}" replaced by `parts`' text of that name.
std::string fill(std::string_view skeleton, const std::map<std::string, std::string>& parts) {
  std::string out;
  size_t at = 0;
  for (size_t open; (open = skeleton.find("{{", at)) != std::string_view::npos;) {
    size_t close = skeleton.find("}}", open);
    if (close == std::string_view::npos) break;
    auto part = parts.find(std::string(skeleton.substr(open + 2, close - open - 2)));
    if (part == parts.end()) break;
    out.append(skeleton.substr(at, open - at)).append(part->second);
    at = close + 2;
  }
  return out.append(skeleton.substr(at));
}

}  // namespace

namespace {

// The chips that fail or need a retest, by chip.
std::set<std::string> troubled_chips(const std::vector<chip_verdict>& verdicts) {
  std::set<std::string> chips;
  for (const chip_verdict& v : verdicts)
    if (v.outcome == chip_outcome::fail || v.outcome == chip_outcome::retest) chips.insert(v.chip);
  return chips;
}

}  // namespace

std::vector<int64_t> openable_recordings(const std::vector<chip_verdict>& verdicts,
                                         const std::string& chip) {
  std::set<std::string> troubled = troubled_chips(verdicts);
  if (troubled.size() > max_pulse_chips)
    troubled.erase(std::next(troubled.begin(), max_pulse_chips), troubled.end());
  std::vector<int64_t> ids;
  bool every = verdicts.size() <= open_every_chip_up_to;
  for (const chip_verdict& v : verdicts)
    if (v.recording_id != 0 && (every || v.chip == chip || troubled.count(v.chip)))
      ids.push_back(v.recording_id);
  return ids;
}

std::string pulses_note(const std::vector<chip_verdict>& verdicts) {
  const size_t troubled = troubled_chips(verdicts).size();
  if (verdicts.size() <= open_every_chip_up_to || troubled <= max_pulse_chips) return {};
  return "This report carries the pulses of the first " + std::to_string(max_pulse_chips) +
         " of the " + std::to_string(troubled) +
         " chips that fail or need a retest, to stay small; varnel-campaign serve shows every "
         "chip's.";
}

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

bool load_recording_details(campaign_db& db, const std::vector<stored_recording>& recordings,
                            const std::vector<int64_t>& ids, const acceptance_limits& limits,
                            std::map<int64_t, recording_detail>& details, std::string& error) {
  std::map<std::string, config_population> populations = campaign_populations(recordings, limits);
  std::unordered_map<int64_t, const stored_recording*> by_id;
  for (const stored_recording& r : recordings) by_id[r.id] = &r;
  for (int64_t id : ids) {
    auto found = by_id.find(id);
    if (found == by_id.end()) continue;
    const stored_recording& r = *found->second;
    recording_detail& detail = details[id];
    if (r.status == 0 && !db.load_points(id, detail.points, error)) return false;
    auto config = limits.configs.find(r.config);
    detail.problems = problem_words(recording_problems(
        r, populations[r.config].usual_events,
        config == limits.configs.end() ? std::nullopt : config->second.min_events));
  }
  return true;
}

std::string_view report_file(std::string_view name) {
  for (const embedded_file& f : embedded_files)
    if (f.name == name) return f.text;
  return {};
}

std::string report_page(const std::string& title, const std::string& vega, const std::string& data,
                        std::string_view script) {
  std::map<std::string, std::string> parts = {
      {"title", html_escape(valid_utf8("Campaign " + title))},
      {"style", std::string(report_file("report.css"))},
      {"vega", vega},
      {"charts", script_safe(chart_definitions())},
      {"data", script_safe(data)},
      {"script", script_safe(std::string(script))}};
  // The skeleton places the scripts the pages share by file name ("{{page.js}}"), in the order
  // they must run.
  for (const embedded_file& f : embedded_files)
    if (f.name.ends_with(".js")) parts.emplace(f.name, script_safe(std::string(f.text)));
  return fill(report_file("page.html"), parts);
}

std::string report_html(const std::vector<stored_recording>& recordings, const report_input& in) {
  return report_page(in.title, in.vega, script_json_text(report_page_data(recordings, in)),
                     report_file("report.js"));
}
