#include "campaign/acceptance_limits.h"

#include <toml++/toml.h>

#include <fstream>
#include <iterator>

#include "campaign/channel_quantities.h"
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
  if (!node.is_number() || !v || !(*v > 0.0)) return "expected a number above 0";
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
  if (!node.is_number() || !k || !(*k > 0.0)) return "expected a number above 0";
  l.k = *k;
  return {};
}

}  // namespace

const quantity_range* range_table::range_for(int channel, const std::string& quantity) const {
  auto own = channels.find(channel);
  if (own != channels.end())
    if (auto it = own->second.find(quantity); it != own->second.end()) return &it->second;
  auto it = ranges.find(quantity);
  return it == ranges.end() ? nullptr : &it->second;
}

bool parse_limits(const std::string& text, const std::string& name, acceptance_limits& limits,
                  std::string& error) {
  toml::table root;
  try {
    root = toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    error = at(name, e.source()) + std::string(e.description());
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
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) {
    error = "cannot read limits " + path;
    return false;
  }
  return parse_limits(text, path, limits, error);
}
