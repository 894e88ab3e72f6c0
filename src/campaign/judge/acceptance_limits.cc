#include "campaign/judge/acceptance_limits.h"

#include <toml++/toml.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "campaign/judge/channel_quantities.h"
#include "reconstruction/recording_format.h"

namespace {

std::string at(const std::string& name, const toml::source_region& where) {
  return "limits " + name + " line " + std::to_string(where.begin.line) + ": ";
}

// Why `node` is not a [min, max] range, or "" with `range` set.
std::string read_range(const toml::node& node, quantity_range& range) {
  const toml::array* a = node.as_array();
  if (!a || a->size() != 2 || !(*a)[0].is_number() || !(*a)[1].is_number())
    return "expected [min, max]";
  range.min = (*a)[0].value<double>().value_or(0.0);
  range.max = (*a)[1].value<double>().value_or(0.0);
  if (!std::isfinite(range.min) || !std::isfinite(range.max))
    return "expected [min, max] of finite numbers";
  return range.min <= range.max ? "" : "expected [min, max] with min <= max";
}

std::string read_whole(const toml::node& node, int low, int high, int& out) {
  std::optional<int64_t> v = node.value<int64_t>();
  if (!node.is_integer() || !v || *v < low || *v > high)
    return "expected a whole number " + std::to_string(low) + " to " + std::to_string(high);
  out = static_cast<int>(*v);
  return {};
}

std::string key_error(const std::string& name, const toml::key& key, const std::string& why) {
  return at(name, key.source()) + "key '" + std::string(key.str()) + "': " + why;
}

// Reads a quantity's range into `ranges`; "unknown key" for any other key.
std::string read_quantity(const std::string& key, const toml::node& node, bool characterisation,
                          quantity_ranges& ranges) {
  if (!is_quantity_name(key, characterisation)) return "unknown key";
  quantity_range r;
  std::string why = read_range(node, r);
  ranges[key] = r;
  return why;
}

std::string read_positive(const toml::node& node, std::optional<double>& out) {
  std::optional<double> v = node.value<double>();
  if (!node.is_number() || !v || !(*v > 0.0) || !std::isfinite(*v))
    return "expected a finite number above 0";
  out = *v;
  return {};
}

bool read_channels(const toml::node& node, const toml::key& key, const std::string& name,
                   bool characterisation, range_table& c, std::string& error) {
  const toml::table* channels = node.as_table();
  if (!channels) {
    error = key_error(name, key, "expected tables [config.\"NAME\".channel.N]");
    return false;
  }
  for (auto&& [number, table_node] : *channels) {
    int channel = -1;
    std::string digits(number.str());
    if (digits.empty() || digits.size() > 2 ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        (channel = std::stoi(digits)) > 31) {
      error = key_error(name, number, "expected a channel number 0 to 31");
      return false;
    }
    const toml::table* t = table_node.as_table();
    if (!t) {
      error = key_error(name, number, "expected a table");
      return false;
    }
    quantity_ranges& ranges = c.channels[channel];
    for (auto&& [k, v] : *t)
      if (std::string why = read_quantity(std::string(k.str()), v, characterisation, ranges);
          !why.empty()) {
        error = key_error(name, k, why);
        return false;
      }
  }
  return true;
}

// A key every range table may hold: a quantity's range or `robust`.
std::string read_table_key(const std::string& key, const toml::node& node, bool characterisation,
                           range_table& t) {
  if (key == "robust") {
    if (!node.is_boolean()) return "expected true or false";
    t.robust = node.value<bool>().value_or(true);
    return {};
  }
  return read_quantity(key, node, characterisation, t.ranges);
}

std::string read_config_key(const std::string& key, const toml::node& node, config_limits& c) {
  if (key == "injection_mV") return read_positive(node, c.injection_mV);
  if (key == "common_mode_noise") {
    quantity_range r;
    std::string why = read_range(node, r);
    c.common_mode_noise = r;
    return why;
  }
  if (key == "max_flagged_channels") {
    int count = 0;
    std::string why = read_whole(node, 0, channel_count, count);
    c.max_flagged_channels = count;
    return why;
  }
  if (key == "min_events") {
    int events = 0;
    std::string why = read_whole(node, 1, 1 << 30, events);
    c.min_events = events;
    return why;
  }
  return read_table_key(key, node, false, c);
}

// Reads the keys of one range table: its per-channel tables under "channel", every other key
// by `read_key`, which says why a value is wrong or returns "".
template <typename key_reader>
bool read_table(const toml::table& table, const std::string& name, bool characterisation,
                range_table& t, const key_reader& read_key, std::string& error) {
  for (auto&& [k, v] : table) {
    std::string key_name(k.str());
    if (key_name == "channel") {
      if (!read_channels(v, k, name, characterisation, t, error)) return false;
    } else if (std::string why = read_key(key_name, v); !why.empty()) {
      error = key_error(name, k, why);
      return false;
    }
  }
  return true;
}

bool read_configs(const toml::node& node, const toml::key& key, const std::string& name,
                  acceptance_limits& limits, std::string& error) {
  const toml::table* configs = node.as_table();
  if (!configs) {
    error = key_error(name, key, "expected tables [config.\"NAME\"]");
    return false;
  }
  for (auto&& [config_name, config_node] : *configs) {
    const toml::table* t = config_node.as_table();
    if (!t) {
      error = key_error(name, config_name, "expected a table");
      return false;
    }
    config_limits& c = limits.configs[std::string(config_name.str())];
    c.line = static_cast<int>(config_name.source().begin.line);
    auto read_key = [&c](const std::string& k, const toml::node& value) {
      return read_config_key(k, value, c);
    };
    if (!read_table(*t, name, false, c, read_key, error)) return false;
  }
  return true;
}

bool read_characterisation(const toml::node& node, const toml::key& key, const std::string& name,
                           range_table& t, std::string& error) {
  const toml::table* table = node.as_table();
  if (!table) {
    error = key_error(name, key, "expected a table [characterisation]");
    return false;
  }
  t.line = static_cast<int>(key.source().begin.line);
  auto read_key = [&t](const std::string& k, const toml::node& value) {
    return read_table_key(k, value, true, t);
  };
  return read_table(*table, name, true, t, read_key, error);
}

std::string read_names(const toml::node& node, std::optional<std::vector<std::string>>& out) {
  const toml::array* a = node.as_array();
  if (!a) return "expected an array of configuration names";
  out.emplace();
  for (const toml::node& n : *a) {
    std::optional<std::string> name = n.value<std::string>();
    if (!n.is_string() || !name || name->empty()) return "expected an array of configuration names";
    out->push_back(*name);
  }
  return {};
}

std::string read_top_key(const std::string& key, const toml::node& node, acceptance_limits& l) {
  if (key == "capacitance_fF") return read_positive(node, l.capacitance_fF);
  if (key == "required") return read_names(node, l.required);
  if (key == "max_flagged_channels")
    return read_whole(node, 0, channel_count, l.max_flagged_channels);
  if (key != "k") return "unknown key";
  std::optional<double> k = node.value<double>();
  if (!node.is_number() || !k || !valid_k(*k))
    return "expected a number above 0 and at most " + std::to_string(static_cast<int>(max_k));
  l.k = *k;
  return {};
}

// The line `line` (from 1) of `text`, without its blanks at either end.
std::string line_of(const std::string& text, size_t line) {
  size_t start = 0;
  for (size_t n = 1; n < line && start != std::string::npos; ++n) {
    start = text.find('\n', start);
    if (start != std::string::npos) ++start;
  }
  if (start == std::string::npos) return {};
  std::string l = text.substr(start, text.find('\n', start) - start);
  size_t first = l.find_first_not_of(" \t\r"), last = l.find_last_not_of(" \t\r");
  return first == std::string::npos ? "" : l.substr(first, last - first + 1);
}

// The parser's description of an error, a table or key defined twice named as the file writes
// it (the parser's own rendering of a quoted name can be garbled).
std::string parse_problem(const toml::parse_error& e, const std::string& text) {
  std::string description(e.description());
  if (description.find("redefine") == std::string::npos) return description;
  return "defined twice: " + line_of(text, e.source().begin.line);
}

// Tracks the nesting of the TOML text scanned so far: brackets and braces, and the parts of the
// dotted key on the current line before its "=" (or in its table header).
class nesting_scan {
 public:
  // Whether the text's nesting stays within max_limits_depth.
  bool within(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i)
      if (!step(text, i)) return false;
    return true;
  }

 private:
  bool step(const std::string& text, size_t& i) {
    const char c = text[i];
    if (quote_) {
      if (c == '\\' && quote_ == '"')
        ++i;
      else if (c == quote_ || (c == '\n' && !multi_line_))
        quote_ = 0;
      return true;
    }
    if (comment_) {
      comment_ = c != '\n';
      return true;
    }
    switch (c) {
      case '"':
      case '\'':
        quote_ = c;
        multi_line_ = text.compare(i, 3, std::string(3, c)) == 0;
        if (multi_line_) {
          size_t end = text.find(std::string(3, c), i + 3);
          i = end == std::string::npos ? text.size() : end + 2;
          quote_ = 0;
        }
        return true;
      case '#':
        comment_ = true;
        return true;
      case '\n':
        key_parts_ = 1;
        in_value_ = brackets_ > 0;  // an array or inline table may run over lines
        return true;
      case '=':
        in_value_ = true;
        return true;
      case '.':
        return in_value_ || ++key_parts_ <= max_limits_depth;
      case '[':
      case '{':
        return ++brackets_ <= max_limits_depth;
      case ']':
      case '}':
        brackets_ -= brackets_ > 0;
        return true;
      default:
        return true;
    }
  }

  char quote_ = 0;
  bool multi_line_ = false, comment_ = false, in_value_ = false;
  int key_parts_ = 1, brackets_ = 0;
};

}  // namespace

bool valid_k(double k) {
  return std::isfinite(k) && k > 0.0 && k <= max_k;
}

const quantity_range* range_table::range_for(int channel, const std::string& quantity) const {
  auto own = channels.find(channel);
  if (own != channels.end())
    if (auto it = own->second.find(quantity); it != own->second.end()) return &it->second;
  auto it = ranges.find(quantity);
  return it == ranges.end() ? nullptr : &it->second;
}

bool parse_limits(const std::string& text, const std::string& name, acceptance_limits& limits,
                  std::string& error) {
  if (text.size() > max_limits_bytes) {
    error = "limits " + name + ": larger than " + std::to_string(max_limits_bytes >> 10) +
            " KiB; no limits file is";
    return false;
  }
  if (!nesting_scan().within(text)) {
    error = "limits " + name + ": nested deeper than " + std::to_string(max_limits_depth) +
            " levels; no limits file is";
    return false;
  }
  toml::table root;
  try {
    root = toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    error = at(name, e.source()) + parse_problem(e, text);
    return false;
  }
  limits.file = name;
  for (auto&& [key, node] : root) {
    std::string k(key.str());
    if (k == "config") {
      if (!read_configs(node, key, name, limits, error)) return false;
    } else if (k == "characterisation") {
      if (!read_characterisation(node, key, name, limits.characterisation, error)) return false;
    } else if (std::string why = read_top_key(k, node, limits); !why.empty()) {
      error = key_error(name, key, why);
      return false;
    }
  }
  return true;
}

bool read_limits(const std::string& path, acceptance_limits& limits, std::string& error) {
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) > max_limits_bytes && !ec) {
    error = "limits " + path + ": larger than " + std::to_string(max_limits_bytes >> 10) +
            " KiB; no limits file is";
    return false;
  }
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    error = "cannot read limits " + path;
    return false;
  }
  return parse_limits(text, path, limits, error);
}
