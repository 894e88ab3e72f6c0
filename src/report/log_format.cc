#include "report/log_format.h"

#include <cstdio>

namespace {

constexpr const char* header_format = "%9s %15s %7s %15s %7s %15s\n";
constexpr const char* line_format =
    "%2d%7s %6.2f +/- %4.2f %7s %6.2f +/- %4.2f %7s %6.2f +/- %4.2f\n";

// printf into a string of whatever length the conversion needs.
template <typename... Args>
std::string format(const char* fmt, Args... args) {
  int n = std::snprintf(nullptr, 0, fmt, args...);
  std::string s(static_cast<size_t>(n), '\0');
  std::snprintf(s.data(), s.size() + 1, fmt, args...);
  return s;
}

}  // namespace

std::string log_header() {
  return format(header_format, "Channel #", "Rise time (ns)", "", "Amplitude (ADC)", "",
                "Timestamp (ns)");
}

std::string log_channel_line(int channel, const channel_fit& r) {
  return format(line_format, channel, "", r.peak_time, r.peak_time_err, "", r.amplitude,
                r.amplitude_err, "", r.time_stamp, r.time_stamp_err);
}

void write_log(std::ostream& out, const std::vector<channel_fit>& results) {
  out << log_header();
  for (size_t ch = 0; ch < results.size(); ++ch)
    out << log_channel_line(static_cast<int>(ch), results[ch]);
}
