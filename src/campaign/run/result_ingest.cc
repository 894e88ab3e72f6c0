#include "campaign/run/result_ingest.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "campaign/model/recording_name.h"
#include "campaign/run/recording_discovery.h"
#include "driver/run_config.h"
#include "reconstruction/recording_format.h"
#include "results/file_identity.h"
#include "results/run_json.h"

namespace fs = std::filesystem;

namespace {

std::string recording_path(const std::string& json_path, const std::string& input) {
  fs::path in(input);
  if (in.is_absolute()) return in.lexically_normal().string();
  return absolute_path((fs::path(json_path).parent_path() / in.filename()).string());
}

// The chip and configuration the recording at `path` belongs to: its manifest entry's, else its
// name's; why it has none, or "".
std::string identity_of(const std::string& path, const std::vector<manifest_entry>& manifest,
                        recording_identity& identity) {
  for (const manifest_entry& e : manifest)
    if (absolute_path(e.path) == path) {
      identity = {e.chip, e.config};
      return {};
    }
  if (!looks_like_recording(path)) return "its recording " + path + " is not named like one";
  name_reading name = read_recording_name(path);
  identity = name.identity;
  return name.reason.empty() ? "" : "its recording " + path + ": " + name.reason;
}

// Why there is no recording to read at `path`, or "".
std::string file_problem(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "its recording " + path + " does not exist";
  return S_ISREG(st.st_mode) ? "" : "its recording " + path + " is not a regular file";
}

// Why the regular file at `path` is not the recording `run` describes, or "": its size and
// content hash must be the result's.
std::string content_problem(const std::string& path, const stored_run& run) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return file_problem(path);
  if (!run.content.size || !run.content.hash)
    return "it carries no size and content hash of its recording (a result of an earlier build)";
  if (*run.content.size != static_cast<int64_t>(st.st_size))
    return "its recording's size is " + std::to_string(*run.content.size) + " bytes, " + path +
           " has " + std::to_string(st.st_size);
  if (content_hash(path) != run.content.hash)
    return "its recording's content hash differs from that of " + path;
  return {};
}

// Why `run` cannot be the result of one analysis of a recording of chip and configuration
// `identity`, or "".
std::string result_problem(const stored_run& run, const recording_identity& identity) {
  if (run.chipstring != identity.chip)
    return "chip \"" + run.chipstring + "\" where its recording is of chip \"" + identity.chip +
           "\"";
  if (run.config != identity.config)
    return "configuration \"" + run.config + "\" where its recording is of \"" + identity.config +
           "\"";
  if (run.status != 0 && run.status != 1)
    return "status " + std::to_string(run.status) + " (a run ends with 0 or 1)";
  const size_t channels = run.status == 0 ? channel_count : 0;
  if (run.fits.size() != channels || run.points.size() != channels)
    return std::to_string(run.fits.size()) + " channels where a " +
           (run.status == 0 ? "result" : "failure record") + " has " + std::to_string(channels);
  const reconstruction_summary& s = run.summary;
  if (s.events_completed > s.events_started && s.events_started > 0)
    return "more events completed than started";
  return {};
}

// The JSON at `json_path` as a run, or false with the reason; a file beyond max_result_bytes is
// refused before it is read.
bool read_run_file(const std::string& json_path, stored_run& run, std::string& error) {
  std::error_code ec;
  const uintmax_t bytes = fs::file_size(json_path, ec);
  std::ifstream in(json_path);
  if (ec || !in) {
    error = "cannot read it";
    return false;
  }
  if (bytes > max_result_bytes) {
    error = "larger than " + std::to_string(max_result_bytes >> 20) + " MiB, no result is";
    return false;
  }
  return read_run_json(in, run, error);
}

}  // namespace

bool read_result(const std::string& json_path, const std::string& version,
                 const std::vector<manifest_entry>& manifest, recording_record& r,
                 std::string& error) {
  stored_run run;
  if (!read_run_file(json_path, run, error)) return false;
  const std::string path = recording_path(json_path, run.input);
  recording_identity identity;
  error = file_problem(path);
  if (error.empty()) error = identity_of(path, manifest, identity);
  if (error.empty()) error = result_problem(run, identity);
  if (error.empty()) error = content_problem(path, run);
  std::optional<file_stamp> st = stamp_of(path);
  if (error.empty() && !st) error = "its recording " + path + " cannot be examined";
  if (!error.empty()) return false;
  r.path = path;
  r.chip = run.chipstring;
  r.config = run.config;
  r.status = run.status;
  r.message = run.message;
  r.notes = run.notes;
  r.log_path = run.status == 0 ? run.log_path : log_path(r.path, r.chip, r.config);
  r.summary = run.summary;
  r.config_check = run.config_check;
  r.fits = std::move(run.fits);
  r.points = std::move(run.points);
  r.size = st->size;
  r.mtime_ns = st->mtime_ns;
  r.hash = run.content.hash;
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
