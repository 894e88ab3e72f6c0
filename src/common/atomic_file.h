#pragma once

#include <string>

/// A file written whole or not at all: the text goes to a temporary file beside `path`, which
/// replaces `path` only once complete and flushed to disk. Until commit() succeeds an earlier
/// file at `path` is untouched; the temporary file never outlives the writer unless committed.
class atomic_file {
 public:
  /// Names the file to write; nothing is created yet.
  explicit atomic_file(std::string path) : path_(std::move(path)) {}
  ~atomic_file();
  atomic_file(const atomic_file&) = delete;
  atomic_file& operator=(const atomic_file&) = delete;

  /// Creates the temporary file and locks it (flock) until commit or discard; false when the
  /// directory is missing or not writable.
  bool open();
  /// Writes `text` to the temporary file, flushes it and renames it over the path; false on any
  /// failure, in which case the temporary file is removed.
  bool commit(const std::string& text);
  /// The temporary file's path, for a writer that opens the file by name itself; empty before
  /// open() and after commit.
  const std::string& temp_path() const { return temp_path_; }
  /// Flushes what was written to the temporary file by name and renames it over the path; false
  /// on any failure, in which case the temporary file is removed.
  bool commit_written();

 private:
  bool rename_or_discard(bool written);
  void discard();

  std::string path_;
  std::string temp_path_;
  int fd_ = -1;
};

/// Removes what writers of `path` killed before their commit left: the regular files beside it
/// named exactly as atomic_file::open() names its temporary file whose writer is gone (the lock
/// atomic_file holds on it for its life is free), however young; a writer at work now keeps its
/// file, and so does one made in the last second, not yet locked. Returns how many were removed;
/// a folder that cannot be read removes nothing.
int remove_stale_temporaries(const std::string& path);
