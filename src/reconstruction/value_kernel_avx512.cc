#include "reconstruction/value_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>

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
// last digit is at window byte lookback..62, byte 63 showing whether the digit is the last.
constexpr int lookback = 4;
constexpr int block_size = 63 - lookback;
constexpr uint64_t block_bits = ((uint64_t{1} << 63) - 1) & ~((uint64_t{1} << lookback) - 1);

// Bytes 2l and 2l + 1 of a digit-pair table pick window bytes 32 * half + l - lag - 1 and
// 32 * half + l - lag (clamped to the window; those positions are never in a block).
constexpr std::array<char, 64> pair_index(int half, int lag) {
  std::array<char, 64> index{};
  for (int l = 0; l < 32; ++l) {
    index[2 * l] = static_cast<char>(std::max(0, 32 * half + l - lag - 1));
    index[2 * l + 1] = static_cast<char>(std::max(0, 32 * half + l - lag));
  }
  return index;
}

alignas(64) constexpr std::array<char, 64> ones_index[2] = {pair_index(0, 0), pair_index(1, 0)};
alignas(64) constexpr std::array<char, 64> hundreds_index[2] = {pair_index(0, 2), pair_index(1, 2)};

VARNEL_AVX512_INLINE __m512i load(const std::array<char, 64>& table) {
  return _mm512_load_si512(table.data());
}

// The constant vectors of the loop. They are made opaque to the compiler, which otherwise
// rebuilds each from an immediate inside the loop, at two instructions a use.
struct constants {
  __m512i zero_char, nine, blank, tab, four, minus, plus, weights, hundred, ones[2], hundreds[2];
};

VARNEL_AVX512_INLINE constants make_constants() {
  constants c{_mm512_set1_epi8('0'),
              _mm512_set1_epi8(9),
              _mm512_set1_epi8(' '),
              _mm512_set1_epi8('\t'),
              _mm512_set1_epi8(4),
              _mm512_set1_epi8('-'),
              _mm512_set1_epi8('+'),
              _mm512_set1_epi16(0x010a),  // 10, 1
              _mm512_set1_epi16(100),
              {load(ones_index[0]), load(ones_index[1])},
              {load(hundreds_index[0]), load(hundreds_index[1])}};
  for (__m512i* v : {&c.zero_char, &c.nine, &c.blank, &c.tab, &c.four, &c.minus, &c.plus,
                     &c.weights, &c.hundred})
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

// For each of the 32 positions of one half of the window, the value of a number of one to four
// digits ending there, as 16-bit words (meaningful only where a number does end).
// `digits` holds digit values and 0 for every other byte; `three_digits` marks the positions
// whose two preceding bytes are digits too; `negative` the positions to negate.
VARNEL_AVX512_INLINE __m512i half_values(const constants& c, __m512i digits, int half,
                                         uint32_t three_digits, uint32_t negative) {
  // Tens and ones: the byte before a number's last digit is its tens digit or a non-digit (0).
  const __m512i ones =
      _mm512_maddubs_epi16(_mm512_permutexvar_epi8(c.ones[half], digits), c.weights);
  // Thousands and hundreds count only where the tens and hundreds are digits of the same number;
  // with fewer digits those bytes may belong to the number before.
  const __m512i hundreds = _mm512_maskz_maddubs_epi16(
      three_digits, _mm512_permutexvar_epi8(c.hundreds[half], digits), c.weights);
  const __m512i values = _mm512_add_epi16(ones, _mm512_mullo_epi16(hundreds, c.hundred));
  return _mm512_mask_sub_epi16(values, negative, _mm512_setzero_si512(), values);
}

// Writes the values at the positions in `ends` to `out`, in order; it stores 16 lanes at each of
// two offsets, so `out` needs room for popcount(ends) + 16 values. A number ending in a half
// needs a byte after it, so at most 16 end in a half's 32 bytes: its values, compressed to the
// front as words, fill at most the low 16.
VARNEL_AVX512_INLINE void store_ends(int32_t* out, __m512i low_half, __m512i high_half,
                                     uint64_t ends) {
  const auto low_ends = static_cast<uint32_t>(ends);
  const auto high_ends = static_cast<uint32_t>(ends >> 32);
  const __m512i low = _mm512_maskz_compress_epi16(_cvtu32_mask32(low_ends), low_half);
  const __m512i high = _mm512_maskz_compress_epi16(_cvtu32_mask32(high_ends), high_half);
  _mm512_storeu_si512(out, _mm512_cvtepi16_epi32(_mm512_castsi512_si256(low)));
  _mm512_storeu_si512(out + std::popcount(low_ends),
                      _mm512_cvtepi16_epi32(_mm512_castsi512_si256(high)));
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
  alignas(64) int32_t spill[32 + 16];
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
        const __m512i digits = _mm512_maskz_sub_epi8(digit_mask, bytes, c.zero_char);
        const uint64_t three_digits = digit & (digit << 1) & (digit << 2);
        const uint64_t starts = digit & ~(digit << 1);
        // The carry of adding a run's first bit to the run lands just past its last digit.
        const uint64_t negative_ends = ((digit + ((masks.minus << 1) & starts)) & ~digit) >> 1;
        const __m512i low_half = half_values(c, digits, 0, static_cast<uint32_t>(three_digits),
                                             static_cast<uint32_t>(negative_ends));
        const __m512i high_half =
            half_values(c, digits, 1, static_cast<uint32_t>(three_digits >> 32),
                        static_cast<uint32_t>(negative_ends >> 32));
        const size_t count = static_cast<size_t>(std::popcount(ends));
        uint64_t taken = ends;
        if (capacity - n >= count + 16) {
          store_ends(out + n, low_half, high_half, ends);
          n += count;
        } else {
          // Near the end of `out`: stage the values and take as many as fit.
          store_ends(spill, low_half, high_half, ends);
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
