#include "campaign/acceptance_limits.h"

#include <toml++/toml.h>

#include <fstream>
#include <iterator>

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

std::string read_count(const toml::node& node, int& count) {
  std::optional<int64_t> v = node.value<int64_t>();
  if (!node.is_integer() || !v || *v < 0 || *v > 32) return "expected a whole number 0 to 32";
  count = static_cast<int>(*v);
  return {};
}

std::string read_config_key(const std::string& key, const toml::node& node, config_limits& c) {
  if (key == "max_flagged_channels") {
    int count = 0;
    std::string why = read_count(node, count);
    c.max_flagged_channels = count;
    return why;
  }
  std::optional<quantity_range>* target = key == "rise_time"    ? &c.rise_time
                                          : key == "amplitude"  ? &c.amplitude
                                          : key == "time_stamp" ? &c.time_stamp
                                                                : nullptr;
  if (!target) return "unknown key";
  quantity_range r;
  std::string why = read_range(node, r);
  *target = r;
  return why;
}

std::string key_error(const std::string& name, const toml::key& key, const std::string& why) {
  return at(name, key.source()) + "key '" + std::string(key.str()) + "': " + why;
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
    for (auto&& [k, v] : *t) {
      if (std::string why = read_config_key(std::string(k.str()), v, c); !why.empty()) {
        error = key_error(name, k, why);
        return false;
      }
    }
  }
  return true;
}

std::string read_top_key(const std::string& key, const toml::node& node, acceptance_limits& l) {
  if (key == "max_flagged_channels") return read_count(node, l.max_flagged_channels);
  if (key != "k") return "unknown key";
  std::optional<double> k = node.value<double>();
  if (!node.is_number() || !k || !(*k > 0.0)) return "expected a number above 0";
  l.k = *k;
  return {};
}

}  // namespace

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
