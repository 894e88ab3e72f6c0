#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

#include "campaign/judge/channel_quantities.h"
#include "campaign/judge/robust_rule.h"
#include "common/spill_file.h"

/// Every quantity's values of one recording's channels: quantity_count x channel_count numbers.
using quantity_rows = std::array<channel_row, quantity_count>;

/// The values of a population's recordings, one quantity_rows each, kept on a spill_file rather
/// than in memory, and read back one quantity at a time: what a population's statistics are made
/// of when they must not hold its values, 2.6 kB a recording. The file is written in blocks of
/// block_rows recordings, quantity by quantity within a block, so that one quantity is read in
/// pieces of block_rows rows. Where no file can be made or written (no space left), the rest is
/// held in memory: the same values either way.
class spilled_values {
 public:
  /// Recordings in a block: 655 kB of values written at once, 64 kB read at once.
  static constexpr size_t block_rows = 256;

  /// Adds the values of one more recording.
  void push(const quantity_rows& values);
  /// Adds the recordings of `other` after these; `other` is empty afterwards.
  void append(spilled_values&& other);
  /// The recordings added.
  size_t size() const { return rows_; }
  /// Hands `visit` quantity `q`'s row of each recording `i` with `keep[i]`, in the order they
  /// were added. Throws std::runtime_error when the file cannot be read back.
  void each_row(size_t q, const std::vector<bool>& keep,
                const std::function<void(const channel_row&)>& visit) const;

 private:
  // One file's blocks and the recordings after them held in memory.
  struct part {
    spill_file file;
    size_t blocks = 0;                // whole blocks on file
    std::vector<quantity_rows> held;  // after them
  };
  // Writes the last part's held rows to its file once they make a block.
  void spill_block(part& p);

  std::vector<part> parts_;
  size_t rows_ = 0;
};
