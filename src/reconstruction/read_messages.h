#pragma once

#include <cstdint>
#include <string>

// The lines a reconstruction adds to its notes: why reading failed or stopped early.

/// The recording at `path` does not open, or is a directory.
std::string cannot_open_file(const std::string& path);
/// The recording at `path` failed with an I/O error while it was read.
std::string cannot_read_file(const std::string& path);
/// No event reached the reconstruction window.
std::string corrupt_data();
/// Reading ended early at value `value_number` (counted from 1) of `path`; `reason` is
/// "not a number" or "number out of range".
std::string reading_stopped(uint64_t value_number, const std::string& path, const char* reason);
/// The input ended `values` values into a row, and that row is dropped.
std::string incomplete_last_row(const std::string& path, int values);
/// `gap_events` of the `events` completed events have a gap row inside their first binned pulse
/// window, which begins at event row `window_row`.
std::string gap_in_first_window(int64_t gap_events, int64_t events, int window_row);
