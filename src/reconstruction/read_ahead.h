#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

#include "common/huge_page_buffer.h"
#include "reconstruction/byte_source.h"

/// Reads another byte source ahead on a thread of its own, a chunk at a time into a few buffers,
/// and lends the chunks out in order: the copy out of the kernel overlaps the parsing. The source
/// read must return from every read() (a regular file, not a pipe that may stay silent), since
/// destroying the read-ahead waits for the read under way.
class read_ahead_source : public byte_source {
 public:
  /// Bytes asked of `inner` per read, by default.
  static constexpr size_t default_chunk_size = size_t{1} << 20;
  /// Chunks read ahead at most.
  static constexpr size_t buffer_count = 3;

  /// Starts reading `inner`, which must outlive this object, `chunk_size` (> 0) bytes at a time;
  /// when no thread can be started it reads on the caller's thread instead.
  explicit read_ahead_source(byte_source& inner, size_t chunk_size = default_chunk_size);
  /// Stops reading ahead and waits for the thread.
  ~read_ahead_source() override;
  read_ahead_source(const read_ahead_source&) = delete;
  read_ahead_source& operator=(const read_ahead_source&) = delete;

  /// Copies the next bytes out of the lent chunks; the count, 0 at the end, -1 on an I/O error.
  long read(char* buffer, size_t size) override;
  bool lends() const override { return true; }
  /// The next chunk, as `inner` returned it: its count, 0 at the end, -1 on an I/O error; the
  /// bytes stay valid until the next call of lend() or read().
  long lend(const char*& data) override;
  /// Whether `inner` is unchanged; meaningful once the end or an error has been lent.
  bool unchanged() const override { return inner_.unchanged(); }

 private:
  struct chunk {
    char* start = nullptr;  // padding, chunk_size_ bytes, padding, inside memory_
    long count = 0;         // as inner.read() returned it
    char* data() { return start + lent_padding; }
  };

  /// The thread's loop: fills free buffers in turn until the end, an error or stop().
  void fill();
  /// Reads the next chunk of `inner` into buffer `index`.
  void read_chunk(size_t index);

  byte_source& inner_;
  size_t chunk_size_;
  huge_page_buffer memory_;
  std::vector<chunk> chunks_;
  std::mutex mutex_;
  std::condition_variable filled_, emptied_;
  size_t filled_count_ = 0;  // buffers filled and not yet given back, the lent one included
  size_t next_fill_ = 0;     // the buffer the thread fills next
  size_t next_lend_ = 0;     // the buffer lent next
  bool lent_one_ = false;    // a buffer is out on loan
  bool stopping_ = false;
  bool threaded_ = false;
  // What read() has not yet copied out of the last lent chunk.
  const char* left_ = nullptr;
  long left_count_ = 0;
  std::thread thread_;
};
