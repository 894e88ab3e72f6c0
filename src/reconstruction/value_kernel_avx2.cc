#include "reconstruction/value_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>

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

// pshufb controls that move the 16-bit words picked by an 8-bit mask to the front, in order.
constexpr std::array<std::array<char, 16>, 256> make_word_packs() {
  std::array<std::array<char, 16>, 256> packs{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned k = 0;
    for (unsigned i = 0; i < 8; ++i)
      if (mask & (1u << i)) {
        packs[mask][2 * k] = static_cast<char>(2 * i);
        packs[mask][2 * k + 1] = static_cast<char>(2 * i + 1);
        ++k;
      }
    for (; k < 8; ++k) packs[mask][2 * k] = packs[mask][2 * k + 1] = static_cast<char>(0x80);
  }
  return packs;
}
alignas(64) constexpr std::array<std::array<char, 16>, 256> word_packs = make_word_packs();

// The 32 bytes at `at` less '0' (a digit's value where the byte is a digit), with 0xff in
// `digit` where it is.
VARNEL_AVX2_INLINE __m256i digits_at(const char* at, __m256i& digit) {
  const __m256i values = _mm256_sub_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)),
                                         _mm256_set1_epi8('0'));
  digit = at_most(values, 9);
  return values;
}

// Quadwords 0 2 1 3, so that in-lane unpacks give positions 0-15 and 16-31 in order.
VARNEL_AVX2_INLINE __m256i order(__m256i v) {
  return _mm256_permute4x64_epi64(v, 0xd8);
}

// The 16-bit value of a number of one to four digits ending at each of the 32 positions from
// `at` (meaningful only where a number does end), positions 0-15 in `first` and 16-31 in
// `second`: the digit there and those before it that belong to the same number, read from loads
// shifted back by one to three bytes (the reader keeps padding before its buffer, so a number at
// the start may look back).
VARNEL_AVX2_INLINE void position_values(const char* at, __m256i& first, __m256i& second) {
  __m256i digit1, digit2, digit3, unused;
  const __m256i ones = digits_at(at, unused);
  const __m256i tens = digits_at(at - 1, digit1);
  const __m256i hundreds = digits_at(at - 2, digit2);
  const __m256i thousands = digits_at(at - 3, digit3);
  // A digit counts only while every byte between it and the last digit is a digit too.
  const __m256i in2 = _mm256_and_si256(digit1, digit2);
  const __m256i in3 = _mm256_and_si256(in2, digit3);
  const __m256i d0 = order(ones);
  const __m256i d1 = order(_mm256_and_si256(tens, digit1));
  const __m256i d2 = order(_mm256_and_si256(hundreds, in2));
  const __m256i d3 = order(_mm256_and_si256(thousands, in3));
  const __m256i weights = _mm256_set1_epi16(0x010a);  // 10, 1
  const __m256i hundred = _mm256_set1_epi16(100);
  first = _mm256_add_epi16(
      _mm256_maddubs_epi16(_mm256_unpacklo_epi8(d1, d0), weights),
      _mm256_mullo_epi16(_mm256_maddubs_epi16(_mm256_unpacklo_epi8(d3, d2), weights), hundred));
  second = _mm256_add_epi16(
      _mm256_maddubs_epi16(_mm256_unpackhi_epi8(d1, d0), weights),
      _mm256_mullo_epi16(_mm256_maddubs_epi16(_mm256_unpackhi_epi8(d3, d2), weights), hundred));
}

// `values` (16 positions) with the words at the set bits of `negative` negated.
VARNEL_AVX2_INLINE __m256i negate_where(__m256i values, uint32_t negative) {
  const __m256i bits = _mm256_setr_epi16(1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096,
                                         8192, 16384, static_cast<short>(0x8000));
  const __m256i flags = _mm256_set1_epi16(static_cast<short>(negative));
  const __m256i mask = _mm256_cmpeq_epi16(_mm256_and_si256(flags, bits), bits);
  return _mm256_sub_epi16(_mm256_xor_si256(values, mask), mask);
}

// Writes the words of `values` (16 positions) at the set bits of `ends` as 32-bit values, in
// order, from `out`: 8 values at each of two offsets, so `out` needs room for popcount(ends) + 8.
VARNEL_AVX2_INLINE void store_ends(int32_t* out, __m256i values, uint32_t ends) {
  const unsigned low = ends & 0xff, high = (ends >> 8) & 0xff;
  const __m128i packed_low =
      _mm_shuffle_epi8(_mm256_castsi256_si128(values),
                       _mm_load_si128(reinterpret_cast<const __m128i*>(word_packs[low].data())));
  const __m128i packed_high =
      _mm_shuffle_epi8(_mm256_extracti128_si256(values, 1),
                       _mm_load_si128(reinterpret_cast<const __m128i*>(word_packs[high].data())));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepi16_epi32(packed_low));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + std::popcount(low)),
                      _mm256_cvtepi16_epi32(packed_high));
}

}  // namespace

VARNEL_AVX2 size_t parse_avx2(const char*& pos, const char* end, int32_t* out, size_t capacity,
                              kernel_stop& stop) {
  const char* p = pos;
  size_t n = 0;
  int32_t spill[32 + 8];
  // Hot loop: one 64-byte window per iteration, every number of up to four digits in it.
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
    // The carry of adding a run's first bit to the run lands just past its last digit.
    const uint64_t negative_ends = ((masks.digit + plan.negative_starts) & ~masks.digit) >> 1;
    __m256i values[4];
    position_values(p, values[0], values[1]);
    position_values(p + 32, values[2], values[3]);
    const size_t complete = static_cast<size_t>(std::popcount(plan.ends));
    int32_t* target = capacity - n >= complete + 8 ? out + n : spill;
    for (int q = 0; q < 4; ++q) {
      // Each quarter's offset from its own popcount: the stores do not wait for each other.
      const uint64_t before = q == 0 ? 0 : plan.ends & ((uint64_t{1} << (16 * q)) - 1);
      store_ends(target + std::popcount(before),
                 negate_where(values[q], static_cast<uint32_t>(negative_ends >> (16 * q))),
                 static_cast<uint32_t>(plan.ends >> (16 * q)) & 0xffff);
    }
    if (complete <= capacity - n) {
      if (target == spill) std::copy_n(spill, complete, out + n);
      n += complete;
      p += past_highest_bit(plan.ends);
      continue;
    }
    // Near the end of `out`: take as many as fit; the next window starts after the last taken.
    const size_t count = capacity - n;
    std::copy_n(spill, count, out + n);
    n += count;
    uint64_t rest = plan.ends;
    for (size_t k = 1; k < count; ++k) rest &= rest - 1;
    p += std::countr_zero(rest) + 1;
  }
  stop = kernel_stop::capacity;
  pos = p;
  return n;
}

}  // namespace value_kernels

#endif
