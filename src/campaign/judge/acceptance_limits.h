#pragma once

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

/// An accepted range of one quantity, ends included.
struct quantity_range {
  double min = 0.0, max = 0.0;
};

/// Ranges by quantity name.
using quantity_ranges = std::map<std::string, quantity_range>;

/// Ranges for every channel and per channel. A channel's range of a quantity is its own when the
/// file gives one, else the table's; a quantity with neither is judged by the robust rule when
/// `robust` is set, and not at all otherwise.
struct range_table {
  quantity_ranges ranges;                   ///< for every channel
  std::map<int, quantity_ranges> channels;  ///< per channel 0..31, overriding `ranges`
  bool robust = true;                       ///< quantities without a range keep the robust rule
  int line = 0;                             ///< the line of the table's first key, for messages

  /// The range of `quantity` for `channel`, or null when there is none.
  const quantity_range* range_for(int channel, const std::string& quantity) const;
};

/// The limits of one configuration.
struct config_limits : range_table {
  std::optional<int> max_flagged_channels;  ///< overrides the file's general value
  std::optional<int> min_events;            ///< fewer completed events call for a retest; none: the
                                            ///< campaign's own count is the measure
  std::optional<double> injection_mV;       ///< the injected test pulse, mV
  /// The range of the recording's common-mode noise, ADC counts; none: the robust rule.
  std::optional<quantity_range> common_mode_noise;
};

/// The acceptance rule in force: ranges per configuration from a limits file, and the robust
/// rule for every quantity the file gives no range (or when there is no file).
struct acceptance_limits {
  std::string file;              ///< the limits file; empty for the default rule
  double k = 5.0;                ///< robust standard deviations a value may lie from the median
  int max_flagged_channels = 0;  ///< flagged channels a chip may have
  std::optional<double> capacitance_fF;  ///< the injection capacitance, fF
  std::map<std::string, config_limits> configs;
  /// The configurations every chip must pass in; none: each that more than half of the
  /// campaign's chips were tested in.
  std::optional<std::vector<std::string>> required;
  range_table characterisation;  ///< limits of the figures across configurations
};

/// The largest limits file read, bytes: `limits` writes about 9 KiB per configuration, so a
/// campaign of over 100 configurations fits.
inline constexpr size_t max_limits_bytes = size_t{1} << 20;
/// The deepest nesting a limits file may have: parts of one dotted key or table name, and
/// brackets and braces open at once. The deepest the rule uses is 4 (config."NAME".channel.N).
inline constexpr int max_limits_depth = 8;
/// The largest k, robust standard deviations: beyond it no value is ever flagged.
inline constexpr double max_k = 1000.0;

/// Whether `k` can be the rule's k: finite, above 0 and at most max_k.
bool valid_k(double k);

/// Reads limits from TOML `text` (named `name` in messages): top-level `k` (> 0),
/// `max_flagged_channels` (0 to 32), `capacitance_fF` (> 0) and `required` (an array of
/// configuration names); per configuration a table
/// `[config."NAME"]` with a `[min, max]` range (min <= max) for any quantity of
/// channel_quantities(), `max_flagged_channels`, `min_events` (>= 1), `injection_mV` (> 0),
/// `common_mode_noise` (a range), `robust` (true or false) and per-channel tables
/// `[config."NAME".channel.N]` (N from 0 to 31) of ranges; and a table `[characterisation]` of
/// ranges of characterisation_quantities(), `robust` and per-channel tables. False, with "limits
/// NAME line L: ..." naming the key, on a syntax error, an unknown key, a value of the wrong
/// kind or a number that is not finite, and a table defined twice named as written. A text over
/// max_limits_bytes or nested deeper than max_limits_depth is refused before it is parsed.
bool parse_limits(const std::string& text, const std::string& name, acceptance_limits& limits,
                  std::string& error);

/// parse_limits on the file at `path`; a file that cannot be read is refused too.
bool read_limits(const std::string& path, acceptance_limits& limits, std::string& error);
