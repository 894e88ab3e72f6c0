#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "common/huge_page_buffer.h"
#include "reconstruction/byte_source.h"
#include "reconstruction/value_reader.h"

/// Extracts the values of a positional source as value_reader does, but parses its chunks (see
/// chunk_range_source) on two threads at once, the caller's and one of its own, and hands each
/// chunk's values out in input order. It stops where value_reader would, with the same outcome
/// and count.
class parallel_value_reader {
 public:
  /// Bytes of the source per chunk, by default.
  static constexpr size_t default_chunk_size = size_t{256} << 10;
  /// Chunks parsed or waiting to be handed out at most.
  static constexpr size_t slot_count = 4;

  /// Reads `source`, which must be positional() and outlive the reader, with `path`, in chunks
  /// of `chunk_size` (> 0) bytes; throws std::invalid_argument when this processor cannot run
  /// `path`. When no thread can be started it parses every chunk on the caller's.
  parallel_value_reader(byte_source& source, parse_path path,
                        size_t chunk_size = default_chunk_size);
  /// Stops parsing ahead and waits for the thread.
  ~parallel_value_reader();
  parallel_value_reader(const parallel_value_reader&) = delete;
  parallel_value_reader& operator=(const parallel_value_reader&) = delete;

  /// Points `values` at the next values in input order, valid until the next call, and returns
  /// how many; 0 once the reader has stopped, and outcome() then says why.
  size_t next(const int32_t*& values);
  /// read_outcome::more until the reader has stopped.
  read_outcome outcome() const { return outcome_; }
  /// The number of values handed out so far.
  uint64_t values_read() const { return values_read_; }

 private:
  struct slot {
    enum class state { free, parsing, ready } state = state::free;
    uint64_t chunk = 0;
    char* text = nullptr;       // the chunk's buffer, inside text_memory_
    int32_t* values = nullptr;  // inside value_memory_
    size_t count = 0;
    read_outcome outcome = read_outcome::more;
    bool last = false;  // the chunk ran to the end of the source
  };

  /// The thread's loop: claims and parses chunks until none is wanted any more or stop.
  void work();
  /// Claims the next chunk if its slot is free and a chunk may still be wanted; the lock is held.
  slot* claim();
  /// Parses the claimed `s` without the lock, then marks it ready under `lock`.
  void parse(slot& s, std::unique_lock<std::mutex>& lock);
  slot& slot_of(uint64_t chunk) { return slots_[chunk % slot_count]; }

  byte_source& source_;
  parse_path path_;
  size_t chunk_size_;
  size_t value_capacity_;
  huge_page_buffer text_memory_, value_memory_;
  std::vector<slot> slots_;
  std::mutex mutex_;
  std::condition_variable ready_, freed_;
  uint64_t next_claim_ = 0;   // the chunk claimed next
  uint64_t next_handed_ = 0;  // the chunk handed out next; the slots of those before are free
  bool lent_ = false;         // chunk next_handed_ - 1 is out on loan
  bool claims_over_ = false;  // a chunk claimed ends the reading: no later one is wanted
  bool stopping_ = false;
  read_outcome outcome_ = read_outcome::more;
  uint64_t values_read_ = 0;
  std::thread thread_;
};
