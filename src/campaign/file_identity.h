#pragma once

#include <cstdint>
#include <optional>
#include <string>

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
