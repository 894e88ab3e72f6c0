#include "campaign/model/recording_record.h"

#include <ctime>

const char* source_name(record_source s) {
  return s == record_source::run ? "run" : "ingest";
}

std::string utc_now() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}
