#include "reconstruction/bin_table.h"

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>

#if defined(__x86_64__)
#include <immintrin.h>
// GCC 12 takes the unmasked intrinsics' undefined pass-through operand for an uninitialised value
// (GCC bug 105593).
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif

namespace {

// True when every value of the row lies within +-small_value_limit.
bool is_small_row(const int32_t* row) {
  uint32_t outside = 0;
  for (int ch = 0; ch < channel_count; ++ch)
    outside |= static_cast<uint32_t>(row[ch]) + uint32_t{bin_table::small_value_limit} >
               2u * bin_table::small_value_limit;
  return outside == 0;
}

// Moves a bin's 32-bit lanes into its 64-bit lanes and clears them.
void empty_narrow(narrow_lanes& from, bin_lanes& to) {
  for (int ch = 0; ch < channel_count; ++ch) {
    to.sum[ch] += from.sum[ch];
    to.squares[ch] += from.squares[ch];
  }
  from = narrow_lanes{};
}

// Counts a row added to the 32-bit lanes of `bin`, and empties them once they are full.
inline void count_narrow_row(const lane_set& lanes, int bin) {
  ++lanes.rows[bin];
  if (++lanes.narrow_rows[bin] == bin_table::narrow_capacity) {
    empty_narrow(lanes.narrow[bin], lanes.wide[bin]);
    lanes.narrow_rows[bin] = 0;
  }
}

size_t add_lanes_portable(const int32_t* rows, size_t count, int position, int used_steps,
                          const lane_set& lanes) {
  for (size_t r = 0; r < count; ++r) {
    const int32_t* row = rows + r * channel_count;
    if (!is_small_row(row)) return r;
    const int bin = bin_of_position(position + static_cast<int>(r), used_steps);
    bin_lanes& lane = lanes.wide[bin];
    ++lanes.rows[bin];
    for (int ch = 0; ch < channel_count; ++ch) {
      const int64_t v = row[ch];
      lane.sum[ch] += v;
      lane.squares[ch] += static_cast<uint64_t>(v * v);
    }
  }
  return count;
}

#if defined(__x86_64__)

#define VARNEL_AVX2 __attribute__((target("avx2")))
#define VARNEL_AVX512 __attribute__((target("avx512f")))

// Adds 8 values, widened to 64 bits, and their squares to lanes `offset`..`offset` + 7.
VARNEL_AVX512 inline void add8_avx512(__m256i values, bin_lanes& lane, int offset) {
  const __m512i v = _mm512_cvtepi32_epi64(values);
  __m512i* sum = reinterpret_cast<__m512i*>(lane.sum + offset);
  __m512i* squares = reinterpret_cast<__m512i*>(lane.squares + offset);
  _mm512_store_si512(sum, _mm512_add_epi64(_mm512_load_si512(sum), v));
  _mm512_store_si512(squares, _mm512_add_epi64(_mm512_load_si512(squares), _mm512_mul_epi32(v, v)));
}

// Adds 16 values and their squares to the 32-bit lanes `offset`..`offset` + 15.
VARNEL_AVX512 inline void add16_narrow_avx512(__m512i values, narrow_lanes& lane, int offset) {
  __m512i* sum = reinterpret_cast<__m512i*>(lane.sum + offset);
  __m512i* squares = reinterpret_cast<__m512i*>(lane.squares + offset);
  _mm512_store_si512(sum, _mm512_add_epi32(_mm512_load_si512(sum), values));
  _mm512_store_si512(
      squares, _mm512_add_epi32(_mm512_load_si512(squares), _mm512_mullo_epi32(values, values)));
}

// Hot loop of the run on AVX-512 machines: one row per iteration. A row of narrow values, the
// usual kind, goes to the bin's 32-bit lanes, which are emptied into its 64-bit lanes every
// narrow_capacity rows.
VARNEL_AVX512 size_t add_lanes_avx512(const int32_t* rows, size_t count, int position,
                                      int used_steps, const lane_set& lanes) {
  const __m512i bias = _mm512_set1_epi32(bin_table::small_value_limit);
  const __m512i span = _mm512_set1_epi32(2 * bin_table::small_value_limit);
  const __m512i narrow_bias = _mm512_set1_epi32(bin_table::narrow_value_limit);
  const __m512i narrow_span = _mm512_set1_epi32(2 * bin_table::narrow_value_limit);
  for (size_t r = 0; r < count; ++r) {
    const int32_t* row = rows + r * channel_count;
    const __m512i low = _mm512_loadu_si512(row);
    const __m512i high = _mm512_loadu_si512(row + 16);
    const int bin = bin_of_position(position + static_cast<int>(r), used_steps);
    if ((_mm512_cmpgt_epu32_mask(_mm512_add_epi32(low, narrow_bias), narrow_span) |
         _mm512_cmpgt_epu32_mask(_mm512_add_epi32(high, narrow_bias), narrow_span)) == 0) {
      add16_narrow_avx512(low, lanes.narrow[bin], 0);
      add16_narrow_avx512(high, lanes.narrow[bin], 16);
      count_narrow_row(lanes, bin);
      continue;
    }
    if (_mm512_cmpgt_epu32_mask(_mm512_add_epi32(low, bias), span) |
        _mm512_cmpgt_epu32_mask(_mm512_add_epi32(high, bias), span))
      return r;
    bin_lanes& lane = lanes.wide[bin];
    ++lanes.rows[bin];
    add8_avx512(_mm512_castsi512_si256(low), lane, 0);
    add8_avx512(_mm512_extracti64x4_epi64(low, 1), lane, 8);
    add8_avx512(_mm512_castsi512_si256(high), lane, 16);
    add8_avx512(_mm512_extracti64x4_epi64(high, 1), lane, 24);
  }
  return count;
}

// Adds 4 values, widened to 64 bits, and their squares to lanes `offset`..`offset` + 3.
VARNEL_AVX2 inline void add4_avx2(__m128i values, bin_lanes& lane, int offset) {
  const __m256i v = _mm256_cvtepi32_epi64(values);
  __m256i* sum = reinterpret_cast<__m256i*>(lane.sum + offset);
  __m256i* squares = reinterpret_cast<__m256i*>(lane.squares + offset);
  _mm256_store_si256(sum, _mm256_add_epi64(_mm256_load_si256(sum), v));
  _mm256_store_si256(squares, _mm256_add_epi64(_mm256_load_si256(squares), _mm256_mul_epi32(v, v)));
}

// Adds 8 values and their squares to the 32-bit lanes `offset`..`offset` + 7.
VARNEL_AVX2 inline void add8_narrow_avx2(__m256i values, narrow_lanes& lane, int offset) {
  __m256i* sum = reinterpret_cast<__m256i*>(lane.sum + offset);
  __m256i* squares = reinterpret_cast<__m256i*>(lane.squares + offset);
  _mm256_store_si256(sum, _mm256_add_epi32(_mm256_load_si256(sum), values));
  _mm256_store_si256(
      squares, _mm256_add_epi32(_mm256_load_si256(squares), _mm256_mullo_epi32(values, values)));
}

// Set in each 32-bit element whose magnitude exceeds `limit` (INT_MIN included).
VARNEL_AVX2 inline __m256i outside_avx2(__m256i values, __m256i limit) {
  const __m256i magnitude = _mm256_abs_epi32(values);
  return _mm256_xor_si256(_mm256_cmpeq_epi32(_mm256_min_epu32(magnitude, limit), magnitude),
                          _mm256_set1_epi32(-1));
}

// Hot loop of the run on AVX2 machines: one row per iteration, narrow rows to the 32-bit lanes
// as on AVX-512.
VARNEL_AVX2 size_t add_lanes_avx2(const int32_t* rows, size_t count, int position, int used_steps,
                                  const lane_set& lanes) {
  const __m256i small_limit = _mm256_set1_epi32(bin_table::small_value_limit);
  const __m256i narrow_limit = _mm256_set1_epi32(bin_table::narrow_value_limit);
  for (size_t r = 0; r < count; ++r) {
    const int32_t* row = rows + r * channel_count;
    __m256i v[4];
    __m256i outside_narrow = _mm256_setzero_si256();
    for (int q = 0; q < 4; ++q) {
      v[q] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + 8 * q));
      outside_narrow = _mm256_or_si256(outside_narrow, outside_avx2(v[q], narrow_limit));
    }
    const int bin = bin_of_position(position + static_cast<int>(r), used_steps);
    if (_mm256_testz_si256(outside_narrow, outside_narrow)) {
      for (int q = 0; q < 4; ++q) add8_narrow_avx2(v[q], lanes.narrow[bin], 8 * q);
      count_narrow_row(lanes, bin);
      continue;
    }
    __m256i outside = _mm256_setzero_si256();
    for (int q = 0; q < 4; ++q) outside = _mm256_or_si256(outside, outside_avx2(v[q], small_limit));
    if (!_mm256_testz_si256(outside, outside)) return r;
    bin_lanes& lane = lanes.wide[bin];
    ++lanes.rows[bin];
    for (int q = 0; q < 4; ++q) {
      add4_avx2(_mm256_castsi256_si128(v[q]), lane, 8 * q);
      add4_avx2(_mm256_extracti128_si256(v[q], 1), lane, 8 * q + 4);
    }
  }
  return count;
}

#endif

bin_table::lane_adder lane_adder_for(parse_path path) {
  if (!parse_path_available(path))
    throw std::invalid_argument(std::string("instruction set not available: ") +
                                parse_path_name(path));
#if defined(__x86_64__)
  if (path == parse_path::avx512) return add_lanes_avx512;
  if (path == parse_path::avx2) return add_lanes_avx2;
#endif
  return add_lanes_portable;
}

}  // namespace

bin_table::bin_table(int bins_per_channel, parse_path path, uint64_t fold_after)
    : bins_(bins_per_channel),
      add_lanes_(lane_adder_for(path)),
      fold_after_(std::clamp<uint64_t>(fold_after, 1, lane_capacity)),
      memory_(static_cast<size_t>(bins_per_channel) *
              (sizeof(bin_lanes) + sizeof(narrow_lanes) + channel_count * sizeof(bin_accumulator))),
      wide_(reinterpret_cast<bin_lanes*>(memory_.data())),
      narrow_(reinterpret_cast<narrow_lanes*>(wide_ + bins_per_channel)),
      cells_(reinterpret_cast<bin_accumulator*>(narrow_ + bins_per_channel)),
      lane_rows_(static_cast<size_t>(bins_per_channel), 0),
      narrow_rows_(static_cast<size_t>(bins_per_channel), 0) {
  std::uninitialized_value_construct_n(wide_, bins_per_channel);
  std::uninitialized_value_construct_n(narrow_, bins_per_channel);
  std::uninitialized_value_construct_n(cells_,
                                       static_cast<size_t>(bins_per_channel) * channel_count);
}

const bin_accumulator& bin_table::at(int channel, int bin) const {
  if (unfolded_ != 0) fold();
  return cells_[static_cast<size_t>(bin) * channel_count + channel];
}

void bin_table::add_rows(const int32_t* rows, size_t count, int position, int used_steps) {
  while (count > 0) {
    // Each bin's lanes have taken at most `unfolded_` rows.
    size_t take = static_cast<size_t>(std::min<uint64_t>(count, fold_after_ - unfolded_));
    size_t added = add_lanes_(rows, take, position, used_steps,
                              {wide_, narrow_, lane_rows_.data(), narrow_rows_.data()});
    unfolded_ += added;
    rows += added * channel_count;
    position += static_cast<int>(added);
    count -= added;
    if (added < take) {
      // A row of large values goes straight to the exact sums.
      bin_accumulator* cell =
          &cells_[static_cast<size_t>(bin_of_position(position, used_steps)) * channel_count];
      for (int ch = 0; ch < channel_count; ++ch) cell[ch].add(rows[ch]);
      rows += channel_count;
      ++position;
      --count;
    }
    if (unfolded_ == fold_after_) fold();
  }
}

void bin_table::fold() const {
  for (int bin = 0; bin < bins_; ++bin) {
    bin_lanes& wide = wide_[bin];
    narrow_lanes& narrow = narrow_[bin];
    bin_accumulator* cell = &cells_[static_cast<size_t>(bin) * channel_count];
    for (int ch = 0; ch < channel_count; ++ch) {
      cell[ch].count += static_cast<int64_t>(lane_rows_[bin]);
      cell[ch].sum += wide.sum[ch] + narrow.sum[ch];
      cell[ch].sum_squares +=
          static_cast<__int128>(wide.squares[ch]) + static_cast<__int128>(narrow.squares[ch]);
    }
    wide = bin_lanes{};
    narrow = narrow_lanes{};
    lane_rows_[bin] = 0;
    narrow_rows_[bin] = 0;
  }
  unfolded_ = 0;
}
