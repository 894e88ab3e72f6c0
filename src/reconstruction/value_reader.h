#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/huge_page_buffer.h"
#include "reconstruction/byte_source.h"

namespace value_kernels {
/// Why a parsing loop returned (see value_kernels.h).
enum class kernel_stop;
}  // namespace value_kernels

/// Why a value_reader stopped handing out values.
enum class read_outcome {
  more,          ///< not stopped: further values may follow
  end_of_input,  ///< the input ended, after whitespace or right after a number's last digit
  not_a_number,  ///< text that does not start a number ("abc", "-", "--1", a NUL byte)
  out_of_range,  ///< a number beyond the signed 32-bit range
  read_error,    ///< the source reported an I/O error
};

/// A stable name for storage: "more", "end_of_input", "not_a_number", "out_of_range",
/// "read_error".
const char* read_outcome_name(read_outcome o);

/// The outcome whose read_outcome_name() is `name`; end_of_input for any other text (a reading
/// that ended as nothing said otherwise).
read_outcome read_outcome_named(std::string_view name);

/// The instruction set a value_reader parses with; every path hands out the same values.
enum class parse_path {
  scalar,  ///< portable C++, any processor
  avx2,    ///< x86-64 with AVX2 and BMI1
  avx512,  ///< x86-64 with AVX-512 F, BW and VBMI, and BMI2
};

/// True when this processor (and build) can run `path`.
bool parse_path_available(parse_path path);
/// The fastest path this processor can run.
parse_path best_parse_path();
/// "scalar", "avx2" or "avx512".
const char* parse_path_name(parse_path path);

/// Extracts whitespace-separated signed decimal integers from a byte source, front to back, in
/// the pieces that the source lends or else in fixed-size chunks read into its own buffer. A value
/// is what `std::istream >> int` in the C locale extracts: the six whitespace characters are
/// skipped, then an optional sign and at least one digit are taken. The reader stops at the end of
/// the input, at text that is not a number and at a number outside the signed 32-bit range; a
/// number whose digits run to the end of the input is handed out.
class value_reader {
 public:
  /// Bytes requested from the source per read.
  static constexpr size_t chunk_size = size_t{1} << 20;

  /// Reads from `source`, which must outlive the reader, with `path`; throws
  /// std::invalid_argument when this processor cannot run `path`.
  explicit value_reader(byte_source& source, parse_path path = best_parse_path());
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
  /// The path this reader parses with.
  parse_path path() const { return path_; }

 private:
  /// Takes the next lent piece or reads the next chunk; false at the end of the input or on an
  /// error (outcome_ says which).
  bool refill();
  /// Feeds the buffered bytes to a token that a chunk boundary cut; returns the values handed out.
  size_t continue_token(int32_t* out);
  /// Settles a cut token when the input has ended; returns the values handed out.
  size_t finish_input(int32_t* out);
  /// Hands out the cut number once its digits have ended, or stops when it is out of range.
  size_t finish_number(int32_t* out);

  byte_source& source_;
  parse_path path_;
  size_t (*kernel_)(const char*& pos, const char* end, int32_t* out, size_t capacity,
                    value_kernels::kernel_stop& stop);
  std::optional<huge_page_buffer> storage_;
  const char* pos_ = nullptr;
  const char* end_ = nullptr;
  read_outcome outcome_ = read_outcome::more;
  uint64_t values_read_ = 0;
  // A number that a chunk boundary cut: its sign, digits so far and whether it overflowed.
  enum class token_state { none, sign, digits } token_ = token_state::none;
  bool negative_ = false;
  uint64_t magnitude_ = 0;
};
