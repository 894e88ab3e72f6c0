#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reconstruction/recording_format.h"

// Small, exact recordings for tests, built row by row.

/// A row of `low` values 0 and the rest 100: a gap row when low >= 21.
std::vector<int32_t> row_with_low(int low);
/// A row whose every value is `value`.
std::vector<int32_t> flat_row(int32_t value);

/// Rows appended one after another.
class row_stream {
 public:
  /// Appends `count` copies of `row`.
  row_stream& add(const std::vector<int32_t>& row, int count = 1);
  /// Appends `count` gap rows (every value 0).
  row_stream& gap(int count) { return add(flat_row(0), count); }
  /// Appends `count` non-gap rows (every value 100).
  row_stream& data(int count) { return add(flat_row(100), count); }
  /// The number of rows so far.
  size_t rows() const { return values_.size() / channel_count; }
  /// The values, row after row.
  const std::vector<int32_t>& values() const { return values_; }
  /// The rows as text, one row per line.
  std::string text() const;

 private:
  std::vector<int32_t> values_;
};

/// A synchronising gap and two complete events of flat data rows.
row_stream two_events();
