#include "campaign/judge/characterisation.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include "campaign/judge/channel_quantities.h"
#include "campaign/judge/reason_text.h"
#include "campaign/judge/robust_rule.h"
#include "common/number_text.h"
#include "numerics/line_fit.h"
#include "reconstruction/recording_format.h"

namespace {

// 1 mV on 1 fF is 1e-18 C, a thousandth of a fC, or this many electrons.
constexpr double electrons_per_mV_fF = 1e-18 / 1.602176634e-19;

// One configuration's measurement of a channel.
struct measurement {
  double mV, amplitude, amplitude_err, noise, rise_time, time_stamp;
};

channel_characterisation figures_of(const std::string& chip, int channel,
                                    const std::vector<measurement>& ms,
                                    std::optional<double> capacitance_fF) {
  channel_characterisation c;
  c.chip = chip;
  c.channel = channel;
  c.configurations = static_cast<int>(ms.size());
  if (ms.size() < 2) {
    c.reason = "a good fit in " + std::to_string(ms.size()) +
               (ms.size() == 1 ? " configuration" : " configurations") +
               " with a known injected amplitude, at least 2 are needed";
    return c;
  }
  std::vector<double> x, y, sigma;
  for (const measurement& m : ms) {
    x.push_back(m.mV);
    y.push_back(m.amplitude);
    sigma.push_back(m.amplitude_err);
  }
  std::optional<line_fit> line = fit_line(x, y, sigma);
  if (!line) {
    c.reason = "the amplitudes' errors or injected amplitudes allow no straight line";
    return c;
  }
  c.gain = line->slope;
  c.gain_err = line->slope_err;
  c.offset = line->intercept;
  double largest = 0, distance = 0, noise = 0;
  int noises = 0;
  auto [rise_low, rise_high] = std::minmax_element(
      ms.begin(), ms.end(), [](auto& a, auto& b) { return a.rise_time < b.rise_time; });
  auto [ts_low, ts_high] = std::minmax_element(
      ms.begin(), ms.end(), [](auto& a, auto& b) { return a.time_stamp < b.time_stamp; });
  for (const measurement& m : ms) {
    largest = std::max(largest, std::fabs(m.amplitude));
    distance = std::max(distance, std::fabs(m.amplitude - (c.offset + c.gain * m.mV)));
    if (std::isfinite(m.noise)) noise += m.noise, ++noises;
  }
  c.nonlinearity = largest > 0 ? 100.0 * distance / largest : channel_characterisation::none;
  if (noises > 0 && c.gain > 0) c.noise_mV = noise / noises / c.gain;
  if (capacitance_fF) {
    c.gain_fC = c.gain * 1000.0 / *capacitance_fF;
    c.noise_e = c.noise_mV * *capacitance_fF * electrons_per_mV_fF;
  }
  c.rise_time_spread = rise_high->rise_time - rise_low->rise_time;
  c.time_stamp_spread = ts_high->time_stamp - ts_low->time_stamp;
  return c;
}

}  // namespace

std::optional<injection> injection_of(const std::string& config, const acceptance_limits& limits) {
  auto named = limits.configs.find(config);
  if (named != limits.configs.end() && named->second.injection_mV)
    return injection{*named->second.injection_mV, false};
  if (config.empty() || !(std::isdigit(static_cast<unsigned char>(config[0])))) return std::nullopt;
  char* end = nullptr;
  double mV = std::strtod(config.c_str(), &end);
  if (!end || std::string_view(end).substr(0, 2) != "mV" || !(mV > 0)) return std::nullopt;
  return injection{mV, true};
}

std::vector<std::string> characterisation_notes(const std::vector<std::string>& configs,
                                                const acceptance_limits& limits) {
  std::vector<std::string> notes;
  for (const std::string& config : configs) {
    std::optional<injection> in = injection_of(config, limits);
    if (!in)
      notes.push_back(config + ": no known injected amplitude, left out");
    else if (in->assumed)
      notes.push_back(config + ": injected amplitude " + significant_text(in->mV) +
                      " mV, assumed from its name");
  }
  return notes;
}

std::vector<channel_characterisation> characterise_chip(
    const std::vector<const stored_recording*>& current,
    const std::map<std::string, population_stats>& populations, const acceptance_limits& limits) {
  std::map<int, std::vector<measurement>> channels;
  bool characterised = false;
  for (const stored_recording* r : current) {
    std::optional<injection> in = injection_of(r->config, limits);
    auto population = populations.find(r->config);
    if (!in || population == populations.end()) continue;
    characterised = true;
    auto config = limits.configs.find(r->config);
    std::optional<int> min_events =
        config == limits.configs.end() ? std::nullopt : config->second.min_events;
    if (!recording_problems(*r, population->second.usual_events, min_events).empty()) continue;
    for (const stored_channel& c : r->channels)
      if (c.fit.verdict == fit_verdict::good)
        channels[c.channel].push_back({in->mV, c.fit.amplitude, c.fit.amplitude_err, c.fit.noise,
                                       c.fit.peak_time, c.fit.time_stamp});
  }
  std::vector<channel_characterisation> out;
  if (!characterised) return out;
  for (int ch = 0; ch < channel_count; ++ch) {
    auto it = channels.find(ch);
    out.push_back(figures_of(current.front()->chip, ch,
                             it == channels.end() ? std::vector<measurement>{} : it->second,
                             limits.capacitance_fF));
  }
  return out;
}

campaign_characterisation characterise(const std::vector<stored_recording>& recordings,
                                       const acceptance_limits& limits) {
  campaign_characterisation out;
  std::map<std::string, population_stats> populations;
  std::vector<std::string> configs;
  for (auto& [config, population] : campaign_populations(recordings, limits)) {
    configs.push_back(config);
    populations[config] = population;
  }
  out.notes = characterisation_notes(configs, limits);
  std::map<std::string, std::vector<const stored_recording*>> by_chip;
  for (const stored_recording& r : recordings)
    if (r.current) by_chip[r.chip].push_back(&r);
  for (auto& [chip, current] : by_chip) {
    std::sort(
        current.begin(), current.end(),
        [](const stored_recording* a, const stored_recording* b) { return a->config < b->config; });
    for (channel_characterisation& c : characterise_chip(current, populations, limits))
      out.channels.push_back(std::move(c));
  }
  return out;
}

std::vector<chip_verdict> judge_characterisation(
    const std::vector<channel_characterisation>& channels, const acceptance_limits& limits) {
  std::vector<std::string> chips;
  for (const channel_characterisation& c : channels)
    if (chips.empty() || chips.back() != c.chip) chips.push_back(c.chip);
  std::array<double, channel_count> none;
  none.fill(channel_characterisation::none);
  std::vector<robust_deviations> robust;
  for (const characterisation_quantity& q : characterisation_quantities()) {
    chip_channel_values values(chips.size(), none);
    for (size_t i = 0, chip = 0; i < channels.size(); ++i) {
      if (channels[i].chip != chips[chip]) ++chip;
      values[chip][static_cast<size_t>(channels[i].channel)] = channels[i].*q.value;
    }
    robust.push_back(robust_deviations_of(values, q.relative));
  }
  std::vector<chip_verdict> out;
  for (size_t chip = 0; chip < chips.size(); ++chip) {
    chip_verdict v;
    v.chip = chips[chip];
    v.config = "characterisation";
    v.max_flagged_channels = limits.max_flagged_channels;
    std::map<std::string, std::vector<int>> missed;
    for (const channel_characterisation& c : channels) {
      if (c.chip != v.chip) continue;
      if (!c.reason.empty()) {
        missed["no figures: " + c.reason].push_back(c.channel);
        continue;
      }
      for (size_t q = 0; q < characterisation_quantity_count; ++q) {
        const characterisation_quantity& quantity = characterisation_quantities()[q];
        robust_limit limit{robust[q].sigma, limits.k, quantity.least_limit, quantity.upper_only};
        const judged_value j{c.channel,
                             {quantity.name, quantity.unit, quantity.relative, 1.0},
                             c.*quantity.value,
                             limits.characterisation.range_for(c.channel, quantity.name),
                             limits.characterisation.robust,
                             robust[q].deviation[chip][static_cast<size_t>(c.channel)],
                             limit};
        if (!judge_value(j, v.flags))
          missed["fewer than " + std::to_string(min_robust_chips) +
                 " chips with figures to compare " + quantity.name + " with"]
              .push_back(c.channel);
      }
    }
    std::vector<std::string> unjudged;
    for (const auto& [why, chs] : missed) unjudged.push_back(channels_text(chs) + ": " + why);
    decide_outcome(v, unjudged);
    out.push_back(std::move(v));
  }
  return out;
}
