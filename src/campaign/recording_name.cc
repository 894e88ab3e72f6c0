#include "campaign/recording_name.h"

#include <algorithm>
#include <cctype>

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
