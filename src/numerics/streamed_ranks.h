#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// Order statistics of numbers that are seen again in each of a few passes instead of held: a
// radix selection. Each pass looks at one more digit of the numbers' order-preserving 64-bit
// keys and counts, in a histogram, the numbers that agree with the digits found so far; the
// bucket holding the wanted rank is the next digit. After ceil(64 / digit_bits) passes the whole
// key, and so the number, is known: exactly the value a sort would put at that rank, with equal
// values counted one by one. The memory is one histogram per selection, whatever the count.

/// Several selections at once, each of one rank among the numbers offered to it.
class streamed_ranks {
 public:
  /// `selections` selections, reading digits of `digit_bits` bits (1 to 16) per pass.
  streamed_ranks(size_t selections, unsigned digit_bits);

  /// Offers `x`, which must not be NaN, to selection `s` in this pass. A zero of either sign is
  /// taken as +0, as the two compare equal.
  void see(size_t s, double x) {
    selection& sel = selections_[s];
    const uint64_t k = key_of(x);
    if (pass_ > 0 && (k >> (shift_ + width_)) != sel.prefix) return;
    ++histogram_[s * bins_ + ((k >> shift_) & mask_)];
  }
  /// How many numbers selection `s` was offered in the first pass, once it is over (before its
  /// end_pass() too).
  uint64_t count(size_t s) const;
  /// Sets the 0-based rank that selection `s` looks for, after the numbers of the first pass and
  /// before its end_pass(); none, or a rank not below count(s), makes its value NaN, and so does
  /// a selection never given one.
  void look_for(size_t s, std::optional<uint64_t> rank);
  /// Ends a pass; true while another pass is needed.
  bool end_pass();
  /// The number at selection `s`'s rank once no pass is needed; NaN without one.
  double value(size_t s) const;

 private:
  struct selection {
    uint64_t count = 0;   // numbers offered in the first pass, once it is over
    uint64_t rank = 0;    // the rank left among the numbers that agree with prefix
    uint64_t prefix = 0;  // the digits found so far
    bool wanted = false;
  };
  // The order-preserving key of `x`: the sign bit set for a positive number, every bit flipped
  // for a negative one, so that unsigned order is numeric order.
  static uint64_t key_of(double x);
  static double number_of(uint64_t key);
  // Sets shift_ and width_ for pass `pass_`: the digit's lowest bit and its width.
  void place_digit();

  unsigned digit_bits_;
  uint64_t bins_;
  unsigned pass_ = 0, shift_ = 0, width_ = 0;
  uint64_t mask_ = 0;  // the digit's bits, once shifted down
  std::vector<selection> selections_;
  std::vector<uint64_t> histogram_;  // bins_ per selection
};
