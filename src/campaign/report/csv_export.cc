#include "campaign/report/csv_export.h"

#include <cmath>
#include <regex>
#include <string_view>
#include <unordered_map>

#include "campaign/judge/reason_text.h"
#include "common/number_text.h"
#include "fit/channel_fields.h"

namespace {

// Whether `s` is a number as a spreadsheet reads one: sign, digits, point, exponent.
bool is_number_text(const std::string& s) {
  static const std::regex number_text(R"([-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?)");
  return std::regex_match(s, number_text);
}

}  // namespace

std::string csv_cell(const std::string& text) {
  // A spreadsheet runs a cell beginning with one of these as a formula; the leading quote makes
  // it text. A number keeps its sign.
  const bool formula = !text.empty() &&
                       std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos &&
                       !is_number_text(text);
  const std::string s = formula ? "'" + text : text;
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string quoted = "\"";
  for (char c : s) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

namespace {

// A number's cell: the shortest text that reads back as it, empty for one not finite.
std::string number_cell(double v) {
  return std::isfinite(v) ? shortest_text(v) : std::string();
}

size_t exported_count() {
  size_t n = 0;
  for (const channel_field& f : channel_fields()) n += f.exported;
  return n;
}

// One column per exported field of the channel, in the table's order.
void append_channel(std::string& row, const stored_channel& c) {
  for (const channel_field& f : channel_fields()) {
    if (!f.exported) continue;
    if (f.type == field_type::verdict || f.type == field_type::optional_verdict)
      row.append(field_verdict_name(f, c.fit));
    else if (f.type == field_type::real)
      row.append(number_cell(field_number(f, c.fit)));
    else
      row.append(std::to_string(static_cast<int64_t>(field_number(f, c.fit))));
    row.push_back(',');
  }
}

// The recording's own figures, the same on each of its rows.
std::string recording_fields(const stored_recording& r) {
  const configuration_check& c = r.config_check;
  return number_cell(r.common_mode_noise) + ',' + std::to_string(r.window_gap_events) + ',' +
         csv_cell(c.looks_like) + ',' + number_cell(c.own_misfit) + ',' +
         number_cell(c.other_misfit);
}

}  // namespace

std::string csv_header() {
  std::string header = "path,chip,config,status,message,channel,";
  for (const channel_field& f : channel_fields())
    if (f.exported) header.append(f.name).push_back(',');
  return header +
         "common_mode_noise,window_gap_events,looks_like,own_misfit,other_misfit,flag,reason,"
         "chip_verdict,current\n";
}

std::string csv_rows(const std::vector<stored_recording>& recordings,
                     const std::vector<chip_verdict>& verdicts) {
  std::unordered_map<int64_t, const chip_verdict*> by_recording;
  for (const chip_verdict& v : verdicts) by_recording[v.recording_id] = &v;
  std::string out;
  for (const stored_recording& r : recordings) {
    auto it = by_recording.find(r.id);
    const chip_verdict* v = it == by_recording.end() ? nullptr : it->second;
    std::string chip = v ? outcome_name(v->outcome) : "superseded";
    std::string lead = csv_cell(r.path) + ',' + csv_cell(r.chip) + ',' + csv_cell(r.config) + ',' +
                       std::to_string(r.status) + ',' + csv_cell(r.message) + ',';
    std::string tail = csv_cell(chip) + ',' + (r.current ? "1" : "0") + '\n';
    const std::string recording = recording_fields(r) + ',';
    if (r.channels.empty())
      out.append(lead)
          .append(exported_count() + 1, ',')
          .append(recording)
          .append(",,")
          .append(tail);
    for (const stored_channel& c : r.channels) {
      out.append(lead).append(std::to_string(c.channel)).push_back(',');
      append_channel(out, c);
      out.append(recording);
      std::string reason = v ? channel_reason(*v, c.channel) : "";
      out.append(reason.empty() ? "" : "flagged").push_back(',');
      out.append(csv_cell(reason)).push_back(',');
      out.append(tail);
    }
  }
  return out;
}

std::string characterisation_csv(const std::vector<channel_characterisation>& channels,
                                 const std::vector<chip_verdict>& verdicts) {
  std::unordered_map<std::string, const chip_verdict*> by_chip;
  for (const chip_verdict& v : verdicts) by_chip[v.chip] = &v;
  std::string out =
      "chip,channel,configurations,gain,gain_err,offset,nonlinearity,noise_mV,gain_fC,noise_e,"
      "rise_time_spread,time_stamp_spread,missing,flag,reason,chip_verdict\n";
  for (const channel_characterisation& c : channels) {
    out.append(csv_cell(c.chip)).push_back(',');
    out.append(std::to_string(c.channel)).push_back(',');
    out.append(std::to_string(c.configurations)).push_back(',');
    for (double v : {c.gain, c.gain_err, c.offset, c.nonlinearity, c.noise_mV, c.gain_fC, c.noise_e,
                     c.rise_time_spread, c.time_stamp_spread})
      out.append(number_cell(v)).push_back(',');
    out.append(csv_cell(c.reason)).push_back(',');
    auto it = by_chip.find(c.chip);
    std::string reason = it == by_chip.end() ? "" : channel_reason(*it->second, c.channel);
    out.append(reason.empty() ? "" : "flagged").push_back(',');
    out.append(csv_cell(reason)).push_back(',');
    out.append(it == by_chip.end() ? "" : outcome_name(it->second->outcome)).push_back('\n');
  }
  return out;
}

std::string chips_csv(const std::vector<chip_summary>& chips) {
  std::string out = "chip,chip_verdict,reasons\n";
  for (const chip_summary& s : chips) {
    std::string reasons;
    for (const std::string& r : s.reasons) reasons += (reasons.empty() ? "" : "; ") + r;
    out.append(csv_cell(s.chip)).push_back(',');
    out.append(outcome_name(s.outcome)).push_back(',');
    out.append(csv_cell(reasons)).push_back('\n');
  }
  return out;
}
