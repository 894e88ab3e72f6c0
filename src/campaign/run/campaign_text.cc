#include "campaign/run/campaign_text.h"

#include <cmath>

#include "common/number_text.h"

namespace {

std::string duration_text(double seconds) {
  const long s = std::lround(seconds);
  // Appended, not added in front of a temporary: GCC 12 warns falsely of an overlapping copy.
  std::string text = std::to_string(s >= 3600 ? s / 3600 : s / 60);
  if (s >= 3600) text.append(":").append(zero_padded(s / 60 % 60, 2));
  return text.append(":").append(zero_padded(s % 60, 2));
}

void append_hex(std::string& out, unsigned char byte) {
  out.append("\\x").append(hex_text(byte, 2));
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
  std::string text = std::string("[")
                         .append(std::to_string(p.done))
                         .append("/")
                         .append(std::to_string(p.total))
                         .append("] ")
                         .append(std::to_string(p.failed))
                         .append(" failed");
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
  std::string text = std::to_string(total) + " recordings: " + std::to_string(t.analysed) +
                     " analysed, " + std::to_string(t.failed) + " failed, " +
                     std::to_string(t.unchanged) + " unchanged";
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
  // The columns under characterisation_heading()'s titles.
  std::string row = left_aligned(c.chip, 8) + " " + right_aligned(std::to_string(c.channel), 2) +
                    "  " + right_aligned(std::to_string(c.configurations), 7) + "  ";
  if (!c.reason.empty()) return row + "no figures: " + c.reason;
  auto cell = [](double v, int decimals, size_t width) {
    return right_aligned(fixed_text(v, decimals), width);
  };
  const std::string electrons = std::isfinite(c.noise_e) ? fixed_text(c.noise_e, 0) : "-";
  return row + cell(c.gain, 4, 9) + " +/- " + cell(c.gain_err, 4, 7) + "  " +
         cell(c.offset, 2, 12) + "  " + cell(c.nonlinearity, 3, 16) + "  " +
         cell(c.noise_mV, 4, 10) + "  " + right_aligned(electrons, 9) + "  " +
         cell(c.rise_time_spread, 2, 21) + "  " + cell(c.time_stamp_spread, 2, 14);
}

std::string retest_line(const std::string& path, const std::vector<std::string>& problems) {
  std::string line = "retest " + path + ":";
  for (size_t i = 0; i < problems.size(); ++i) line += (i ? "; " : " ") + problems[i];
  return line;
}
