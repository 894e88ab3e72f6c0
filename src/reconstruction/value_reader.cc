#include "reconstruction/value_reader.h"

#include <limits>

namespace {

constexpr size_t chunk_size = 1 << 20;
// Past this magnitude a number is out of range whatever its sign; it also keeps the
// accumulator from overflowing while further digits arrive.
constexpr uint64_t magnitude_cap = uint64_t{1} << 32;

bool is_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

value_reader::value_reader(byte_source& source) : source_(source), buffer_(new char[chunk_size]) {}

value_reader::~value_reader() = default;

bool value_reader::refill() {
  long n = source_.read(buffer_.get(), chunk_size);
  if (n < 0) {
    outcome_ = read_outcome::read_error;
    return false;
  }
  pos_ = buffer_.get();
  end_ = pos_ + n;
  return n > 0;
}

size_t value_reader::read(int32_t* out, size_t capacity) {
  size_t n = 0;
  while (n < capacity && outcome_ == read_outcome::more) {
    if (pos_ == end_ && !refill()) {
      if (outcome_ == read_outcome::read_error) break;
      // The end of the input: a number cut by it is complete, a lone sign is not a number.
      if (token_ == token_state::digits) {
        bool fits = negative_ ? magnitude_ <= magnitude_cap / 2 : magnitude_ < magnitude_cap / 2;
        if (fits) {
          out[n++] = static_cast<int32_t>(negative_ ? -static_cast<int64_t>(magnitude_)
                                                    : static_cast<int64_t>(magnitude_));
          ++values_read_;
        }
        outcome_ = fits ? read_outcome::end_of_input : read_outcome::out_of_range;
      } else {
        outcome_ =
            token_ == token_state::sign ? read_outcome::not_a_number : read_outcome::end_of_input;
      }
      break;
    }
    n += parse(out + n, capacity - n);
  }
  return n;
}

// Parses values from the buffered bytes until the buffer or `capacity` runs out or a token
// fails; a token cut by the end of the buffer is carried over in token_/negative_/magnitude_.
size_t value_reader::parse(int32_t* out, size_t capacity) {
  size_t n = 0;
  while (pos_ < end_ && n < capacity) {
    char c = *pos_;
    if (token_ == token_state::none) {
      if (is_space(c)) {
        ++pos_;
        continue;
      }
      negative_ = c == '-';
      magnitude_ = 0;
      if (c == '-' || c == '+') {
        token_ = token_state::sign;
        ++pos_;
        continue;
      }
      if (!is_digit(c)) {
        outcome_ = read_outcome::not_a_number;
        return n;
      }
      token_ = token_state::digits;
    }
    if (token_ == token_state::sign) {
      if (!is_digit(c)) {
        outcome_ = read_outcome::not_a_number;
        return n;
      }
      token_ = token_state::digits;
    }
    if (is_digit(c)) {
      magnitude_ = magnitude_ * 10 + static_cast<uint64_t>(c - '0');
      if (magnitude_ > magnitude_cap) magnitude_ = magnitude_cap;
      ++pos_;
      continue;
    }
    // The first character after the digits ends the number; it is looked at again as the
    // start of the next token.
    token_ = token_state::none;
    bool fits = negative_ ? magnitude_ <= magnitude_cap / 2 : magnitude_ < magnitude_cap / 2;
    if (!fits) {
      outcome_ = read_outcome::out_of_range;
      return n;
    }
    out[n++] = static_cast<int32_t>(negative_ ? -static_cast<int64_t>(magnitude_)
                                              : static_cast<int64_t>(magnitude_));
    ++values_read_;
  }
  return n;
}
