#include "reconstruction/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <system_error>

read_ahead_source::read_ahead_source(byte_source& inner, size_t chunk_size)
    : inner_(inner),
      chunk_size_(std::max<size_t>(chunk_size, 1)),
      memory_(buffer_count * (chunk_size_ + 2 * lent_padding)),
      chunks_(buffer_count) {
  // The memory comes zeroed, so the padding before each chunk is zeros already.
  for (size_t i = 0; i < buffer_count; ++i)
    chunks_[i].start = memory_.data() + i * (chunk_size_ + 2 * lent_padding);
  try {
    thread_ = std::thread(&read_ahead_source::fill, this);
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;
  }
}

read_ahead_source::~read_ahead_source() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  emptied_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void read_ahead_source::read_chunk(size_t index) {
  chunk& c = chunks_[index];
  c.count = inner_.read(c.data(), chunk_size_);
  std::memset(c.data() + std::max(c.count, 0L), 0, lent_padding);
}

void read_ahead_source::fill() {
  for (;;) {
    size_t index;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      emptied_.wait(lock, [&] { return stopping_ || filled_count_ < buffer_count; });
      if (stopping_) return;
      index = next_fill_;
    }
    // The buffer is neither lent nor waiting to be: it is read into without the lock.
    read_chunk(index);
    const long count = chunks_[index].count;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      next_fill_ = (next_fill_ + 1) % buffer_count;
      ++filled_count_;
    }
    filled_.notify_one();
    if (count <= 0) return;
  }
}

long read_ahead_source::lend(const char*& data) {
  if (!threaded_) {
    read_chunk(0);
    data = chunks_[0].data();
    return chunks_[0].count;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (lent_one_) {
    chunk& lent = chunks_[next_lend_];
    // The end and an error stay lent: the thread has stopped after them.
    if (lent.count <= 0) {
      data = lent.data();
      return lent.count;
    }
    lent_one_ = false;
    --filled_count_;
    next_lend_ = (next_lend_ + 1) % buffer_count;
    emptied_.notify_one();
  }
  filled_.wait(lock, [&] { return filled_count_ > 0; });
  lent_one_ = true;
  data = chunks_[next_lend_].data();
  return chunks_[next_lend_].count;
}

long read_ahead_source::read(char* buffer, size_t size) {
  if (left_count_ == 0) {
    long n = lend(left_);
    if (n <= 0) return n;
    left_count_ = n;
  }
  const long n = std::min(left_count_, static_cast<long>(size));
  std::memcpy(buffer, left_, static_cast<size_t>(n));
  left_ += n;
  left_count_ -= n;
  return n;
}
