#pragma once

#include <string>

// The usage text of varnel.exe and of the programs that take its arguments.

/// The usage text for a run with `argc` arguments (the program name included), newline-ended.
std::string usage_text(int argc);
