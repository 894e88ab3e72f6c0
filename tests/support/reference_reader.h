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
