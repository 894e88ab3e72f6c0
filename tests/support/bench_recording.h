#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A bench recording of the default configuration, small and reproducible: events every
// bench_event_spacing rows, each opened by bench_gap_rows gap rows reading about 5 and followed
// by ten test pulses on a baseline of 100 + channel, with a little noise from a fixed seed.

inline constexpr int bench_event_spacing = 220;
inline constexpr int bench_gap_rows = 10;

/// The values, row after row, of `events` events.
std::vector<int32_t> bench_rows(int events);

/// The rows of `values` (whole rows and the start of a last one) as text: each value as
/// `write_value` puts it, separated by spaces, one row per line.
std::string recording_text(const std::vector<int32_t>& values,
                           const std::function<std::string(int32_t)>& write_value = {});

/// The values of row `row` of `values`, for changing them.
inline int32_t* row_values(std::vector<int32_t>& values, size_t row) {
  return values.data() + row * 32;
}

/// True for the rows of `events` that are gap rows.
inline bool is_bench_gap(size_t row) {
  return row % bench_event_spacing < bench_gap_rows;
}
