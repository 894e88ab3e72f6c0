#include "campaign/run/campaign_text.h"

#include <cmath>
#include <cstdio>

namespace {

std::string duration_text(double seconds) {
  long s = std::lround(seconds);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

void append_hex(std::string& out, unsigned char byte) {
  static constexpr char digits[] = "0123456789abcdef";
  out += "\\x";
  out.push_back(digits[byte >> 4]);
  out.push_back(digits[byte & 0xf]);
}

}  // namespace

std::string escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      append_hex(out, c);
    } else if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xa0 &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80) {
      // A C1 control: some terminals take U+009B as the start of an escape sequence.
      append_hex(out, c);
      append_hex(out, static_cast<unsigned char>(text[++i]));
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string progress_text(const run_progress& p) {
  char line[96];
  std::snprintf(line, sizeof line, "[%zu/%zu] %zu failed", p.done, p.total, p.failed);
  std::string text = line;
  if (p.done > 0 && p.done < p.total)
    text.append(", ")
        .append(duration_text(p.elapsed_s / p.done * (p.total - p.done)))
        .append(" left");
  return text;
}

std::string skipped_line(const skipped_path& s) {
  return "skipped " + s.path + ": " + s.reason;
}

std::string failed_line(const std::string& path, const std::string& message) {
  return "failed " + path + ": " + message;
}

std::string waiting_line(const waiting_recording& w) {
  return "waiting " + w.path + ": " + w.reason + ", left for the next run";
}

std::string summary_line(const run_tally& t, size_t skipped, const std::string& db_path) {
  size_t total = t.analysed + t.failed + t.unchanged + t.waiting;
  char line[160];
  std::snprintf(line, sizeof line, "%zu recordings: %zu analysed, %zu failed, %zu unchanged", total,
                t.analysed, t.failed, t.unchanged);
  std::string text = line;
  if (t.failed_before > 0)
    text.append(" (").append(std::to_string(t.failed_before)).append(" failed before)");
  if (t.waiting > 0)
    text.append(", ").append(std::to_string(t.waiting)).append(" left for the next run");
  return text.append("; ")
      .append(std::to_string(skipped))
      .append(" skipped; database ")
      .append(db_path);
}

std::string characterisation_heading() {
  return "chip     ch  configs  gain (ADC/mV)          offset (ADC)  nonlinearity (%)  "
         "noise (mV)  noise (e)  rise time spread (ns)  time walk (ns)";
}

std::string characterisation_row(const channel_characterisation& c) {
  char text[256];
  if (!c.reason.empty()) {
    std::snprintf(text, sizeof text, "%-8s %2d  %7d  no figures: %s", c.chip.c_str(), c.channel,
                  c.configurations, c.reason.c_str());
    return text;
  }
  char electrons[32] = "-";
  if (std::isfinite(c.noise_e)) std::snprintf(electrons, sizeof electrons, "%.0f", c.noise_e);
  std::snprintf(text, sizeof text,
                "%-8s %2d  %7d  %9.4f +/- %7.4f  %12.2f  %16.3f  %10.4f  %9s  %21.2f  %14.2f",
                c.chip.c_str(), c.channel, c.configurations, c.gain, c.gain_err, c.offset,
                c.nonlinearity, c.noise_mV, electrons, c.rise_time_spread, c.time_stamp_spread);
  return text;
}

std::string retest_line(const std::string& path, const std::vector<std::string>& problems) {
  std::string line = "retest " + path + ":";
  for (size_t i = 0; i < problems.size(); ++i) line += (i ? "; " : " ") + problems[i];
  return line;
}
