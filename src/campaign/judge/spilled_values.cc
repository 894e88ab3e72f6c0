#include "campaign/judge/spilled_values.h"

#include <stdexcept>

namespace {
constexpr size_t row_bytes = sizeof(channel_row);
constexpr size_t quantity_bytes = spilled_values::block_rows * row_bytes;
constexpr size_t block_bytes = quantity_count * quantity_bytes;
}  // namespace

void spilled_values::push(const quantity_rows& values) {
  if (parts_.empty()) parts_.emplace_back();
  part& p = parts_.back();
  p.held.push_back(values);
  ++rows_;
  if (p.held.size() == block_rows && p.file.usable()) spill_block(p);
}

void spilled_values::spill_block(part& p) {
  // Quantity by quantity: the block's rows of quantity 0, then of quantity 1, and so on.
  std::vector<channel_row> block(quantity_count * block_rows);
  for (size_t r = 0; r < block_rows; ++r)
    for (size_t q = 0; q < quantity_count; ++q) block[q * block_rows + r] = p.held[r][q];
  // When the block cannot be written it stays held, and so do the rows after it.
  if (!p.file.append(block.data(), block_bytes)) return;
  ++p.blocks;
  p.held.clear();
}

void spilled_values::append(spilled_values&& other) {
  for (part& p : other.parts_) parts_.push_back(std::move(p));
  rows_ += other.rows_;
  other.parts_.clear();
  other.rows_ = 0;
}

void spilled_values::each_row(size_t q, const std::vector<bool>& keep,
                              const std::function<void(const channel_row&)>& visit) const {
  std::vector<channel_row> piece(block_rows);
  size_t i = 0;
  for (const part& p : parts_) {
    for (size_t b = 0; b < p.blocks; ++b) {
      if (!p.file.read(b * block_bytes + q * quantity_bytes, piece.data(), quantity_bytes))
        throw std::runtime_error("cannot read back its scratch file in TMPDIR");
      for (const channel_row& row : piece)
        if (keep[i++]) visit(row);
    }
    for (const quantity_rows& held : p.held)
      if (keep[i++]) visit(held[q]);
  }
}
