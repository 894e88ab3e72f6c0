#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "campaign/campaign_db.h"
#include "campaign/channel_characterisation.h"

/// One quantity of a channel's stored result that the acceptance judges.
struct channel_quantity {
  const char* name;  ///< as in the limits file, the database and the CSV
  const char* unit;  ///< "ns", "ADC" or "" for counts
  double channel_fit::*value;
  bool relative;    ///< compared as a ratio to the campaign's median (it scales with the chip)
  bool upper_only;  ///< only a value too large fails (noise and errors)
};

/// Quantities judged per channel.
inline constexpr std::size_t quantity_count = 7;

/// rise_time, amplitude, time_stamp, noise, rise_time_err, amplitude_err, time_stamp_err: the
/// three results, the noise and the results' errors.
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
