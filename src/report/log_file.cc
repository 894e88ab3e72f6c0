#include "report/log_file.h"

#include <sstream>

#include "report/log_format.h"

std::string cannot_open_log(const std::string& path) {
  return "Cannot open log file named " + path + ".";
}

std::string cannot_write_log(const std::string& path) {
  return "Cannot write log file named " + path + ".";
}

bool log_file::open(diagnostics& notes) {
  if (file_.open()) return true;
  notes.push_back(cannot_open_log(path_));
  return false;
}

bool log_file::commit(const std::vector<channel_fit>& fits, diagnostics& notes) {
  std::ostringstream text;
  write_log(text, fits);
  if (file_.commit(text.str())) return true;
  notes.push_back(cannot_write_log(path_));
  return false;
}
