#include "plot/run_support.h"

#include <sstream>

program_run run_in(const std::string& exe, std::vector<std::string> args, const temp_dir& d) {
  args.insert(args.begin(), exe);
  run_options options;
  options.cwd = d.path();
  return run_program(args, options);
}

std::string file_text(const std::string& path) {
  return read_file(path).value_or("");
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
