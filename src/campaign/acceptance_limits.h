#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>

#include "campaign/channel_quantities.h"

/// An accepted range of one quantity, ends included.
struct quantity_range {
  double min = 0.0, max = 0.0;
};

/// A range, or none, for each judged quantity, indexed like channel_quantities().
using quantity_ranges = std::array<std::optional<quantity_range>, quantity_count>;

/// The limits of one configuration. A channel's range of a quantity is its own when the file
/// gives one, else the configuration's; a quantity with neither is judged by the robust rule
/// when `robust` is set, and not at all otherwise.
struct config_limits {
  quantity_ranges ranges;                   ///< for every channel
  std::map<int, quantity_ranges> channels;  ///< per channel 0..31, overriding `ranges`
  std::optional<int> max_flagged_channels;  ///< overrides the file's general value
  std::optional<int> min_events;            ///< fewer completed events call for a retest; none: the
                                            ///< campaign's own count is the measure
  bool robust = true;                       ///< quantities without a range keep the robust rule
  int line = 0;                             ///< the line of the table's first key, for messages
};

/// The acceptance rule in force: ranges per configuration from a limits file, and the robust
/// rule for every quantity the file gives no range (or when there is no file).
struct acceptance_limits {
  std::string file;              ///< the limits file; empty for the default rule
  double k = 5.0;                ///< robust standard deviations a value may lie from the median
  int max_flagged_channels = 0;  ///< flagged channels a chip may have
  std::map<std::string, config_limits> configs;
};

/// The range of quantity `q` (an index into channel_quantities()) for `channel` under `c`, or
/// null when there is none.
const quantity_range* range_for(const config_limits& c, int channel, size_t q);

/// Reads limits from TOML `text` (named `name` in messages): top-level `k` (> 0) and
/// `max_flagged_channels` (0 to 32), and per configuration a table `[config."NAME"]` with a
/// `[min, max]` range (min <= max) for any quantity of channel_quantities(),
/// `max_flagged_channels`, `min_events` (>= 1), `robust` (true or false) and per-channel tables
/// `[config."NAME".channel.N]` (N from 0 to 31) of ranges. False, with "limits NAME line L: ..."
/// naming the key, on a syntax error, an unknown key or a value of the wrong kind.
bool parse_limits(const std::string& text, const std::string& name, acceptance_limits& limits,
                  std::string& error);

/// parse_limits on the file at `path`; a file that cannot be read is refused too.
bool read_limits(const std::string& path, acceptance_limits& limits, std::string& error);
