#include "campaign/run/recording_analysis.h"

#include <filesystem>
#include <system_error>

#include "common/atomic_file.h"
#include "driver/run.h"
#include "results/file_identity.h"
#include "results/identified_run.h"

namespace {

// The recording's absolute folder repeated under `log_dir`; empty, for beside the recording,
// without one.
std::string log_folder_of(const std::string& path, const std::string& log_dir) {
  return log_dir.empty() ? std::string() : log_dir + directory_part(path);
}

}  // namespace

recording_record analyse_recording(const found_recording& r, const std::string& version,
                                   const std::string& log_dir) {
  recording_record rec;
  rec.path = r.path;
  rec.chip = r.identity.chip;
  rec.config = r.identity.config;
  rec.version = version;
  rec.source = record_source::run;
  const std::optional<file_stamp> st = stamp_of(r.path);
  if (st) {
    rec.size = st->size;
    rec.mtime_ns = st->mtime_ns;
  }
  std::string folder = log_folder_of(r.path, log_dir);
  // A folder that cannot be made fails the log's creation, which says so.
  std::error_code ec;
  if (!folder.empty()) std::filesystem::create_directories(folder, ec);
  remove_stale_temporaries(log_path(r.path, rec.chip, rec.config, folder));
  // The content hash is taken from the bytes the reading passes on, so that the file is read
  // once.
  recording_content content;
  run_outcome out = run_identified(rec.chip, rec.config, r.path, folder, content);
  rec.hash = content.hash;
  rec.status = out.status == exit_success ? 0 : 1;
  if (rec.status != 0 && !out.notes.empty()) rec.message = out.notes.back();
  rec.retry = rec.status != 0 && out.outside_recording;
  rec.notes = std::move(out.notes);
  rec.log_path = std::move(out.log_path);
  rec.summary = out.summary;
  rec.config_check = out.config_check;
  rec.fits = std::move(out.fits);
  if (rec.status == 0) rec.points = std::move(out.points);
  rec.analysed_at = utc_now();
  return rec;
}
