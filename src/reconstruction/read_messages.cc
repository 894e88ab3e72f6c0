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
