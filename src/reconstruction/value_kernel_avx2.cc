#include "reconstruction/value_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#define VARNEL_AVX2 __attribute__((target("avx2,bmi,popcnt")))
// Helpers of the loop, inlined into it.
#define VARNEL_AVX2_INLINE VARNEL_AVX2 __attribute__((always_inline)) inline

namespace value_kernels {
namespace {

// The numbers of a window that the vector code converts: those of at most four digits that end,
// with the character after them, before the window's end, the buffer's end and the first byte
// the vector code does not handle.
struct window_plan {
  uint64_t ends;             // the last digit of each such number
  uint64_t negative_starts;  // the first digits of the digit runs that follow a '-'
};

// Plans a window whose first `valid` (1..64) bytes are data. The window must not start inside a
// digit run.
VARNEL_AVX2_INLINE window_plan plan_window(const window_masks& m, unsigned valid) {
  const uint64_t digit = m.digit;
  const uint64_t sign = m.minus | m.plus;
  const uint64_t other = ~(digit | m.space | sign);
  // A sign not followed by a digit ("--1", "- 1") is for the token scanner to report.
  const uint64_t lone_sign = sign & ~(digit >> 1);
  const uint64_t five_digits = digit & (digit >> 1) & (digit >> 2) & (digit >> 3) & (digit >> 4);
  const unsigned first_hard =
      static_cast<unsigned>(std::countr_zero(other | lone_sign | five_digits));
  // A number's last digit is complete only when the next byte is known: `valid - 1` at most.
  const unsigned limit = std::min(first_hard, valid - 1);
  const uint64_t ends = digit & ~(digit >> 1) & ((uint64_t{1} << limit) - 1);
  const uint64_t starts = digit & ~(digit << 1);
  return {ends, (m.minus << 1) & starts};
}

// The bit positions of the lowest 16 set bits of `bits`, one per byte, lowest first, in two
// words; 64 for each missing bit.
VARNEL_AVX2_INLINE void bit_positions16(uint64_t bits, uint64_t& low, uint64_t& high) {
  low = 0;
  high = 0;
  // The empty asm hides that `bits` may have become zero: otherwise GCC branches out of the
  // unrolled steps there, and those branches mispredict with every window's number count.
#pragma GCC unroll 8
  for (unsigned k = 0; k < 8; ++k) {
    low |= static_cast<uint64_t>(std::countr_zero(bits)) << (8 * k);
    bits &= bits - 1;
    asm("" : "+r"(bits));
  }
#pragma GCC unroll 8
  for (unsigned k = 0; k < 8; ++k) {
    high |= static_cast<uint64_t>(std::countr_zero(bits)) << (8 * k);
    bits &= bits - 1;
    asm("" : "+r"(bits));
  }
}

// Byte `k` (0..15) of the two words of bit_positions16.
VARNEL_AVX2_INLINE unsigned position_at(uint64_t low, uint64_t high, unsigned k) {
  return static_cast<unsigned>(((k < 8 ? low : high) >> (8 * (k & 7))) & 0xff);
}

VARNEL_AVX2_INLINE uint64_t byte_mask(__m256i low, __m256i high) {
  return static_cast<uint32_t>(_mm256_movemask_epi8(low)) |
         static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(high))) << 32;
}

// Bytes of `bytes` at most `limit` when read as unsigned, as 0xff.
VARNEL_AVX2_INLINE __m256i at_most(__m256i bytes, char limit) {
  return _mm256_cmpeq_epi8(_mm256_min_epu8(bytes, _mm256_set1_epi8(limit)), bytes);
}

VARNEL_AVX2_INLINE __m256i space(__m256i bytes) {
  return _mm256_or_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(' ')),
                         at_most(_mm256_sub_epi8(bytes, _mm256_set1_epi8('\t')), 4));
}

VARNEL_AVX2_INLINE window_masks classify(__m256i low, __m256i high) {
  const __m256i zero_char = _mm256_set1_epi8('0');
  const __m256i minus = _mm256_set1_epi8('-');
  const __m256i plus = _mm256_set1_epi8('+');
  return {byte_mask(at_most(_mm256_sub_epi8(low, zero_char), 9),
                    at_most(_mm256_sub_epi8(high, zero_char), 9)),
          byte_mask(space(low), space(high)),
          byte_mask(_mm256_cmpeq_epi8(low, minus), _mm256_cmpeq_epi8(high, minus)),
          byte_mask(_mm256_cmpeq_epi8(low, plus), _mm256_cmpeq_epi8(high, plus))};
}

// Converts the 8 numbers of one to four digits whose last digits are at the byte positions in
// `last` (relative to `window`), one per 32-bit lane; a lane is negated where bit `last` of
// `negative_ends` is set.
VARNEL_AVX2_INLINE __m256i convert8(const char* window, uint64_t last, uint64_t negative_ends) {
  const __m256i last_digit = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(last)));
  // The four bytes that end at the last digit, most significant first; the reader keeps padding
  // before its buffer, so a number at the window's start may look back.
  const __m256i words =
      _mm256_i32gather_epi32(reinterpret_cast<const int*>(window - 3), last_digit, 1);
  const __m256i digits = _mm256_sub_epi8(words, _mm256_set1_epi8('0'));
  // Non-digits get the top bit; spread it to the lower (earlier) bytes of the lane and clear
  // them, they belong to the delimiter or to the number before.
  __m256i marks = _mm256_and_si256(_mm256_adds_epu8(digits, _mm256_set1_epi8(0x76)),
                                   _mm256_set1_epi8(static_cast<char>(0x80)));
  marks = _mm256_or_si256(marks, _mm256_srli_epi32(marks, 8));
  marks = _mm256_or_si256(marks, _mm256_srli_epi32(marks, 16));
  const __m256i clear = _mm256_cmpgt_epi8(_mm256_setzero_si256(), marks);
  const __m256i lanes = _mm256_andnot_si256(clear, digits);
  const __m256i pairs = _mm256_maddubs_epi16(lanes, _mm256_set1_epi16(0x010a));    // 10, 1
  const __m256i values = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));  // 100, 1
  // Bit `last` of the 64-bit mask: shifts of 32 or more give zero, so one of the halves counts.
  const __m256i low_bits = _mm256_srlv_epi32(
      _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(negative_ends))), last_digit);
  const __m256i high_bits = _mm256_srlv_epi32(
      _mm256_set1_epi32(static_cast<int>(static_cast<uint32_t>(negative_ends >> 32))),
      _mm256_sub_epi32(last_digit, _mm256_set1_epi32(32)));
  const __m256i sign = _mm256_sub_epi32(
      _mm256_setzero_si256(),
      _mm256_and_si256(_mm256_or_si256(low_bits, high_bits), _mm256_set1_epi32(1)));
  return _mm256_sub_epi32(_mm256_xor_si256(values, sign), sign);
}

}  // namespace

VARNEL_AVX2 size_t parse_avx2(const char*& pos, const char* end, int32_t* out, size_t capacity,
                              kernel_stop& stop) {
  const char* p = pos;
  size_t n = 0;
  int32_t spill[16];
  // Hot loop: one 64-byte window per iteration, up to 16 values.
  while (n < capacity) {
    const size_t available = static_cast<size_t>(end - p);
    if (available == 0) {
      stop = kernel_stop::boundary;
      pos = p;
      return n;
    }
    const unsigned valid = available < 64 ? static_cast<unsigned>(available) : 64;
    const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    const window_masks masks = classify(low, high);
    const window_plan plan = plan_window(masks, valid);
    if (plan.ends == 0) {
      // Whitespace only, or a token for the scalar scanner: long, malformed or cut.
      const uint64_t data = valid == 64 ? ~uint64_t{0} : (uint64_t{1} << valid) - 1;
      if ((masks.space & data) == data) {
        p += valid;
        continue;
      }
      p += std::countr_zero(~masks.space);
      if (!scan_hard_token(p, end, out + n, stop)) {
        pos = p;
        return n;
      }
      ++n;
      continue;
    }
    const unsigned complete = static_cast<unsigned>(std::popcount(plan.ends));
    const unsigned count = static_cast<unsigned>(std::min<size_t>({complete, 16, capacity - n}));
    uint64_t first8, next8;
    bit_positions16(plan.ends, first8, next8);
    // The carry of adding a run's first bit to the run lands just past its last digit.
    const uint64_t negative_ends = ((masks.digit + plan.negative_starts) & ~masks.digit) >> 1;
    const __m256i first = convert8(p, first8, negative_ends);
    const __m256i next = convert8(p, next8, negative_ends);
    int32_t* target = capacity - n >= 16 ? out + n : spill;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target), first);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + 8), next);
    if (target == spill) std::copy_n(spill, count, out + n);
    n += count;
    // From the mask when all numbers were taken: shorter than waiting for the positions.
    p +=
        count == complete ? past_highest_bit(plan.ends) : position_at(first8, next8, count - 1) + 1;
  }
  stop = kernel_stop::capacity;
  pos = p;
  return n;
}

}  // namespace value_kernels

#endif
