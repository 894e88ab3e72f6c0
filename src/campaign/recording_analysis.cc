#include "campaign/recording_analysis.h"

#include "campaign/file_identity.h"
#include "driver/run.h"

recording_record analyse_recording(const found_recording& r, const std::string& version) {
  recording_record rec;
  rec.path = r.path;
  rec.chip = r.identity.chip;
  rec.config = r.identity.config;
  rec.version = version;
  rec.source = record_source::run;
  if (std::optional<file_stamp> st = stamp_of(r.path)) {
    rec.size = st->size;
    rec.mtime_ns = st->mtime_ns;
  }
  rec.hash = content_hash(r.path);
  run_outcome out = run_analysis(rec.chip, rec.config, r.path);
  rec.status = out.status == exit_success ? 0 : 1;
  if (rec.status != 0 && !out.notes.empty()) rec.message = out.notes.back();
  rec.notes = std::move(out.notes);
  rec.log_path = std::move(out.log_path);
  rec.summary = out.summary;
  rec.fits = std::move(out.fits);
  if (rec.status == 0) rec.points = std::move(out.points);
  rec.analysed_at = utc_now();
  return rec;
}
