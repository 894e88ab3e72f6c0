#pragma once

// The parsing loops behind value_reader, one per instruction set, and what they share. Internal to
// the reader: nothing outside src/reconstruction includes this.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace value_kernels {

/// Readable bytes the reader keeps before the first buffered byte (kernels may load them).
inline constexpr size_t front_padding = 64;
/// Bytes the reader keeps after the last buffered byte, all NUL.
inline constexpr size_t back_padding = 128;

/// Why a kernel returned.
enum class kernel_stop {
  capacity,      ///< the output is full
  boundary,      ///< the buffered bytes ran out: `pos` is at the end or at the start of a cut token
  not_a_number,  ///< the token at `pos` is not a number
  out_of_range,  ///< the token at `pos` is a number beyond the signed 32-bit range
};

/// Parses the values in [pos, end) into `out` (up to `capacity` > 0 of them) and advances `pos`
/// past them; `pos` must not be inside a token. The buffer needs the paddings around it. When
/// `pos` reaches a token it does not hand out it stays at that token's first character.
using kernel = size_t (*)(const char*& pos, const char* end, int32_t* out, size_t capacity,
                          kernel_stop& stop);

/// The portable loop: one token at a time.
size_t parse_scalar(const char*& pos, const char* end, int32_t* out, size_t capacity,
                    kernel_stop& stop);
/// 64-byte windows with AVX2; needs avx2, bmi and popcnt.
size_t parse_avx2(const char*& pos, const char* end, int32_t* out, size_t capacity,
                  kernel_stop& stop);
/// 59-byte blocks with AVX-512; needs avx512f, avx512bw, avx512vbmi, avx512vbmi2, bmi, bmi2 and
/// popcnt.
size_t parse_avx512(const char*& pos, const char* end, int32_t* out, size_t capacity,
                    kernel_stop& stop);

/// One of the six whitespace characters of the C locale.
[[gnu::always_inline]] inline bool is_space(char c) {
  return c == ' ' || static_cast<unsigned char>(c) - 9u <= 4u;
}
/// A decimal digit.
[[gnu::always_inline]] inline bool is_digit(char c) {
  return static_cast<unsigned char>(c) - unsigned{'0'} <= 9u;
}

/// What scan_token found.
enum class token_kind { value, cut, not_a_number, out_of_range };

/// Skips whitespace and parses the token at `pos` if it ends before `end` (`*end` is a NUL). On a
/// value, `pos` moves past its last digit; otherwise it stays on the token's first character
/// (or at `end` when only whitespace was left).
[[gnu::always_inline]] inline token_kind scan_token(const char*& pos, const char* end,
                                                    int32_t& value) {
  const char* p = pos;
  while (is_space(*p)) ++p;
  pos = p;
  if (p == end) return token_kind::cut;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (!is_digit(*p)) return p == end ? token_kind::cut : token_kind::not_a_number;
  while (*p == '0') ++p;
  const char* significant = p;
  uint64_t magnitude = 0;
  while (is_digit(*p)) magnitude = magnitude * 10 + static_cast<unsigned char>(*p++ - '0');
  if (p == end) return token_kind::cut;
  // More than ten significant digits can wrap the accumulator, and are out of range anyway.
  const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  if (p - significant > 10 || magnitude > limit) return token_kind::out_of_range;
  value = static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude)
                                        : static_cast<int64_t>(magnitude));
  pos = p;
  return token_kind::value;
}

/// Handles the token at `pos` that a SIMD window could not: returns false when the kernel must
/// return (with `stop` set), true after handing out one value at `*out`.
[[gnu::always_inline]] inline bool scan_hard_token(const char*& pos, const char* end, int32_t* out,
                                                   kernel_stop& stop) {
  switch (scan_token(pos, end, *out)) {
    case token_kind::value:
      return true;
    case token_kind::cut:
      stop = kernel_stop::boundary;
      return false;
    case token_kind::not_a_number:
      stop = kernel_stop::not_a_number;
      return false;
    case token_kind::out_of_range:
      stop = kernel_stop::out_of_range;
      return false;
  }
  return false;
}

/// One past the index of the highest set bit of `bits`, which must not be 0 (without needing
/// LZCNT, which the processor checks cannot test for).
[[gnu::always_inline]] inline unsigned past_highest_bit(uint64_t bits) {
  return 64 - static_cast<unsigned>(__builtin_clzll(bits));
}

/// The classification of a 64-byte window, one bit per byte (bit i is byte i).
struct window_masks {
  uint64_t digit;  ///< '0'..'9'
  uint64_t space;  ///< the six whitespace characters
  uint64_t minus;  ///< '-'
  uint64_t plus;   ///< '+'
};

}  // namespace value_kernels
