#include "reconstruction/chunk_range.h"

#include <cstring>

#include "reconstruction/value_kernels.h"

using value_kernels::is_digit;
using value_kernels::is_space;

namespace {

// Whether a split point lies between `previous` and `next`.
bool splits(char previous, char next) {
  return is_space(previous) || (is_digit(previous) && !is_digit(next));
}

}  // namespace

long chunk_range_source::read(char* buffer, size_t size) {
  (void)buffer;
  (void)size;
  return -1;
}

long chunk_range_source::lend(const char*& data) {
  switch (stage_) {
    case stage::first:
      return lend_first(data);
    case stage::rest:
      return lend_rest(data);
    case stage::done:
      break;
  }
  data = text();
  return 0;
}

long chunk_range_source::read_fully(size_t size, uint64_t offset) {
  size_t got = 0;
  while (got < size) {
    long n = source_.read_at(text() + got, size - got, offset + got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<long>(got);
}

long chunk_range_source::lend_text(size_t start, size_t count, const char*& data) {
  std::memset(text() + start + count, 0, lent_padding);
  data = text() + start;
  return static_cast<long>(count);
}

// Positions are counted from `base`, the byte before the chunk (or the source's first byte for
// the first chunk), so that whether the chunk's first position is a split point can be told.
long chunk_range_source::lend_first(const char*& data) {
  stage_ = stage::done;
  const uint64_t begin = index_ * chunk_size_;
  const uint64_t base = index_ == 0 ? 0 : begin - 1;
  const size_t lead = static_cast<size_t>(begin - base);
  const size_t wanted = lead + chunk_size_ + margin;
  const long read = read_fully(wanted, base);
  if (read < 0) return -1;
  const size_t got = static_cast<size_t>(read);
  const bool at_end = got < wanted;
  // Whether position p < got splits; the end of the source always does.
  auto split_at = [&](size_t p) { return splits(text()[p - 1], text()[p]); };
  const size_t nominal_end = lead + chunk_size_;
  size_t start = lead;
  if (index_ != 0)
    while (start < nominal_end && start < got && !split_at(start)) ++start;
  if (start >= got) {
    // The source ends before the chunk's first split point, or at it.
    reached_end_ = true;
    return 0;
  }
  // No split point in the chunk: a run of bytes that began before it goes through it.
  if (start == nominal_end) return 0;
  // The kernels may look at the bytes before the first one lent: they must be no digit.
  std::memset(text(), 0, start);
  size_t end = nominal_end;
  while (end < got && !split_at(end)) ++end;
  if (end < got) return lend_text(start, end - start, data);
  if (at_end) {
    reached_end_ = true;
    return lend_text(start, got - start, data);
  }
  // A run of bytes goes on past the margin: the reader takes it up where this piece cuts it.
  stage_ = stage::rest;
  rest_offset_ = base + got;
  rest_previous_ = text()[got - 1];
  return lend_text(start, got - start, data);
}

long chunk_range_source::lend_rest(const char*& data) {
  const long read = read_fully(chunk_size_, rest_offset_);
  if (read < 0) return -1;
  const size_t got = static_cast<size_t>(read);
  size_t end = 0;
  while (end < got && !splits(end == 0 ? rest_previous_ : text()[end - 1], text()[end])) ++end;
  if (end < got) {
    stage_ = stage::done;
  } else if (got < chunk_size_) {
    reached_end_ = true;
    stage_ = stage::done;
  } else {
    rest_previous_ = text()[got - 1];
  }
  rest_offset_ += end;
  return lend_text(0, end, data);
}
