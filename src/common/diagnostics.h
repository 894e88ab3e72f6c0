#pragma once

#include <string>
#include <vector>

/// Lines for standard error, in the order in which they arose; only the entry points print them.
using diagnostics = std::vector<std::string>;

/// Writes every line of `notes` to standard error, each newline-ended and flushed.
void print_notes(const diagnostics& notes);
