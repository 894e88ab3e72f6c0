#include "driver/run_config.h"

run_config choose_run_config(std::string_view config) {
  return config == low_charge_config_name ? low_charge_config : default_config;
}

std::string directory_part(const std::string& adcfilename) {
  size_t slash = adcfilename.rfind('/');
  // Without a "/" the file lies in the current directory, and so does its log.
  if (slash == std::string::npos) return ".";
  return adcfilename.substr(0, slash);
}

std::string log_path(const std::string& adcfilename, const std::string& chipstring,
                     const std::string& config, const std::string& log_folder) {
  return (log_folder.empty() ? directory_part(adcfilename) : log_folder) + "/rise_time_korvi" +
         chipstring + "_" + config + ".log";
}
