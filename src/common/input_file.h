#pragma once

#include <string>

/// A file opened for reading a recording; closes it when destroyed.
class input_file {
 public:
  /// Opens `path` read-only; a directory or anything else that cannot be read counts as not open.
  explicit input_file(const std::string& path);
  ~input_file();
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;
  /// True when the file is open and is not a directory.
  bool is_open() const { return fd_ >= 0; }
  /// The descriptor; -1 when not open.
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};
