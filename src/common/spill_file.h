#pragma once

#include <cstddef>
#include <cstdint>

/// A scratch file for data too large to hold in memory but read again in passes: created in
/// TMPDIR (or /tmp) and unlinked at once, so that it is gone with its holder however the process
/// ends. Bytes are appended and read back by offset; its pages belong to the system's cache, not
/// to the process.
class spill_file {
 public:
  /// Creates the file; usable() tells whether that worked.
  spill_file();
  ~spill_file();
  spill_file(const spill_file&) = delete;
  spill_file& operator=(const spill_file&) = delete;
  spill_file(spill_file&& other) noexcept;
  spill_file& operator=(spill_file&& other) noexcept;

  /// Whether the file was made and every append so far succeeded.
  bool usable() const { return fd_ >= 0; }
  /// Appends `size` bytes; false, and the file no longer usable, when they could not all be
  /// written (the disk full, say). What was appended before stays readable.
  bool append(const void* data, size_t size);
  /// Reads `size` bytes at `offset` of what was appended; false when they cannot all be read.
  bool read(uint64_t offset, void* data, size_t size) const;
  /// The bytes appended.
  uint64_t size() const { return size_; }

 private:
  void close_file();

  int fd_ = -1;
  int read_fd_ = -1;  // kept open after a failed append, for what was written before it
  uint64_t size_ = 0;
};
