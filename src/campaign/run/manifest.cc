#include "campaign/run/manifest.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string_view trimmed(std::string_view s) {
  size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// Splits the leading blank-separated field off `rest`.
std::string_view take_field(std::string_view& rest) {
  size_t end = rest.find_first_of(" \t");
  std::string_view field = rest.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : trimmed(rest.substr(end));
  return field;
}

}  // namespace

bool read_manifest(const std::string& path, std::vector<manifest_entry>& entries,
                   std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read manifest " + path;
    return false;
  }
  std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string_view rest = trimmed(line);
    if (rest.empty() || rest.front() == '#') continue;
    manifest_entry e;
    e.chip = take_field(rest);
    e.config = take_field(rest);
    if (rest.empty()) {
      error = "manifest " + path + " line " + std::to_string(number) +
              ": expected \"chip config path\"";
      return false;
    }
    std::filesystem::path p(rest);
    e.path = p.is_absolute() ? p.string() : (folder / p).string();
    entries.push_back(std::move(e));
  }
  if (in.bad()) {
    error = "cannot read manifest " + path;
    return false;
  }
  return true;
}
