#pragma once

#include <string>
#include <vector>

/// What a finished child process left.
struct process_result {
  int status = -1;  ///< exit status as the shell sees it (0-255); -1 if it did not exit normally
  std::string out;  ///< standard output
  std::string err;  ///< standard error
};

/// Runs `argv` (argv[0] a path) in directory `cwd` with standard input closed and waits for it.
process_result run_process(const std::vector<std::string>& argv, const std::string& cwd = ".");

/// A fresh empty directory under the test temporary directory, named after `name`.
std::string fresh_dir(const std::string& name);
/// The whole content of the file at `path`; empty when it cannot be read.
std::string read_file(const std::string& path);
/// Writes `text` to `path`, replacing it.
void write_file(const std::string& path, const std::string& text);
/// True when `path` exists.
bool file_exists(const std::string& path);
/// The names in directory `dir`, sorted, without "." and "..".
std::vector<std::string> list_dir(const std::string& dir);
