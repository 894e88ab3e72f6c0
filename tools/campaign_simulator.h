#pragma once

#include <string>
#include <vector>

#include "recording_simulator.h"

// Simulated test campaigns: many chips of one design, so that their channels resemble each other
// as real chips' do, with a few faulty ones.

/// What is wrong with a simulated chip.
enum class chip_fault { none, dead_channel, saturated_channel, shifted };

/// The options of chip number `index` (0, 1, ...) of a campaign: every chip shares the design's
/// channel truths (drawn from seed 1) with a small spread of its own (0.5 % in amplitude and
/// rise time, 1 ns in time stamp) and its own noise. A dead chip has channel 13 dead, a
/// saturated one channel 5 saturated; a shifted chip has every time stamp 40 ns late.
simulation_options campaign_chip_options(int index, int events, const std::string& config,
                                         chip_fault fault);

/// The bench's name of chip `chip`'s recording in `config`:
/// "123510_korvi<chip>_dessel00_link00_<config>_adc.txt".
std::string campaign_recording_name(const std::string& chip, const std::string& config);

/// Writes `chips` recordings (chips 100000, 100001, ...) of `events` events into `folder`;
/// chips 1, 2 and 3 are dead, saturated and shifted when `faults` is set. Their paths; throws
/// std::runtime_error when one cannot be written.
std::vector<std::string> write_simulated_campaign(const std::string& folder, int chips, int events,
                                                  const std::string& config, bool faults);
