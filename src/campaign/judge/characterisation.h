#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "campaign/judge/acceptance.h"
#include "campaign/judge/acceptance_limits.h"
#include "campaign/model/channel_characterisation.h"
#include "campaign/model/stored_recording.h"

/// The injected test pulse of a configuration.
struct injection {
  double mV = 0.0;
  bool assumed = false;  ///< taken from the configuration's name, not from the limits
};

/// The injected amplitude of `config`: its `injection_mV` in `limits`, else the number its name
/// begins with when "mV" follows it ("4mV_delay-all": 4 mV, assumed); none otherwise.
std::optional<injection> injection_of(const std::string& config, const acceptance_limits& limits);

/// Every chip's channels characterised across configurations.
struct campaign_characterisation {
  std::vector<channel_characterisation> channels;  ///< by chip, then channel 0..31
  std::vector<std::string> notes;  ///< amplitudes assumed from names, configurations left out
};

/// Characterises each chip's channels over its current recordings without a problem in the
/// configurations with a known injected amplitude; a channel enters from each configuration
/// where its fit verdict is "good". Gain and offset come from a straight line fitted to the
/// amplitudes against the injected amplitudes, weighted by the amplitudes' errors; the
/// non-linearity is the largest distance of an amplitude from that line in % of the largest
/// amplitude; the noise in mV is the mean noise over the configurations divided by the gain
/// (in fC and electrons with `limits.capacitance_fF`); the spreads are the largest less the
/// smallest rise time and time stamp. Fewer than two configurations: no figures, and the reason.
campaign_characterisation characterise(const std::vector<stored_recording>& recordings,
                                       const acceptance_limits& limits);

/// The notes of characterise for the campaign's configurations `configs`: those left out for
/// want of a known injected amplitude, and those whose amplitude is assumed from the name.
std::vector<std::string> characterisation_notes(const std::vector<std::string>& configs,
                                                const acceptance_limits& limits);

/// The figures of one chip's channels, as characterise makes them, from its current recordings
/// `current` in every configuration, sorted by configuration; `populations` are the statistics
/// of each configuration. None when no recording is in a configuration with a known injected
/// amplitude.
std::vector<channel_characterisation> characterise_chip(
    const std::vector<const stored_recording*>& current,
    const std::map<std::string, population_stats>& populations, const acceptance_limits& limits);

/// Judges each chip's figures as judge_campaign judges a configuration's results: a channel is
/// flagged when a figure leaves the range of `limits.characterisation`, or, without one, lies
/// more than k robust standard deviations from the other chips (the gain both ways, the others
/// only above). The verdicts' configuration is "characterisation".
std::vector<chip_verdict> judge_characterisation(
    const std::vector<channel_characterisation>& channels, const acceptance_limits& limits);
