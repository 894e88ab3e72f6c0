#include "driver/run_config.h"

run_config choose_run_config(std::string_view config) {
  if (config == "4mV_delay-all") return {45, 2, 300.0};
  return {15, 0, 150.0};
}

std::string directory_part(const std::string& adcfilename) {
  size_t slash = adcfilename.rfind('/');
  // Without a "/" the file lies in the current directory, and so does its log.
  if (slash == std::string::npos) return ".";
  return adcfilename.substr(0, slash);
}

std::string log_path(const std::string& adcfilename, const std::string& chipstring,
                     const std::string& config) {
  return directory_part(adcfilename) + "/rise_time_korvi" + chipstring + "_" + config + ".log";
}
