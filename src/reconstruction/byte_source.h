#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

/// Where the bytes of a recording come from: a file in the tool, memory or a failing source in
/// tests.
class byte_source {
 public:
  virtual ~byte_source() = default;
  /// Zero bytes that lent bytes have before and after them, at least.
  static constexpr size_t lent_padding = 128;

  /// Reads up to `size` bytes into `buffer`; returns the count, 0 at the end, -1 on an I/O error.
  virtual long read(char* buffer, size_t size) = 0;
  /// True when the source serves its bytes in place, through lend().
  virtual bool lends() const { return false; }
  /// Points `data` at the next bytes in place, between lent_padding zero bytes, valid until the
  /// next call; returns their count, 0 at the end, -1 on an I/O error. Only for sources that
  /// lend(); the others return -1.
  virtual long lend(const char*& data) {
    (void)data;
    return -1;
  }
  /// False when the bytes served may mix states of a source that changed while it was read.
  virtual bool unchanged() const { return true; }
  /// True when read_at() serves the bytes by their offset, from any thread at once.
  virtual bool positional() const { return false; }
  /// Reads up to `size` bytes from byte `offset` on, leaving read()'s position alone; returns the
  /// count, 0 at or past the end, -1 on an I/O error or when the source is not positional().
  virtual long read_at(char* buffer, size_t size, uint64_t offset) {
    (void)buffer;
    (void)size;
    (void)offset;
    return -1;
  }
};

/// Reads an open file descriptor; it does not own it.
class fd_source : public byte_source {
 public:
  /// Notes the size and modification time of a regular file, to tell later whether it changed.
  explicit fd_source(int fd);
  /// Retries reads interrupted by a signal; -1 on any other error.
  long read(char* buffer, size_t size) override;
  /// False when a regular file's size or modification time now differ from when the source was
  /// made (it was truncated, extended or rewritten meanwhile), or fstat() fails; true for pipes,
  /// devices and other files.
  bool unchanged() const override;
  /// True when the descriptor is a regular file, which is read by offset.
  bool positional() const override { return regular_; }
  /// pread(), retried when a signal interrupts it; -1 on any other error.
  long read_at(char* buffer, size_t size, uint64_t offset) override;

 private:
  int fd_;
  bool regular_ = false;
  struct stat initial_ {};
};

/// Serves a text held in memory, in pieces of at most `piece` bytes (to exercise chunk boundaries).
class memory_source : public byte_source {
 public:
  explicit memory_source(std::string_view text, size_t piece = static_cast<size_t>(-1))
      : text_(text), piece_(piece) {}
  /// Copies the next piece; 0 once the text is served.
  long read(char* buffer, size_t size) override;
  bool positional() const override { return true; }
  /// Copies at most a piece from `offset` on.
  long read_at(char* buffer, size_t size, uint64_t offset) override;

 private:
  std::string_view text_;
  size_t piece_;
  size_t offset_ = 0;
};
