#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

// The command lines of the companion programs: CLI11 options, --help and --version, and usage
// errors as one line "PROGRAM: message" with status 2.

/// The exit status of a command line that cannot be parsed.
inline constexpr int exit_usage_error = 2;

/// A run that its command line ends before any work: what to print and the exit status.
struct command_line_stop {
  int status = 0;   ///< 0 after --help or --version, exit_usage_error after a usage error
  std::string out;  ///< for standard output: the help or "PROGRAM VERSION", newline-ended
  std::string err;  ///< for standard error: "PROGRAM: message", newline-ended
};

/// Adds --version to `app` (constructed with the program's name), printing "PROGRAM VERSION".
void add_version_flag(CLI::App& app);
/// Parses `argv` into `app`'s options; the stop when the run ends here (help, version or a
/// usage error), nothing when it goes on.
std::optional<command_line_stop> parse_command_line(CLI::App& app, int argc, char** argv);
/// The stop for a usage error that the program finds after parsing: "PROGRAM: `message`".
command_line_stop usage_error(const CLI::App& app, const std::string& message);
