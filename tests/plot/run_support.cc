#include "plot/run_support.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

scratch_dir::scratch_dir() {
  std::string pattern = (fs::temp_directory_path() / "varnel-plot-test-XXXXXX").string();
  if (::mkdtemp(pattern.data())) path_ = pattern;
}

scratch_dir::~scratch_dir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

std::vector<std::string> scratch_dir::entries() const {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// `s` in single quotes for the shell.
std::string quoted(const std::string& s) {
  std::string q(1, '\'');
  for (char c : s) {
    if (c == '\'')
      q.append("'\\''");
    else
      q.push_back(c);
  }
  q.push_back('\'');
  return q;
}

}  // namespace

program_result run_program(const std::string& exe, const std::vector<std::string>& args,
                           const scratch_dir& scratch) {
  const std::string out_path = scratch.path() + ".out", err_path = scratch.path() + ".err";
  std::string cmd = quoted(exe);
  for (const std::string& a : args) cmd.append(" ").append(quoted(a));
  cmd.append(" >").append(quoted(out_path));
  cmd.append(" 2>").append(quoted(err_path));
  cmd.append(" </dev/null");
  program_result r;
  int raw = std::system(cmd.c_str());
  if (raw != -1 && WIFEXITED(raw)) r.status = WEXITSTATUS(raw);
  r.out = file_text(out_path);
  r.err = file_text(err_path);
  std::remove(out_path.c_str());
  std::remove(err_path.c_str());
  return r;
}

std::string file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::vector<std::array<std::string, 6>> log_fields(const std::string& log) {
  std::vector<std::array<std::string, 6>> rows;
  std::istringstream lines(log);
  std::string line;
  std::getline(lines, line);  // the header
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string channel, sep;
    std::array<std::string, 6> f;
    words >> channel >> f[0] >> sep >> f[1] >> f[2] >> sep >> f[3] >> f[4] >> sep >> f[5];
    if (words) rows.push_back(f);
  }
  return rows;
}

std::optional<std::pair<unsigned, unsigned>> png_size(const std::string& bytes) {
  static const std::string signature("\x89PNG\r\n\x1a\n", 8);
  if (bytes.size() < 24 || bytes.compare(0, 8, signature) != 0 || bytes.compare(12, 4, "IHDR") != 0)
    return std::nullopt;
  auto be32 = [&](size_t at) {
    unsigned v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  return std::make_pair(be32(16), be32(20));
}
