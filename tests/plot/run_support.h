#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Running the tools in a scratch directory and reading what they wrote.

/// A directory of its own under the system's temporary directory, removed with its content.
class scratch_dir {
 public:
  scratch_dir();
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
  /// The directory's path; empty when it could not be created.
  const std::string& path() const { return path_; }
  /// path() + "/" + name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  /// The names of the entries in the directory, sorted.
  std::vector<std::string> entries() const;

 private:
  std::string path_;
};

/// What a finished program left behind.
struct program_result {
  int status = -1;  ///< the exit status 0..255, or -1 when it did not exit normally
  std::string out, err;
};

/// Runs `exe` with `args`, standard output and error captured through files in `scratch`.
program_result run_program(const std::string& exe, const std::vector<std::string>& args,
                           const scratch_dir& scratch);

/// The file's bytes; empty when it does not open.
std::string file_text(const std::string& path);
/// Whether something exists at `path`.
bool exists(const std::string& path);

/// The six number fields of one log line, as written, for every channel line of `log`.
std::vector<std::array<std::string, 6>> log_fields(const std::string& log);

/// The width and height in a PNG's IHDR chunk, when `bytes` start with the PNG signature and
/// an IHDR chunk.
std::optional<std::pair<unsigned, unsigned>> png_size(const std::string& bytes);
