#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "reconstruction/byte_source.h"

/// Why a value_reader stopped handing out values.
enum class read_outcome {
  more,          ///< not stopped: further values may follow
  end_of_input,  ///< the input ended, after whitespace or right after a number's last digit
  not_a_number,  ///< text that does not start a number ("abc", "-", "--1", a NUL byte)
  out_of_range,  ///< a number beyond the signed 32-bit range
  read_error,    ///< the source reported an I/O error
};

/// Extracts whitespace-separated signed decimal integers from a byte source, front to back, in
/// fixed-size chunks. A value is what `std::istream >> int` in the C locale extracts: the six
/// whitespace characters are skipped, then an optional sign and at least one digit are taken.
/// The reader stops at the end of the input, at text that is not a number and at a number outside
/// the signed 32-bit range; a number whose digits run to the end of the input is handed out.
class value_reader {
 public:
  /// Reads from `source`, which must outlive the reader.
  explicit value_reader(byte_source& source);
  ~value_reader();
  value_reader(const value_reader&) = delete;
  value_reader& operator=(const value_reader&) = delete;

  /// Extracts up to `capacity` values into `out`, in input order; returns how many. It returns
  /// fewer than `capacity` only once the reader has stopped; outcome() then says why.
  size_t read(int32_t* out, size_t capacity);
  /// read_outcome::more until the reader has stopped.
  read_outcome outcome() const { return outcome_; }
  /// The number of values handed out so far.
  uint64_t values_read() const { return values_read_; }

 private:
  bool refill();
  size_t parse(int32_t* out, size_t capacity);

  byte_source& source_;
  std::unique_ptr<char[]> buffer_;
  const char* pos_ = nullptr;
  const char* end_ = nullptr;
  read_outcome outcome_ = read_outcome::more;
  uint64_t values_read_ = 0;
  // A number that a chunk boundary cut: its sign, digits so far and whether it overflowed.
  enum class token_state { none, sign, digits } token_ = token_state::none;
  bool negative_ = false;
  uint64_t magnitude_ = 0;
};
