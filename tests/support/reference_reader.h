#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "reconstruction/value_reader.h"

/// What a reader extracts from a whole text: its values and why it stopped.
struct read_result {
  std::vector<int32_t> values;                ///< in input order
  read_outcome outcome = read_outcome::more;  ///< never `more` once the text is read
};

/// Extracts `text` with `std::istream >> int` in the classic locale: the behaviour value_reader
/// must match.
read_result reference_read(std::string_view text);

/// What value_reader extracts from a whole source, and whether it kept its read() contract on
/// the way: no short read before it stopped, no value after, values_read() equal to the count.
struct checked_read {
  read_result result;
  bool contract_kept = true;
};

/// Reads all of `source` on `path` with `capacity` values per read() call.
checked_read read_all(byte_source& source, parse_path path, size_t capacity);

/// Reads all of the positional `source` on `path` in chunks of `chunk_size` bytes parsed on two
/// threads; the contract is kept when values_read() equals the count handed out and nothing
/// comes after the reader stopped.
checked_read read_all_in_chunks(byte_source& source, parse_path path, size_t chunk_size);
