#include "reconstruction/value_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

// GCC 12 takes the unmasked intrinsics' undefined pass-through operand for an uninitialised value
// (GCC bug 105593).
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define VARNEL_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vbmi,avx512vbmi2,bmi,bmi2,popcnt")))
// Helpers of the loop, inlined into it.
#define VARNEL_AVX512_INLINE VARNEL_AVX512 __attribute__((always_inline)) inline

namespace value_kernels {
namespace {

// Each window is loaded `lookback` bytes before its block, so that a number of up to four digits
// ending in the block, with its sign, lies inside the window; the block's numbers are those whose
// last digit is at window byte lookback..62, byte 63 showing whether the digit is the last. The
// window is loaded again one, two and three bytes earlier, to line each digit up with the digits
// after it.
constexpr int lookback = 4;
constexpr int block_size = 63 - lookback;
constexpr uint64_t block_bits = ((uint64_t{1} << 63) - 1) & ~((uint64_t{1} << lookback) - 1);

// The constant vectors of the loop. They are made opaque to the compiler, which otherwise
// rebuilds each from an immediate inside the loop, at two instructions a use.
struct constants {
  __m512i zero_char, nine, blank, tab, four, minus, plus, hundred;
};

VARNEL_AVX512_INLINE constants make_constants() {
  constants c{_mm512_set1_epi8('0'),  _mm512_set1_epi8(9),   _mm512_set1_epi8(' '),
              _mm512_set1_epi8('\t'), _mm512_set1_epi8(4),   _mm512_set1_epi8('-'),
              _mm512_set1_epi8('+'),  _mm512_set1_epi16(100)};
  for (__m512i* v :
       {&c.zero_char, &c.nine, &c.blank, &c.tab, &c.four, &c.minus, &c.plus, &c.hundred})
    asm("" : "+v"(*v));
  return c;
}

VARNEL_AVX512_INLINE window_masks classify(const constants& c, __m512i bytes, __mmask64& digit) {
  digit = _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, c.zero_char), c.nine);
  const __mmask64 space = _mm512_cmpeq_epi8_mask(bytes, c.blank) |
                          _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, c.tab), c.four);
  return {_cvtmask64_u64(digit), _cvtmask64_u64(space),
          _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, c.minus)),
          _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, c.plus))};
}

// The digit values of the window as loaded `lag` bytes earlier, so that byte i holds the digit
// i - lag bytes into the window; 0 where that byte is not a digit (`digit` is the window's mask).
VARNEL_AVX512_INLINE __m512i digits_before(const constants& c, const char* window, int lag,
                                           uint64_t digit) {
  return _mm512_maskz_sub_epi8(_cvtu64_mask64(digit << lag), _mm512_loadu_si512(window - lag),
                               c.zero_char);
}

// 10 * tens + ones in each byte (at most 99); a byte shifted by 3 within its word stays in it.
VARNEL_AVX512_INLINE __m512i pair_value(__m512i tens, __m512i ones) {
  return _mm512_add_epi8(ones,
                         _mm512_add_epi8(_mm512_slli_epi16(tens, 3), _mm512_slli_epi16(tens, 1)));
}

// Writes the values of the numbers ending at the positions in `ends` (at most 32) to `out`, in
// order; it stores 32 values. `low` holds in each byte the number's last two digits as a value,
// `high` the two before them; `negative` marks the ends to negate. Compressed to the front, the
// pairs are widened to words, joined, and widened again to 32 bits.
VARNEL_AVX512_INLINE void store_ends(const constants& c, int32_t* out, __m512i low, __m512i high,
                                     uint64_t ends, uint64_t negative) {
  const __mmask64 at = _cvtu64_mask64(ends);
  const __m512i low_words =
      _mm512_cvtepu8_epi16(_mm512_castsi512_si256(_mm512_maskz_compress_epi8(at, low)));
  const __m512i high_words =
      _mm512_cvtepu8_epi16(_mm512_castsi512_si256(_mm512_maskz_compress_epi8(at, high)));
  __m512i values = _mm512_add_epi16(low_words, _mm512_mullo_epi16(high_words, c.hundred));
  values = _mm512_mask_sub_epi16(values,
                                 _cvtu32_mask32(static_cast<uint32_t>(_pext_u64(negative, ends))),
                                 _mm512_setzero_si512(), values);
  _mm512_storeu_si512(out, _mm512_cvtepi16_epi32(_mm512_castsi512_si256(values)));
  _mm512_storeu_si512(out + 16, _mm512_cvtepi16_epi32(_mm512_extracti64x4_epi64(values, 1)));
}

}  // namespace

VARNEL_AVX512 size_t parse_avx512(const char*& pos, const char* end, int32_t* out, size_t capacity,
                                  kernel_stop& stop) {
  // Blocks follow each other at a fixed stride, so the next load never waits for this block's
  // numbers; `resume` is where the scalar scanner can start a token: just after the last value
  // handed out (or after whitespace).
  const char* p = pos;
  const char* resume = pos;
  size_t n = 0;
  alignas(64) int32_t spill[32];
  const constants c = make_constants();
  // Hot loop: one block per iteration, up to 30 values.
  while (n < capacity) {
    uint64_t hard = 0;
    bool last_block = true;
    if (p < end) {
      const char* window = p - lookback;
      uint64_t in_block = block_bits;
      last_block = end - window < 64;
      // A digit at the end of the data may go on in the next chunk.
      if (last_block) in_block &= (uint64_t{1} << (end - window - 1)) - 1;
      const __m512i bytes = _mm512_loadu_si512(window);
      __mmask64 digit_mask;
      const window_masks masks = classify(c, bytes, digit_mask);
      const uint64_t digit = masks.digit;
      const uint64_t sign = masks.minus | masks.plus;
      const uint64_t other = ~(digit | masks.space | sign);
      // A sign not followed by a digit ("--1", "- 1") and a run of five or more digits are for the
      // scalar scanner.
      const uint64_t lone_sign = sign & ~(digit >> 1);
      const uint64_t fifth_digit =
          digit & (digit << 1) & (digit << 2) & (digit << 3) & (digit << 4);
      hard = (other | lone_sign | fifth_digit) & in_block;
      const uint64_t ends = digit & ~(digit >> 1) & in_block & ((hard & (0 - hard)) - 1);
      if (ends != 0) {
        const uint64_t three_digits = digit & (digit << 1) & (digit << 2);
        const uint64_t starts = digit & ~(digit << 1);
        // The carry of adding a run's first bit to the run lands just past its last digit.
        const uint64_t negative_ends = ((digit + ((masks.minus << 1) & starts)) & ~digit) >> 1;
        // Ones and tens: the byte before a number's last digit is its tens digit or a non-digit
        // (0). Hundreds and thousands count only where the tens and hundreds are digits of the
        // same number; with fewer digits those bytes may belong to the number before.
        const __m512i low = pair_value(digits_before(c, window, 1, digit),
                                       _mm512_maskz_sub_epi8(digit_mask, bytes, c.zero_char));
        const __m512i high = _mm512_maskz_mov_epi8(
            _cvtu64_mask64(three_digits),
            pair_value(digits_before(c, window, 3, digit), digits_before(c, window, 2, digit)));
        const size_t count = static_cast<size_t>(std::popcount(ends));
        uint64_t taken = ends;
        if (capacity - n >= 32) {
          store_ends(c, out + n, low, high, ends, negative_ends);
          n += count;
        } else {
          // Near the end of `out`: stage the values and take as many as fit.
          store_ends(c, spill, low, high, ends, negative_ends);
          const size_t fit = std::min(count, capacity - n);
          std::copy_n(spill, fit, out + n);
          n += fit;
          taken = _pdep_u64((uint64_t{1} << fit) - 1, ends);
        }
        resume = window + past_highest_bit(taken);
        if (n == capacity) break;
      }
      if (hard == 0 && !last_block) {
        p += block_size;
        continue;
      }
    }
    // The first token after `resume` is hard, or cut by the end of the data, or there is only
    // whitespace left.
    p = resume;
    if (!scan_hard_token(p, end, out + n, stop)) {
      pos = p;
      return n;
    }
    ++n;
    resume = p;
  }
  stop = kernel_stop::capacity;
  pos = resume;
  return n;
}

}  // namespace value_kernels

#endif
