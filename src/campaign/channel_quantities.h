#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "campaign/campaign_db.h"

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
