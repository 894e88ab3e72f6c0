#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct XXH3_state_s;

/// What identifies a file's version without reading it.
struct file_stamp {
  int64_t size = 0;      ///< bytes
  int64_t mtime_ns = 0;  ///< modification time, ns since the epoch
};

/// The size and modification time of the file at `path`; nothing when it cannot be examined.
std::optional<file_stamp> stamp_of(const std::string& path);

/// What `path` is when it is there but not a regular file (a link followed): "a FIFO", "a
/// socket", "a device", "a folder" or "another kind of file"; empty for a regular file and for a
/// path that cannot be examined. Such a file must not be opened: reading a FIFO blocks.
std::string irregular_kind(const std::string& path);

/// The XXH3-64 hash of the file's content as 16 lowercase hex digits; nothing when the file
/// cannot be read whole.
std::optional<std::string> content_hash(const std::string& path);

/// The XXH3-64 hash of bytes given piece by piece, the same as content_hash() gives for a file
/// holding them: a recording's hash taken from the bytes its reading passes on, in one pass.
class content_hasher {
 public:
  content_hasher();
  ~content_hasher();
  content_hasher(const content_hasher&) = delete;
  content_hasher& operator=(const content_hasher&) = delete;
  /// Adds the next `count` bytes.
  void add(const char* bytes, size_t count);
  /// The bytes added so far.
  uint64_t bytes() const { return bytes_; }
  /// The hash of the bytes added so far as 16 lowercase hex digits.
  std::string hex() const;

 private:
  struct state_deleter {
    void operator()(XXH3_state_s* s) const;
  };
  std::unique_ptr<XXH3_state_s, state_deleter> state_;
  uint64_t bytes_ = 0;
};

/// What a recording held when it was analysed; empty fields when the file could not be examined.
struct recording_content {
  std::optional<int64_t> size;      ///< bytes, as the file's size before the analysis read it
  std::optional<std::string> hash;  ///< XXH3-64 of the content, 16 lowercase hex digits
};
