// Compares value_reader on every available parse path with the std::istream reference, on any
// bytes served in any pieces, read into its buffer or parsed in chunks on two threads, and aborts
// on the first difference.
//
// Input: two bytes of piece sizes (0 means "whatever is asked for"), one byte for the values per
// read() call, then the text.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "reconstruction/byte_source.h"
#include "reconstruction/value_reader.h"
#include "support/reference_reader.h"

namespace {

// Serves a text in pieces whose sizes cycle through `pieces`.
class piecewise_source : public byte_source {
 public:
  piecewise_source(std::string_view text, const uint8_t* pieces, size_t count)
      : text_(text), pieces_(pieces), count_(count) {}
  long read(char* buffer, size_t size) override {
    size_t piece = pieces_[next_++ % count_];
    size_t n = std::min({size, piece == 0 ? size : piece, text_.size() - offset_});
    std::copy_n(text_.data() + offset_, n, buffer);
    offset_ += n;
    return static_cast<long>(n);
  }

 private:
  std::string_view text_;
  const uint8_t* pieces_;
  size_t count_;
  size_t next_ = 0;
  size_t offset_ = 0;
};

[[noreturn]] void report(parse_path path, const read_result& got, const read_result& expected) {
  std::fprintf(stderr, "%s: outcome %d (expected %d), %zu values (expected %zu)\n",
               parse_path_name(path), static_cast<int>(got.outcome),
               static_cast<int>(expected.outcome), got.values.size(), expected.values.size());
  for (size_t i = 0; i < std::min(got.values.size(), expected.values.size()); ++i)
    if (got.values[i] != expected.values[i]) {
      std::fprintf(stderr, "value %zu: %d (expected %d)\n", i, got.values[i], expected.values[i]);
      break;
    }
  std::abort();
}

void check(const checked_read& got, parse_path path, const read_result& expected) {
  if (!got.contract_kept || got.result.outcome != expected.outcome ||
      got.result.values != expected.values)
    report(path, got.result, expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const size_t capacity = 1 + data[2] % 40;
  const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);
  const read_result expected = reference_read(text);
  const parse_path paths[] = {parse_path::scalar, parse_path::avx2, parse_path::avx512};
  for (parse_path path : paths) {
    if (!parse_path_available(path)) continue;
    piecewise_source source(text, data, 2);
    check(read_all(source, path, capacity), path, expected);
  }
  // The text in chunks of 1 to 256 bytes parsed on two threads, on one path per input: a thread
  // costs more than the rest of the input under the sanitizers.
  const parse_path chunked_path = paths[data[1] % 3];
  if (parse_path_available(chunked_path)) {
    memory_source by_offset(text, 1 + data[0]);
    check(read_all_in_chunks(by_offset, chunked_path, 1 + data[2]), chunked_path, expected);
  }
  return 0;
}
