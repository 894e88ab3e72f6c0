#include "reconstruction/value_kernels.h"

#if defined(__x86_64__)

#include <immintrin.h>

// GCC 12 takes the unmasked intrinsics' undefined pass-through operand for an uninitialised value
// (GCC bug 105593).
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define VARNEL_AVX512 \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512cd,avx512vbmi,bmi,bmi2,popcnt,lzcnt")))

namespace value_kernels {
namespace {

VARNEL_AVX512 [[gnu::always_inline]] inline window_masks classify(__m512i bytes, __mmask64& digit) {
  digit =
      _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8('0')), _mm512_set1_epi8(9));
  const __mmask64 space =
      _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8(' ')) |
      _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8('\t')), _mm512_set1_epi8(4));
  return {_cvtmask64_u64(digit), _cvtmask64_u64(space),
          _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('-'))),
          _cvtmask64_u64(_mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('+')))};
}

// Converts up to 16 numbers of one to four digits whose last digits are at the byte positions in
// `low`/`high` (see bit_positions16) of the window `bytes`, one per 32-bit lane.
VARNEL_AVX512 [[gnu::always_inline]] inline __m512i convert16(__m512i bytes, __mmask64 digit,
                                                              uint64_t low, uint64_t high) {
  // Each lane gathers the four bytes that end at its number's last digit, most significant first;
  // bytes before the window read as zero, a harmless leading digit.
  const __m512i lane_of_byte =
      _mm512_set_epi32(0x0f0f0f0f, 0x0e0e0e0e, 0x0d0d0d0d, 0x0c0c0c0c, 0x0b0b0b0b, 0x0a0a0a0a,
                       0x09090909, 0x08080808, 0x07070707, 0x06060606, 0x05050505, 0x04040404,
                       0x03030303, 0x02020202, 0x01010101, 0x00000000);
  const __m512i last = _mm512_permutexvar_epi8(
      lane_of_byte, _mm512_zextsi128_si512(
                        _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low))));
  const __m512i index = _mm512_add_epi8(last, _mm512_set1_epi32(0x00fffefd));  // -3, -2, -1, 0
  const __mmask64 inside = _mm512_cmpge_epi8_mask(index, _mm512_setzero_si512());
  // Digits become their values, everything else 0x80.
  const __m512i values = _mm512_mask_blend_epi8(digit, _mm512_set1_epi8(static_cast<char>(0x80)),
                                                _mm512_sub_epi8(bytes, _mm512_set1_epi8('0')));
  __m512i lanes = _mm512_maskz_permutexvar_epi8(inside, index, values);
  // Clear the bytes up to the last non-digit in each lane: they belong to the delimiter or to the
  // number before.
  const __m512i marks = _mm512_and_si512(lanes, _mm512_set1_epi32(static_cast<int>(0x80808080)));
  const __m512i shift = _mm512_sub_epi32(_mm512_set1_epi32(32), _mm512_lzcnt_epi32(marks));
  lanes = _mm512_and_si512(lanes, _mm512_sllv_epi32(_mm512_set1_epi32(-1), shift));
  const __m512i pairs = _mm512_maddubs_epi16(lanes, _mm512_set1_epi16(0x010a));  // 10, 1
  return _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00010064));                // 100, 1
}

}  // namespace

VARNEL_AVX512 size_t parse_avx512(const char*& pos, const char* end, int32_t* out, size_t capacity,
                                  kernel_stop& stop) {
  const char* p = pos;
  size_t n = 0;
  // Hot loop: one 64-byte window per iteration, up to 16 values.
  while (n < capacity) {
    const size_t available = static_cast<size_t>(end - p);
    if (available == 0) {
      stop = kernel_stop::boundary;
      pos = p;
      return n;
    }
    const unsigned valid = available < 64 ? static_cast<unsigned>(available) : 64;
    const __m512i bytes = _mm512_loadu_si512(p);
    __mmask64 digit;
    const window_masks masks = classify(bytes, digit);
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
    const unsigned count = static_cast<unsigned>(
        std::min<size_t>({static_cast<size_t>(std::popcount(plan.ends)), 16, capacity - n}));
    uint64_t low, high;
    bit_positions16(plan.ends, low, high);
    __m512i values = convert16(bytes, digit, low, high);
    const __mmask16 negative = static_cast<__mmask16>(_pext_u64(plan.negative_starts, plan.starts));
    values = _mm512_mask_sub_epi32(values, negative, _mm512_setzero_si512(), values);
    _mm512_mask_storeu_epi32(out + n, static_cast<__mmask16>((1u << count) - 1), values);
    n += count;
    p += position_at(low, high, count - 1) + 1;
  }
  stop = kernel_stop::capacity;
  pos = p;
  return n;
}

}  // namespace value_kernels

#endif
