#include "reconstruction/parallel_reader.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <system_error>

#include "reconstruction/chunk_range.h"

parallel_value_reader::parallel_value_reader(byte_source& source, parse_path path,
                                             size_t chunk_size)
    : source_(source),
      path_(path),
      chunk_size_(std::max<size_t>(chunk_size, 1)),
      // A chunk's values start inside its chunk_size bytes. Two that start one byte apart are a
      // one-digit number and a signed one, after which the next starts two bytes on at the
      // earliest: at most chunk_size / 2 + 1 values start there. One place more lets the value
      // reader return short of its capacity, which is how it tells that it has stopped.
      value_capacity_(chunk_size_ / 2 + 2),
      text_memory_(slot_count * chunk_range_source::buffer_size(chunk_size_)),
      value_memory_(slot_count * value_capacity_ * sizeof(int32_t)),
      slots_(slot_count) {
  if (!parse_path_available(path))
    throw std::invalid_argument(std::string("parse path not available: ") + parse_path_name(path));
  for (size_t i = 0; i < slot_count; ++i) {
    slots_[i].text = text_memory_.data() + i * chunk_range_source::buffer_size(chunk_size_);
    slots_[i].values = reinterpret_cast<int32_t*>(value_memory_.data()) + i * value_capacity_;
  }
  try {
    thread_ = std::thread(&parallel_value_reader::work, this);
  } catch (const std::system_error&) {
    // The caller's thread claims every chunk itself.
  }
}

parallel_value_reader::~parallel_value_reader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  freed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

parallel_value_reader::slot* parallel_value_reader::claim() {
  const uint64_t in_use_from = next_handed_ - (lent_ ? 1 : 0);
  if (claims_over_ || next_claim_ >= in_use_from + slot_count) return nullptr;
  slot& s = slot_of(next_claim_);
  s.state = slot::state::parsing;
  s.chunk = next_claim_++;
  return &s;
}

void parallel_value_reader::parse(slot& s, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  chunk_range_source range(source_, chunk_size_, s.chunk, s.text);
  value_reader reader(range, path_);
  s.count = reader.read(s.values, value_capacity_);
  // A reader that filled its capacity has not stopped; the bound above rules that out, and should
  // it ever fail the reading ends as an error rather than with values missing.
  s.outcome = reader.outcome() == read_outcome::more ? read_outcome::read_error : reader.outcome();
  s.last = range.reached_end();
  lock.lock();
  s.state = slot::state::ready;
  // Whatever follows the chunk that ends the reading is not wanted.
  if (s.last || s.outcome != read_outcome::end_of_input) claims_over_ = true;
  ready_.notify_one();
}

void parallel_value_reader::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    slot* s = nullptr;
    while (!stopping_ && !(s = claim())) {
      if (claims_over_) return;
      freed_.wait(lock);
    }
    if (!s) return;
    parse(*s, lock);
  }
}

size_t parallel_value_reader::next(const int32_t*& values) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (lent_) {
      slot_of(next_handed_ - 1).state = slot::state::free;
      lent_ = false;
      freed_.notify_one();
    }
    if (outcome_ != read_outcome::more) return 0;
    slot& s = slot_of(next_handed_);
    while (s.state != slot::state::ready || s.chunk != next_handed_) {
      // Rather than wait, this thread parses a chunk too.
      if (slot* mine = claim())
        parse(*mine, lock);
      else
        ready_.wait(lock);
    }
    ++next_handed_;
    lent_ = true;
    values_read_ += s.count;
    if (s.last || s.outcome != read_outcome::end_of_input) outcome_ = s.outcome;
    if (s.count > 0) {
      values = s.values;
      return s.count;
    }
  }
}
