#include "numerics/streamed_ranks.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace {
constexpr uint64_t sign_bit = uint64_t{1} << 63;
}  // namespace

streamed_ranks::streamed_ranks(size_t selections, unsigned digit_bits)
    : digit_bits_(std::clamp(digit_bits, 1u, 16u)),
      bins_(uint64_t{1} << digit_bits_),
      selections_(selections),
      histogram_(selections * bins_) {
  place_digit();
}

uint64_t streamed_ranks::key_of(double x) {
  const uint64_t bits = std::bit_cast<uint64_t>(x == 0.0 ? 0.0 : x);
  return bits & sign_bit ? ~bits : bits | sign_bit;
}

double streamed_ranks::number_of(uint64_t key) {
  return std::bit_cast<double>(key & sign_bit ? key & ~sign_bit : ~key);
}

void streamed_ranks::place_digit() {
  // The digits from the top: the last may be narrower when 64 is not a multiple of the width.
  const unsigned done = pass_ * digit_bits_;
  width_ = std::min(digit_bits_, 64 - done);
  shift_ = 64 - done - width_;
  mask_ = (uint64_t{1} << width_) - 1;
}

uint64_t streamed_ranks::count(size_t s) const {
  if (pass_ > 0) return selections_[s].count;
  const uint64_t* bins = histogram_.data() + s * bins_;
  uint64_t n = 0;
  for (uint64_t b = 0; b < bins_; ++b) n += bins[b];
  return n;
}

void streamed_ranks::look_for(size_t s, std::optional<uint64_t> rank) {
  selection& sel = selections_[s];
  sel.wanted = rank && *rank < count(s);
  sel.rank = sel.wanted ? *rank : 0;
}

bool streamed_ranks::end_pass() {
  for (size_t s = 0; s < selections_.size(); ++s) {
    selection& sel = selections_[s];
    uint64_t* bins = histogram_.data() + s * bins_;
    if (pass_ == 0) sel.count = count(s);
    if (sel.wanted) {
      // The bucket that holds the rank; the rank left is counted from its start.
      uint64_t b = 0;
      while (b + 1 < bins_ && sel.rank >= bins[b]) sel.rank -= bins[b++];
      sel.prefix = (sel.prefix << width_) | b;
    }
    std::fill(bins, bins + bins_, 0);
  }
  ++pass_;
  if (pass_ * digit_bits_ >= 64) return false;
  place_digit();
  return true;
}

double streamed_ranks::value(size_t s) const {
  const selection& sel = selections_[s];
  return sel.wanted ? number_of(sel.prefix) : std::numeric_limits<double>::quiet_NaN();
}
