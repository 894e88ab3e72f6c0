#pragma once

#include <map>
#include <optional>
#include <string>

/// An accepted range of one quantity, ends included.
struct quantity_range {
  double min = 0.0, max = 0.0;
};

/// The limits of one configuration; a quantity without a range is not checked.
struct config_limits {
  std::optional<quantity_range> rise_time;   ///< ns
  std::optional<quantity_range> amplitude;   ///< ADC counts
  std::optional<quantity_range> time_stamp;  ///< ns
  std::optional<int> max_flagged_channels;   ///< overrides the file's general value
};

/// The acceptance rule in force: ranges per configuration from a limits file, and the robust
/// rule for every configuration the file does not name (or when there is no file).
struct acceptance_limits {
  std::string file;              ///< the limits file; empty for the default rule
  double k = 5.0;                ///< robust standard deviations a value may lie from the median
  int max_flagged_channels = 0;  ///< flagged channels a chip may have
  std::map<std::string, config_limits> configs;
};

/// Reads limits from TOML `text` (named `name` in messages): top-level `k` (> 0) and
/// `max_flagged_channels` (>= 0), and per configuration a table `[config."NAME"]` with
/// `rise_time`, `amplitude`, `time_stamp` as `[min, max]` (min <= max) and
/// `max_flagged_channels`. False, with "limits NAME line L: ..." naming the key, on a syntax
/// error, an unknown key or a value of the wrong kind.
bool parse_limits(const std::string& text, const std::string& name, acceptance_limits& limits,
                  std::string& error);

/// parse_limits on the file at `path`; a file that cannot be read is refused too.
bool read_limits(const std::string& path, acceptance_limits& limits, std::string& error);
