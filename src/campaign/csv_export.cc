#include "campaign/csv_export.h"

#include <charconv>
#include <cmath>

namespace {

std::string field(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string quoted = "\"";
  for (char c : s) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::string number(double v) {
  if (!std::isfinite(v)) return {};
  char text[32];
  auto [end, ec] = std::to_chars(text, text + sizeof text, v);
  return std::string(text, end);
}

void append_channel(std::string& row, const stored_channel& c) {
  for (double v : {c.rise_time, c.rise_time_err, c.amplitude, c.amplitude_err, c.time_stamp,
                   c.time_stamp_err, c.chi2})
    row.append(number(v)).push_back(',');
  for (int v : {c.ndf, c.usable_points, c.fitted_points, int{c.converged}})
    row.append(std::to_string(v)).push_back(',');
  row.append(field(c.verdict));
}

}  // namespace

std::string csv_header() {
  return "path,chip,config,status,message,channel,rise_time,rise_time_err,amplitude,"
         "amplitude_err,time_stamp,time_stamp_err,chi2,ndf,usable_points,fitted_points,"
         "converged,verdict\n";
}

std::string csv_rows(const std::vector<stored_recording>& recordings) {
  std::string out;
  for (const stored_recording& r : recordings) {
    std::string lead = field(r.path) + ',' + field(r.chip) + ',' + field(r.config) + ',' +
                       std::to_string(r.status) + ',' + field(r.message) + ',';
    if (r.channels.empty()) out.append(lead).append(",,,,,,,,,,,,\n");
    for (const stored_channel& c : r.channels) {
      out.append(lead).append(std::to_string(c.channel)).push_back(',');
      append_channel(out, c);
      out.push_back('\n');
    }
  }
  return out;
}
