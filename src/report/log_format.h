#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "fit/rise_time_fit.h"

/// The log's header line, 73 characters and a newline.
std::string log_header();
/// The log line of `channel` with its six results: numbers right-aligned, two decimals; a number
/// wider than its field widens the line.
std::string log_channel_line(int channel, const channel_fit& r);
/// Writes the header and one line per channel's result, channels numbered from 0.
void write_log(std::ostream& out, const std::vector<channel_fit>& results);
