#pragma once

#include <ostream>
#include <string>
#include <vector>

/// The six results of one channel, in the log's column order.
struct channel_result {
  double peak_time = 0.0, peak_time_err = 0.0;    ///< ns
  double amplitude = 0.0, amplitude_err = 0.0;    ///< ADC counts
  double time_stamp = 0.0, time_stamp_err = 0.0;  ///< ns
};

/// The log's header line, 73 characters and a newline.
std::string log_header();
/// The log line of `channel`: numbers right-aligned, two decimals; a number wider than its
/// field widens the line.
std::string log_channel_line(int channel, const channel_result& r);
/// Writes the header and one line per result, channels numbered from 0.
void write_log(std::ostream& out, const std::vector<channel_result>& results);
