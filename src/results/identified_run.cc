#include "results/identified_run.h"

run_outcome run_identified(const std::string& chipstring, const std::string& config,
                           const std::string& path, const std::string& log_folder,
                           recording_content& content) {
  const std::optional<file_stamp> st = stamp_of(path);
  content_hasher hasher;
  run_outcome out =
      run_analysis(chipstring, config, path, 1, log_folder,
                   [&hasher](const char* bytes, size_t count) { hasher.add(bytes, count); });
  content.size.reset();
  content.hash.reset();
  if (!st) return out;
  content.size = st->size;
  content.hash =
      hasher.bytes() == static_cast<uint64_t>(st->size) ? hasher.hex() : content_hash(path);
  return out;
}
