#pragma once

#include <cstddef>
#include <string_view>

/// Where the bytes of a recording come from: a file in the tool, memory or a failing source in
/// tests.
class byte_source {
 public:
  virtual ~byte_source() = default;
  /// Reads up to `size` bytes into `buffer`; returns the count, 0 at the end, -1 on an I/O error.
  virtual long read(char* buffer, size_t size) = 0;
};

/// Reads an open file descriptor; it does not own it.
class fd_source : public byte_source {
 public:
  explicit fd_source(int fd) : fd_(fd) {}
  /// Retries reads interrupted by a signal; -1 on any other error.
  long read(char* buffer, size_t size) override;

 private:
  int fd_;
};

/// Serves a text held in memory, in pieces of at most `piece` bytes (to exercise chunk boundaries).
class memory_source : public byte_source {
 public:
  explicit memory_source(std::string_view text, size_t piece = static_cast<size_t>(-1))
      : text_(text), piece_(piece) {}
  /// Copies the next piece; 0 once the text is served.
  long read(char* buffer, size_t size) override;

 private:
  std::string_view text_;
  size_t piece_;
  size_t offset_ = 0;
};
