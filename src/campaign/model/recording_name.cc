#include "campaign/model/recording_name.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace {

constexpr std::string_view recording_ending = "_adc.txt";

std::string_view base_name(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c));
  });
}

// Consumes `prefix` followed by digits and "_" from the front of `rest`.
bool take_numbered(std::string_view& rest, std::string_view prefix) {
  if (!rest.starts_with(prefix)) return false;
  std::string_view tail = rest.substr(prefix.size());
  size_t underscore = tail.find('_');
  if (underscore == std::string_view::npos || !all_digits(tail.substr(0, underscore))) return false;
  rest = tail.substr(underscore + 1);
  return true;
}

// Whether `s` reads as whole numbers in [low, high] at each of `fields` (offset, length, low,
// high).
struct digit_field {
  size_t at, length;
  int low, high;
};
bool fields_valid(std::string_view s, std::initializer_list<digit_field> fields) {
  for (const digit_field& f : fields) {
    std::string_view part = s.substr(f.at, f.length);
    if (!all_digits(part)) return false;
    int v = std::stoi(std::string(part));
    if (v < f.low || v > f.high) return false;
  }
  return true;
}

// "YYYY-MM-DD" of the nearest folder above the file named YYYYMMDD; "" when there is none.
std::string folder_date(std::string_view path) {
  size_t end = path.rfind('/');
  while (end != std::string_view::npos && end > 0) {
    size_t start = path.rfind('/', end - 1);
    std::string_view folder = path.substr(start == std::string_view::npos ? 0 : start + 1,
                                          end - (start == std::string_view::npos ? 0 : start + 1));
    if (folder.size() == 8 &&
        fields_valid(folder, {{0, 4, 1900, 9999}, {4, 2, 1, 12}, {6, 2, 1, 31}}))
      return std::string(folder.substr(0, 4)) + "-" + std::string(folder.substr(4, 2)) + "-" +
             std::string(folder.substr(6, 2));
    end = start;
  }
  return {};
}

// "HH:MM:SS" of a name that begins with HHMMSS and "_"; "" otherwise.
std::string name_time(std::string_view path) {
  std::string_view name = base_name(path);
  if (name.size() < 7 || name[6] != '_' ||
      !fields_valid(name, {{0, 2, 0, 23}, {2, 2, 0, 59}, {4, 2, 0, 60}}))
    return {};
  return std::string(name.substr(0, 2)) + ":" + std::string(name.substr(2, 2)) + ":" +
         std::string(name.substr(4, 2));
}

name_reading unreadable(std::string reason) {
  return {{}, std::move(reason)};
}

}  // namespace

bool looks_like_recording(std::string_view path) {
  std::string_view name = base_name(path);
  return name.size() > recording_ending.size() && name.ends_with(recording_ending);
}

name_reading read_recording_name(std::string_view path) {
  std::string_view name = base_name(path);
  if (!looks_like_recording(name)) return unreadable("the name does not end in _adc.txt");
  std::string_view rest = name.substr(0, name.size() - recording_ending.size());
  size_t underscore = rest.find('_');
  if (underscore == std::string_view::npos || !all_digits(rest.substr(0, underscore)))
    return unreadable("the name does not begin with a time of digits and \"_\"");
  rest = rest.substr(underscore + 1);
  if (!rest.starts_with("korvi")) return unreadable("no \"_korvi<chip>_\" after the time");
  rest.remove_prefix(5);
  underscore = rest.find('_');
  if (underscore == 0 || underscore == std::string_view::npos)
    return unreadable("no chip after \"korvi\"");
  std::string chip(rest.substr(0, underscore));
  rest = rest.substr(underscore + 1);
  if (!take_numbered(rest, "dessel") || !take_numbered(rest, "link"))
    return unreadable("no \"_dessel<NN>_link<NN>_\" after the chip");
  if (rest.empty()) return unreadable("no configuration before \"_adc.txt\"");
  return {{std::move(chip), std::string(rest)}, {}};
}

std::string recorded_time(std::string_view path, std::optional<int64_t> mtime_ns) {
  std::string date = folder_date(path), time = name_time(path);
  if ((date.empty() || time.empty()) && mtime_ns) {
    std::time_t seconds = static_cast<std::time_t>(*mtime_ns / 1000000000);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    if (date.empty()) date = std::string(text, 10);
    if (time.empty()) time = std::string(text + 11);
  }
  if (date.empty() || time.empty()) return {};
  return date + "T" + time;
}
