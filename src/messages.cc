#include "messages.h"

#include <cstdio>

std::string usage_text(int argc) {
  char first[160];
  std::snprintf(
      first, sizeof first,
      "Not enough arguments: argc = %d\nSyntax should be:\n./varnel.exe chipstring config "
      "adcfilename\n",
      argc);
  return std::string(first) +
         "Example:\n./varnel.exe 100000 20mV_delay-all "
         "/home/frell/robot/20180725/123510_korvi100000/"
         "123510_korvi100000_dessel00_link00_20mV_delay-all_adc.txt\n";
}

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

std::string fit_not_converged(int channel) {
  return "Fit of channel " + std::to_string(channel) + " did not converge.";
}

std::string cannot_open_log(const std::string& path) {
  return "Cannot open log file named " + path + ".";
}

std::string cannot_write_log(const std::string& path) {
  return "Cannot write log file named " + path + ".";
}

std::string cannot_write_plot(const std::string& path) {
  return "Cannot write plot file named " + path + ".";
}

std::string cannot_write_results(const std::string& path) {
  return "Cannot write results file named " + path + ".";
}
