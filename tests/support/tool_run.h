#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

// Runs of the real executable in a directory of their own, for tests of what it does to files.

/// How a run ended and what it printed.
struct program_run {
  int status = -1;  ///< the exit status, 0 to 255; -1 when it did not exit normally
  int signal = 0;   ///< the signal that ended it, if one did
  std::string out;  ///< standard output
  std::string err;  ///< standard error
  /// Standard error split into lines, without their newlines.
  std::vector<std::string> err_lines() const;
};

/// Where and how a program runs.
struct run_options {
  std::string cwd;                         ///< working directory; the caller's when empty
  std::vector<std::string> prefix;         ///< run under this program, e.g. {"strace", ...}
  std::vector<std::string> environment;    ///< "NAME=value" entries, over the caller's
  std::optional<uid_t> uid;                ///< drop to this user (and `gid`) before the exec
  gid_t gid = 0;                           ///< with `uid`
  rlim_t file_size_limit = RLIM_INFINITY;  ///< RLIMIT_FSIZE of the run; SIGXFSZ is ignored
};

/// Runs `argv` (argv[0] found in PATH when it has no "/"), standard input from /dev/null, and
/// collects its output.
program_run run_program(const std::vector<std::string>& argv, const run_options& options = {});
/// Runs the tool built with these tests (or the copy `exe` of it) with the arguments `args`.
program_run run_tool(const std::vector<std::string>& args, const run_options& options = {},
                     const std::string& exe = {});
/// The tool's path.
std::string tool_path();

/// A fresh directory under $TMPDIR (or /tmp), removed with everything in it when destroyed.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  /// `name` inside the directory.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Writes `text` to `path`, replacing it; false on any failure.
bool write_file(const std::string& path, const std::string& text);
/// The bytes of `path`; nothing when it cannot be read.
std::optional<std::string> read_file(const std::string& path);
/// The names in directory `path`, "." and ".." left out; subdirectories listed as "name/" with
/// their contents as "name/inner".
std::set<std::string> tree(const std::string& path);
/// The id of user "nobody" and its group, when the system has one.
std::optional<std::pair<uid_t, gid_t>> nobody();
/// For tests of permissions, which root ignores: as root, sets `options` to run as "nobody" and
/// returns a copy of the tool placed in `dir` for that user; otherwise "" (the tool itself).
/// Nothing when running as root and the system has no user nobody.
std::optional<std::string> unprivileged_tool(run_options& options, const temp_dir& dir);
