#include "support/rows.h"

std::vector<int32_t> row_with_low(int low) {
  std::vector<int32_t> row(channel_count, 100);
  for (int ch = 0; ch < low; ++ch) row[ch] = 0;
  return row;
}

std::vector<int32_t> flat_row(int32_t value) {
  return std::vector<int32_t>(channel_count, value);
}

row_stream& row_stream::add(const std::vector<int32_t>& row, int count) {
  for (int i = 0; i < count; ++i) values_.insert(values_.end(), row.begin(), row.end());
  return *this;
}

std::string row_stream::text() const {
  std::string s;
  for (size_t i = 0; i < values_.size(); ++i) {
    s += std::to_string(values_[i]);
    s += (i + 1) % channel_count == 0 ? '\n' : ' ';
  }
  return s;
}

row_stream two_events() {
  row_stream s;
  s.gap(10).data(5);
  for (int e = 0; e < 2; ++e) {
    s.gap(10).data(197);
    s.data(3);
  }
  return s;
}
