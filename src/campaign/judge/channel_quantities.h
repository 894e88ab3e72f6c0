#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "campaign/judge/acceptance_limits.h"
#include "campaign/model/channel_characterisation.h"
#include "campaign/model/stored_recording.h"

/// One quantity of a channel's stored result that the acceptance judges.
struct channel_quantity {
  const char* name;  ///< as in the limits file, the database and the CSV
  const char* unit;  ///< "ns", "ADC", "%" or "" for counts: the unit the quantity is shown in
  double channel_fit::*value;
  bool relative;       ///< compared as a ratio to the campaign's median (it scales with the chip)
  bool upper_only;     ///< only a value too large fails (noise, misfit and errors)
  double least = 0.0;  ///< in the stored unit: the robust rule flags no distance below this
  double scale = 1.0;  ///< the stored value times this is the value in `unit`
  /// Judged by this range alone (never by the robust rule) when the limits give none.
  std::optional<quantity_range> default_range = std::nullopt;
  /// Evidence that results stored by earlier versions lack: NaN there means not measured, not
  /// a figure gone wrong.
  bool evidence = false;
};

/// ADC counts: a channel's averaged readings, pulse and baseline, must stay this far from the
/// ends of the ADC's range, unless the limits give headroom a range of their own. Twenty counts
/// are ten times a channel's usual noise: its samples, and an undershoot below the baseline,
/// then stay within the range, and a pulse this far below the top does not clip.
inline constexpr double default_min_headroom = 20.0;

/// Quantities judged per channel.
inline constexpr std::size_t quantity_count = 10;

/// rise_time, amplitude, time_stamp, noise, rise_time_err, amplitude_err, time_stamp_err,
/// misfit, pedestal, headroom: the three results, the noise, the results' errors, how far the
/// pulse's shape is from the model, the baseline's level and the room left to the ADC's range.
const std::array<channel_quantity, quantity_count>& channel_quantities();

/// The index of the quantity called `name`; none for any other name.
std::optional<std::size_t> quantity_index(std::string_view name);

/// A figure of a channel across configurations that the acceptance judges.
struct characterisation_quantity {
  const char* name;  ///< as in the limits file, the database and the CSV
  const char* unit;
  double channel_characterisation::*value;
  bool relative;
  bool upper_only;
  double least_limit;  ///< the robust rule flags no distance from the median below this
};

/// Figures judged per channel across configurations.
inline constexpr std::size_t characterisation_quantity_count = 5;

/// gain, nonlinearity, noise_mV, rise_time_spread, time_stamp_spread.
const std::array<characterisation_quantity, characterisation_quantity_count>&
characterisation_quantities();

/// Where `name` stands among the quantities: channel_quantities() first, then
/// characterisation_quantities(); after them all for any other name.
std::size_t quantity_order(std::string_view name);

/// Whether `name` names a quantity of channel_quantities() or, with `characterisation`, of
/// characterisation_quantities().
bool is_quantity_name(std::string_view name, bool characterisation);
