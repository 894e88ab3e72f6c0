#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/huge_page_buffer.h"
#include "numerics/bin_accumulator.h"
#include "reconstruction/recording_format.h"
#include "reconstruction/value_reader.h"

/// The bin that window position `p` (0 <= p < bins_per_channel) goes to: ordered by position in
/// the pulse window first and by delay step second.
inline int bin_of_position(int p, int used_steps) {
  return (p % samples_per_step) * used_steps + p / samples_per_step;
}

/// The 64-bit lanes in which one bin sums the rows of small values, one lane per channel.
struct alignas(64) bin_lanes {
  int64_t sum[channel_count];
  uint64_t squares[channel_count];
};

/// The 32-bit lanes in which one bin sums the rows of narrow values, one lane per channel; they
/// are emptied into the bin's 64-bit lanes before their sums of squares could overflow.
struct alignas(64) narrow_lanes {
  int32_t sum[channel_count];
  uint32_t squares[channel_count];
};

/// The lanes of every bin and the rows that went into them.
struct lane_set {
  bin_lanes* wide;        ///< [bin]
  narrow_lanes* narrow;   ///< [bin]
  uint64_t* rows;         ///< [bin] rows in the bin's lanes, 64-bit and 32-bit ones together
  uint32_t* narrow_rows;  ///< [bin] rows in the bin's 32-bit lanes, fewer than narrow_capacity
};

/// The samples of every channel, bin by bin, as exact sums. A row whose values all lie within
/// +-small_value_limit is added to its bin's 64-bit lanes, all channels at once, or, on
/// AVX2 and AVX-512 machines and within +-narrow_value_limit, to its 32-bit lanes, which
/// take half the memory traffic; the lanes are folded into the exact sums before these are read
/// and before they could overflow. Every instruction set gives the same sums.
class bin_table {
 public:
  /// The largest magnitude a value of a lane row may have; its square is below 2^32.
  static constexpr int32_t small_value_limit = 65535;
  /// Rows a bin's lanes take at most between folds: their sum of squares stays below 2^64.
  static constexpr uint64_t lane_capacity = uint64_t{1} << 32;
  /// The largest magnitude a value of a narrow row may have.
  static constexpr int32_t narrow_value_limit = 4095;
  /// Rows a bin's 32-bit lanes take before they are emptied: 256 squares of 4095 stay below 2^32.
  static constexpr uint32_t narrow_capacity = 256;

  /// `bins_per_channel` empty bins for each of the channels, summed with the instruction set of
  /// `path` (std::invalid_argument when this processor cannot run it); the lanes are folded at
  /// the latest after `fold_after` (1 to lane_capacity) rows have gone into them.
  explicit bin_table(int bins_per_channel, parse_path path = best_parse_path(),
                     uint64_t fold_after = lane_capacity);
  /// Bins per channel.
  int bins() const { return bins_; }
  /// The exact sums of one channel's bin, lanes folded in.
  const bin_accumulator& at(int channel, int bin) const;
  /// Adds `count` consecutive rows (channel_count values each) of an event, the first at window
  /// position `position`, to the bins of their positions; the positions must be bins.
  void add_rows(const int32_t* rows, size_t count, int position, int used_steps);

  /// The lane adder of one instruction set: adds rows from the first on, the row at `position`
  /// to bin bin_of_position(position, used_steps), until `count` rows are added or a row holds a
  /// value beyond small_value_limit; returns the rows added.
  using lane_adder = size_t (*)(const int32_t* rows, size_t count, int position, int used_steps,
                                const lane_set& lanes);

 private:
  /// Moves every lane into the exact sums and clears it.
  void fold() const;

  int bins_;
  lane_adder add_lanes_;
  uint64_t fold_after_;
  // The lanes and the exact sums in one mapping: a new table's pages are then touched at the
  // cost of one fault, not of one for each 4 KiB.
  huge_page_buffer memory_;
  bin_lanes* wide_;                            // [bin], in memory_
  narrow_lanes* narrow_;                       // [bin], in memory_
  bin_accumulator* cells_;                     // [bin][channel], in memory_
  mutable std::vector<uint64_t> lane_rows_;    // rows in each bin's lanes
  mutable std::vector<uint32_t> narrow_rows_;  // rows in each bin's 32-bit lanes
  mutable uint64_t unfolded_ = 0;              // rows in all lanes; each bin has at most these
};
