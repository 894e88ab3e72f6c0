#include "reconstruction/value_reader.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "reconstruction/value_kernels.h"

using value_kernels::kernel_stop;

static_assert(byte_source::lent_padding >= value_kernels::front_padding &&
                  byte_source::lent_padding >= value_kernels::back_padding,
              "the kernels read lent bytes in place");

namespace {

// Past this magnitude a number is out of range whatever its sign; it also keeps the
// accumulator from overflowing while further digits arrive.
constexpr uint64_t magnitude_cap = uint64_t{1} << 32;

value_kernels::kernel kernel_for(parse_path path) {
  switch (path) {
    case parse_path::scalar:
      return value_kernels::parse_scalar;
#if defined(__x86_64__)
    case parse_path::avx2:
      return value_kernels::parse_avx2;
    case parse_path::avx512:
      return value_kernels::parse_avx512;
#else
    default:
      break;
#endif
  }
  return nullptr;
}

}  // namespace

bool parse_path_available(parse_path path) {
#if defined(__x86_64__)
  switch (path) {
    case parse_path::scalar:
      return true;
    case parse_path::avx2:
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
             __builtin_cpu_supports("popcnt");
    case parse_path::avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2") &&
             __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
             __builtin_cpu_supports("popcnt");
  }
  return false;
#else
  return path == parse_path::scalar;
#endif
}

parse_path best_parse_path() {
  static const parse_path best = parse_path_available(parse_path::avx512) ? parse_path::avx512
                                 : parse_path_available(parse_path::avx2) ? parse_path::avx2
                                                                          : parse_path::scalar;
  return best;
}

const char* parse_path_name(parse_path path) {
  switch (path) {
    case parse_path::scalar:
      return "scalar";
    case parse_path::avx2:
      return "avx2";
    case parse_path::avx512:
      return "avx512";
  }
  return "unknown";
}

value_reader::value_reader(byte_source& source, parse_path path)
    : source_(source), path_(path), kernel_(kernel_for(path)) {
  if (!parse_path_available(path) || kernel_ == nullptr)
    throw std::invalid_argument(std::string("parse path not available: ") + parse_path_name(path));
}

value_reader::~value_reader() = default;

bool value_reader::refill() {
  if (source_.lends()) {
    const char* lent = nullptr;
    long n = source_.lend(lent);
    if (n < 0) outcome_ = read_outcome::read_error;
    if (n <= 0) return false;
    pos_ = lent;
    end_ = lent + n;
    return true;
  }
  // The buffer is made at the first read: a reader of lent pieces needs none.
  // It comes zeroed: the kernels may look at the bytes before the first chunk, which must be no
  // digit.
  if (!storage_)
    storage_.emplace(value_kernels::front_padding + chunk_size + value_kernels::back_padding);
  char* buffer = storage_->data() + value_kernels::front_padding;
  long n = source_.read(buffer, chunk_size);
  if (n < 0) {
    outcome_ = read_outcome::read_error;
    return false;
  }
  pos_ = buffer;
  end_ = buffer + n;
  // The kernels' token scanner stops on the first NUL instead of checking the end at every byte,
  // and the SIMD loops load past the end: zeros keep what they see defined.
  std::memset(buffer + n, 0, value_kernels::back_padding);
  return n > 0;
}

size_t value_reader::read(int32_t* out, size_t capacity) {
  size_t n = 0;
  while (n < capacity && outcome_ == read_outcome::more) {
    if (pos_ == end_) {
      if (!refill()) {
        if (outcome_ != read_outcome::read_error) n += finish_input(out + n);
        break;
      }
      continue;
    }
    if (token_ != token_state::none) {
      n += continue_token(out + n);
      continue;
    }
    kernel_stop stop;
    n += kernel_(pos_, end_, out + n, capacity - n, stop);
    switch (stop) {
      case kernel_stop::capacity:
        break;
      case kernel_stop::boundary:
        // pos_ is at the end or at a sign or digit whose token runs to the end.
        if (pos_ != end_) n += continue_token(out + n);
        break;
      case kernel_stop::not_a_number:
        outcome_ = read_outcome::not_a_number;
        break;
      case kernel_stop::out_of_range:
        outcome_ = read_outcome::out_of_range;
        break;
    }
  }
  values_read_ += n;
  return n;
}

// Byte by byte, since a cut token can be of any length; it returns once the token is complete
// (handing out at most one value) or the buffered bytes have run out.
size_t value_reader::continue_token(int32_t* out) {
  while (pos_ < end_) {
    char c = *pos_;
    if (token_ == token_state::none) {
      negative_ = c == '-';
      magnitude_ = 0;
      token_ = c == '-' || c == '+' ? token_state::sign : token_state::digits;
      if (token_ == token_state::sign) {
        ++pos_;
        continue;
      }
    }
    if (token_ == token_state::sign) {
      if (!value_kernels::is_digit(c)) {
        outcome_ = read_outcome::not_a_number;
        return 0;
      }
      token_ = token_state::digits;
    }
    if (value_kernels::is_digit(c)) {
      magnitude_ = std::min(magnitude_ * 10 + static_cast<uint64_t>(c - '0'), magnitude_cap);
      ++pos_;
      continue;
    }
    // The first character after the digits ends the number; the kernel looks at it again.
    return finish_number(out);
  }
  return 0;
}

size_t value_reader::finish_input(int32_t* out) {
  switch (token_) {
    case token_state::none:
      outcome_ = read_outcome::end_of_input;
      return 0;
    case token_state::sign:
      outcome_ = read_outcome::not_a_number;
      return 0;
    case token_state::digits:
      break;
  }
  // A number cut by the end of the input is complete.
  size_t n = finish_number(out);
  if (n == 1) outcome_ = read_outcome::end_of_input;
  return n;
}

size_t value_reader::finish_number(int32_t* out) {
  token_ = token_state::none;
  bool fits = negative_ ? magnitude_ <= magnitude_cap / 2 : magnitude_ < magnitude_cap / 2;
  if (!fits) {
    outcome_ = read_outcome::out_of_range;
    return 0;
  }
  *out = static_cast<int32_t>(negative_ ? -static_cast<int64_t>(magnitude_)
                                        : static_cast<int64_t>(magnitude_));
  return 1;
}

const char* read_outcome_name(read_outcome o) {
  switch (o) {
    case read_outcome::more:
      return "more";
    case read_outcome::end_of_input:
      return "end_of_input";
    case read_outcome::not_a_number:
      return "not_a_number";
    case read_outcome::out_of_range:
      return "out_of_range";
    case read_outcome::read_error:
      break;
  }
  return "read_error";
}

read_outcome read_outcome_named(std::string_view name) {
  for (read_outcome o : {read_outcome::more, read_outcome::not_a_number, read_outcome::out_of_range,
                         read_outcome::read_error})
    if (name == read_outcome_name(o)) return o;
  return read_outcome::end_of_input;
}
