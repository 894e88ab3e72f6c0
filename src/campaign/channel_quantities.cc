#include "campaign/channel_quantities.h"

const std::array<channel_quantity, quantity_count>& channel_quantities() {
  static const std::array<channel_quantity, quantity_count> all{{
      {"rise_time", "ns", &channel_fit::peak_time, false, false},
      {"amplitude", "ADC", &channel_fit::amplitude, true, false},
      {"time_stamp", "ns", &channel_fit::time_stamp, false, false},
      {"noise", "ADC", &channel_fit::noise, true, true},
      {"rise_time_err", "ns", &channel_fit::peak_time_err, true, true},
      {"amplitude_err", "ADC", &channel_fit::amplitude_err, true, true},
      {"time_stamp_err", "ns", &channel_fit::time_stamp_err, true, true},
  }};
  return all;
}

std::optional<std::size_t> quantity_index(std::string_view name) {
  for (std::size_t q = 0; q < quantity_count; ++q)
    if (name == channel_quantities()[q].name) return q;
  return std::nullopt;
}
