#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/tool_run.h"

// Running the tools in a scratch directory and reading what they wrote.

/// Runs `exe` with `args` in directory `d`.
program_run run_in(const std::string& exe, std::vector<std::string> args, const temp_dir& d);
/// The file's bytes; empty when it does not open.
std::string file_text(const std::string& path);

/// The six number fields of one log line, as written, for every channel line of `log`.
std::vector<std::array<std::string, 6>> log_fields(const std::string& log);

/// The width and height in a PNG's IHDR chunk, when `bytes` start with the PNG signature and
/// an IHDR chunk.
std::optional<std::pair<unsigned, unsigned>> png_size(const std::string& bytes);
