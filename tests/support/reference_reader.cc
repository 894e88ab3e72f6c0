#include "support/reference_reader.h"

#include <climits>
#include <locale>
#include <sstream>
#include <string>

#include "reconstruction/parallel_reader.h"

read_result reference_read(std::string_view text) {
  std::istringstream in{std::string(text)};
  in.imbue(std::locale::classic());
  read_result result;
  for (;;) {
    // A failed extraction tells its cause by what it stored: nothing when only whitespace was
    // left, 0 for text that is not a number, the nearest limit for a number out of range.
    constexpr int untouched = 12345;
    int value = untouched;
    in >> value;
    if (!in.fail()) {
      result.values.push_back(value);
      if (in.eof()) {
        result.outcome = read_outcome::end_of_input;
        return result;
      }
      continue;
    }
    if (value == untouched)
      result.outcome = read_outcome::end_of_input;
    else if (value == INT_MAX || value == INT_MIN)
      result.outcome = read_outcome::out_of_range;
    else
      result.outcome = read_outcome::not_a_number;
    return result;
  }
}

checked_read read_all(byte_source& source, parse_path path, size_t capacity) {
  value_reader reader(source, path);
  checked_read r;
  std::vector<int32_t> buffer(capacity);
  while (reader.outcome() == read_outcome::more) {
    size_t n = reader.read(buffer.data(), capacity);
    r.result.values.insert(r.result.values.end(), buffer.begin(), buffer.begin() + n);
    if (n < capacity && reader.outcome() == read_outcome::more) r.contract_kept = false;
  }
  if (reader.read(buffer.data(), capacity) != 0) r.contract_kept = false;
  if (reader.values_read() != r.result.values.size()) r.contract_kept = false;
  r.result.outcome = reader.outcome();
  return r;
}

checked_read read_all_in_chunks(byte_source& source, parse_path path, size_t chunk_size) {
  parallel_value_reader reader(source, path, chunk_size);
  checked_read r;
  const int32_t* values = nullptr;
  while (size_t n = reader.next(values))
    r.result.values.insert(r.result.values.end(), values, values + n);
  r.result.outcome = reader.outcome();
  if (reader.next(values) != 0) r.contract_kept = false;
  if (reader.values_read() != r.result.values.size()) r.contract_kept = false;
  return r;
}
