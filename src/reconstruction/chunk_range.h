#pragma once

#include <cstddef>
#include <cstdint>

#include "reconstruction/byte_source.h"

/// Lends one chunk of a positional source, moved to where no number can be cut: chunk k of
/// `chunk_size` bytes runs from the first split point at or after k * chunk_size to the first at
/// or after (k + 1) * chunk_size. A split point is a position right after whitespace, or between
/// a digit and a byte that is no digit (or the end): a reader passing it is never inside a
/// number, so the values of the chunks, parsed apart and put one after another, are those of the
/// whole source. Every value starts inside its chunk's chunk_size bytes.
class chunk_range_source : public byte_source {
 public:
  /// Bytes read past the chunk's end in its first read, to find where its last number ends.
  static constexpr size_t margin = 256;
  /// The buffer, in bytes, that chunks of `chunk_size` bytes need.
  static constexpr size_t buffer_size(size_t chunk_size) {
    return lent_padding + chunk_size + 1 + margin + lent_padding;
  }

  /// Serves chunk `index` of `source` (positional, outliving this object) through `buffer` of
  /// buffer_size(chunk_size) bytes whose first lent_padding bytes are zero; chunk_size > 0.
  chunk_range_source(byte_source& source, size_t chunk_size, uint64_t index, char* buffer)
      : source_(source), chunk_size_(chunk_size), index_(index), buffer_(buffer) {}

  /// The chunk is only lent: read() fails.
  long read(char* buffer, size_t size) override;
  bool lends() const override { return true; }
  /// The chunk's next bytes, in place between lent_padding zero bytes and valid until the next
  /// call: their count, 0 once the chunk is served, -1 on an I/O error.
  long lend(const char*& data) override;
  /// True once the chunk was found to run to the end of the source (or to lie past it).
  bool reached_end() const { return reached_end_; }

 private:
  /// The first lend(): the chunk's bytes as far as one read of the chunk and its margin holds.
  long lend_first(const char*& data);
  /// The rest of a run of bytes too long for the margin, a chunk's worth at a time.
  long lend_rest(const char*& data);
  /// Reads `size` bytes at `offset` into the buffer, fewer only at the end; -1 on an error.
  long read_fully(size_t size, uint64_t offset);
  /// Lends `count` bytes from `start` of the buffer's text, zeroing what follows them.
  long lend_text(size_t start, size_t count, const char*& data);
  char* text() const { return buffer_ + lent_padding; }

  byte_source& source_;
  size_t chunk_size_;
  uint64_t index_;
  char* buffer_;
  enum class stage { first, rest, done } stage_ = stage::first;
  uint64_t rest_offset_ = 0;
  char rest_previous_ = 0;  // the byte before rest_offset_
  bool reached_end_ = false;
};
