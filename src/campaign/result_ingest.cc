#include "campaign/result_ingest.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "campaign/recording_discovery.h"
#include "driver/run_config.h"
#include "plot/file_identity.h"
#include "plot/run_json.h"

namespace fs = std::filesystem;

namespace {

std::string recording_path(const std::string& json_path, const std::string& input) {
  fs::path in(input);
  if (in.is_absolute()) return in.lexically_normal().string();
  return absolute_path((fs::path(json_path).parent_path() / in.filename()).string());
}

}  // namespace

bool read_result(const std::string& json_path, const std::string& version, recording_record& r,
                 std::string& error) {
  std::ifstream in(json_path);
  if (!in) {
    error = "cannot read it";
    return false;
  }
  stored_run run;
  if (!read_run_json(in, run, error)) return false;
  r.path = recording_path(json_path, run.input);
  r.chip = run.chipstring;
  r.config = run.config;
  r.status = run.status == 0 ? 0 : 1;
  r.message = run.message;
  r.notes = run.notes;
  r.log_path = run.status == 0 ? run.log_path : log_path(r.path, r.chip, r.config);
  r.summary = run.summary;
  r.config_check = run.config_check;
  r.fits = std::move(run.fits);
  r.points = std::move(run.points);
  if (std::optional<file_stamp> st = stamp_of(r.path)) {
    r.size = st->size;
    r.mtime_ns = st->mtime_ns;
    r.hash = content_hash(r.path);
  }
  r.analysed_at = utc_now();
  r.version = version;
  r.source = record_source::ingest;
  return true;
}

std::vector<std::string> find_results(
    const std::vector<std::string>& paths,
    std::vector<std::pair<std::string, std::string>>& unreadable) {
  std::vector<std::string> found;
  for (const std::string& p : paths) {
    std::error_code ec;
    if (!fs::is_directory(p, ec)) {
      found.push_back(p);
      continue;
    }
    fs::recursive_directory_iterator it(p, ec), end;
    for (; !ec && it != end; it.increment(ec))
      if (it->path().extension() == ".json" && !it->is_directory()) found.push_back(it->path());
    if (ec) unreadable.push_back({p, "cannot read the folder: " + ec.message()});
  }
  std::sort(found.begin(), found.end());
  return found;
}
