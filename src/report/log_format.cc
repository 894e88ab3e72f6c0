#include "report/log_format.h"

#include <array>

#include "common/number_text.h"

namespace {

// A line: a first column of nine characters, then one cell per result, right-aligned, with a
// blank before each and eight more between results.
constexpr size_t first_width = 9, channel_width = 2, title_width = 15, value_width = 6,
                 error_width = 4;
constexpr size_t results_gap = 8;
constexpr int log_decimals = 2;

std::string log_line(const std::string& first, const std::array<std::string, 3>& cells) {
  std::string line = first;
  for (size_t i = 0; i < cells.size(); ++i)
    line.append(i ? results_gap : 0, ' ').append(" ").append(cells[i]);
  return line + "\n";
}

std::string measurement(double value, double error) {
  return right_aligned(fixed_text(value, log_decimals), value_width) + " +/- " +
         right_aligned(fixed_text(error, log_decimals), error_width);
}

}  // namespace

std::string log_header() {
  return log_line("Channel #", {right_aligned("Rise time (ns)", title_width),
                                right_aligned("Amplitude (ADC)", title_width),
                                right_aligned("Timestamp (ns)", title_width)});
}

std::string log_channel_line(int channel, const channel_fit& r) {
  return log_line(
      left_aligned(right_aligned(std::to_string(channel), channel_width), first_width),
      {measurement(r.peak_time, r.peak_time_err), measurement(r.amplitude, r.amplitude_err),
       measurement(r.time_stamp, r.time_stamp_err)});
}

void write_log(std::ostream& out, const std::vector<channel_fit>& results) {
  out << log_header();
  for (size_t ch = 0; ch < results.size(); ++ch)
    out << log_channel_line(static_cast<int>(ch), results[ch]);
}
