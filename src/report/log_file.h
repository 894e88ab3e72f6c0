#pragma once

#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/diagnostics.h"
#include "fit/rise_time_fit.h"

/// The log at `path` (or its temporary file beside it) cannot be created.
std::string cannot_open_log(const std::string& path);
/// Writing, flushing or renaming the log at `path` failed.
std::string cannot_write_log(const std::string& path);

/// A run's log, written whole or not at all: its temporary file is created first, the text of
/// every channel's result replaces the log only once complete and on disk.
class log_file {
 public:
  /// Names the log; nothing is created yet.
  explicit log_file(std::string path) : path_(path), file_(std::move(path)) {}
  /// Creates the temporary file beside the log; false, with the reason in `notes`, when it
  /// cannot be created.
  bool open(diagnostics& notes);
  /// Writes the 33-line table of `fits` and puts it in place of the log; false, with the reason
  /// in `notes`, on any failure, leaving an earlier log untouched.
  bool commit(const std::vector<channel_fit>& fits, diagnostics& notes);

 private:
  std::string path_;
  atomic_file file_;
};
