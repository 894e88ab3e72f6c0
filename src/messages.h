#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Every line the tool writes on its standard streams, in one place.

/// Lines for standard error, in the order in which they arose; only the entry points print them.
using diagnostics = std::vector<std::string>;

/// The usage text for a run with `argc` arguments (the program name included), newline-ended.
std::string usage_text(int argc);
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
/// The fit of `channel` did not reach a minimum, or had too few points to run.
std::string fit_not_converged(int channel);
/// The log at `path` (or its temporary file beside it) cannot be created.
std::string cannot_open_log(const std::string& path);
/// Writing, flushing or renaming the log at `path` failed.
std::string cannot_write_log(const std::string& path);
/// The picture at `path` (or its temporary file beside it) cannot be drawn, written or renamed.
std::string cannot_write_plot(const std::string& path);
/// The JSON results at `path` (or their temporary file beside them) cannot be written.
std::string cannot_write_results(const std::string& path);
