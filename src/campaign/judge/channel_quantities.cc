#include "campaign/judge/channel_quantities.h"

#include <limits>

const std::array<channel_quantity, quantity_count>& channel_quantities() {
  static const std::array<channel_quantity, quantity_count> all{{
      {"rise_time", "ns", &channel_fit::peak_time, false, false},
      {"amplitude", "ADC", &channel_fit::amplitude, true, false},
      {"time_stamp", "ns", &channel_fit::time_stamp, false, false},
      {"noise", "ADC", &channel_fit::noise, true, true, 0.0, 1.0, std::nullopt, true},
      // A fit's errors grow with the injection's jitter on a pulse's slopes, which differs from
      // one recording to the next and from channel to channel by its shape: in a realistic
      // campaign good channels' errors reach 19 % above their chip's. An error a quarter above
      // the other chips' still leaves the figure trustworthy; a noisy or misfitted channel's
      // are several times as large.
      {"rise_time_err", "ns", &channel_fit::peak_time_err, true, true, 0.25},
      {"amplitude_err", "ADC", &channel_fit::amplitude_err, true, true, 0.25},
      {"time_stamp_err", "ns", &channel_fit::time_stamp_err, true, true, 0.25},
      // Good chips' channels differ in shape from chip to chip: in a realistic campaign their
      // misfits spread over 0.1 to 1 % of the amplitude, so a percent further from the model
      // than the other chips' is no fault; the misfit of the model's exact shape is noise alone.
      {"misfit", "%", &channel_fit::misfit, false, true, 0.01, 100.0, std::nullopt, true},
      // Pedestals are set per chip within tens of counts; a chip whose baseline sits a few
      // counts from the others' is sound, whatever their spread.
      {"pedestal", "ADC", &channel_fit::pedestal, false, false, 25.0, 1.0, std::nullopt, true},
      {"headroom", "ADC", &channel_fit::headroom, false, false, 0.0, 1.0,
       quantity_range{default_min_headroom, std::numeric_limits<double>::infinity()}, true},
  }};
  return all;
}

std::optional<std::size_t> quantity_index(std::string_view name) {
  for (std::size_t q = 0; q < quantity_count; ++q)
    if (name == channel_quantities()[q].name) return q;
  return std::nullopt;
}

const std::array<characterisation_quantity, characterisation_quantity_count>&
characterisation_quantities() {
  static const std::array<characterisation_quantity, characterisation_quantity_count> all{{
      {"gain", "ADC/mV", &channel_characterisation::gain, true, false, 0.0},
      // Good chips' lines miss their three amplitudes by a few hundredths of a percent, so
      // their spread alone would flag a tenth of a percent; a front end within 1 % of a line
      // is linear for its use.
      {"nonlinearity", "%", &channel_characterisation::nonlinearity, false, true, 1.0},
      {"noise_mV", "mV", &channel_characterisation::noise_mV, true, true, 0.0},
      // Shapes that move by less than the 20 ns sampling step's tenth are the same shape.
      {"rise_time_spread", "ns", &channel_characterisation::rise_time_spread, false, true, 2.0},
      {"time_stamp_spread", "ns", &channel_characterisation::time_stamp_spread, false, true, 2.0},
  }};
  return all;
}

bool is_quantity_name(std::string_view name, bool characterisation) {
  if (!characterisation) return quantity_index(name).has_value();
  for (const characterisation_quantity& q : characterisation_quantities())
    if (name == q.name) return true;
  return false;
}

std::size_t quantity_order(std::string_view name) {
  if (std::optional<std::size_t> q = quantity_index(name)) return *q;
  for (std::size_t q = 0; q < characterisation_quantity_count; ++q)
    if (name == characterisation_quantities()[q].name) return quantity_count + q;
  return quantity_count + characterisation_quantity_count;
}
