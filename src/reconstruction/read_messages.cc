#include "reconstruction/read_messages.h"

std::string cannot_open_file(const std::string& path) {
  return "Cannot open file named " + path + ".";
}

std::string cannot_read_file(const std::string& path) {
  return "Cannot read file named " + path + ".";
}

std::string corrupt_data() {
  return "Corrupt data, likely due to connection problems.";
}

std::string reading_stopped(uint64_t value_number, const std::string& path, const char* reason) {
  return "Reading stopped at value " + std::to_string(value_number) + " of " + path + ": " +
         reason + ".";
}

std::string incomplete_last_row(const std::string& path, int values) {
  return "Last row of " + path + " is incomplete (" + std::to_string(values) +
         " of 32 values); it is ignored.";
}

std::string gap_in_first_window(int64_t gap_events, int64_t events, int window_row) {
  return std::to_string(gap_events) + " of " + std::to_string(events) +
         (events == 1 ? " event has" : " events have") +
         " a gap reaching into the first pulse window (event row " + std::to_string(window_row) +
         "): the baseline is drawn through gap readings, so the pulse shapes cannot be trusted.";
}
