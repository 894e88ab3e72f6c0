#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tools/recording_simulator.h"

// Simulated test campaigns: many chips of one design, so that their channels resemble each other
// as real chips' do, with a few faulty ones.

/// What is wrong with a simulated chip. With faults, chip 100000 + i has the i-th of these
/// (chip 100001 a dead channel, ..., chip 100015 noise 4 times the others'; in a campaign with
/// known gains also 100016 non-linear and 100017 low gain throughout); the rest none.
enum class chip_fault {
  none,
  dead_channel,       ///< channel 13 dead
  saturated_channel,  ///< channel 5 saturated
  late,               ///< every time stamp 40 ns late
  slow,               ///< every channel's peak time 15 % longer
  low_gain,           ///< channel 9's amplitude 25 % lower
  noisy,              ///< noise 8 times the others'
  stuck,              ///< channel 20 reads one constant value
  cut,                ///< the file cut inside a row at 45 % of its bytes
  junk,               ///< 4 KiB of non-numeric text in the middle of the file
  few_events,         ///< only 6 events
  wrong_config,       ///< recorded with another configuration's timing, named as the campaign's
  retested,           ///< an aborted try of 3 events, then a complete retest with a later name
  slightly_late,      ///< every time stamp 8 ns late
  two_dead,           ///< channels 3 and 9 dead
  noisy_4x,           ///< noise 4 times the others'
  nonlinear,          ///< channel 17 saturates softly: 10 % low at the largest injected mV
  low_gain_all,       ///< channel 9's gain 25 % lower in every configuration
};

/// The fault planted on chip number `index` (0, 1, ...) of a campaign with faults; nonlinear and
/// low_gain_all only with `known_gains`.
chip_fault planted_fault(int index, bool known_gains = false);

/// The fault's name in faults.tsv: "dead_channel", "saturated_channel", "late", "slow", ...,
/// "noisy_4x", "nonlinear", "low_gain_all" (the enumerator's name); "none" for none.
std::string fault_name(chip_fault fault);

/// The configuration a wrong_config chip of a campaign in `config` is recorded with:
/// "4mV_delay-all", or "20mV_delay-all" when the campaign's is that one.
std::string other_config(const std::string& config);

/// The options of chip number `index` (0, 1, ...) of a campaign: every chip shares the design's
/// channel truths (drawn from seed 1) with a small spread of its own (0.5 % in amplitude and
/// rise time, 1 ns in time stamp) and its own noise draws, changed as `fault` says. Faults of
/// the file (cut, junk) and retested leave the options as a good chip's.
simulation_options campaign_chip_options(int index, int events, const std::string& config,
                                         chip_fault fault);

/// The bench's name of chip `chip`'s recording in `config`, started at `time` (HHMMSS):
/// "<time>_korvi<chip>_dessel00_link00_<config>_adc.txt".
std::string campaign_recording_name(const std::string& chip, const std::string& config,
                                    const std::string& time = "123510");

/// Writes `chips` recordings (chips 100000, 100001, ...) of `events` events into `folder`,
/// which is made when missing; with `faults` chips 1 to 15 have the faults of chip_fault, in its
/// order, and `folder`/faults.tsv lists them: a header "chip\tconfig\tfault\tpath", then one line
/// per fault with its recording's path (the aborted try's for retested). The recordings' paths,
/// a retested chip's aborted try first; throws std::runtime_error when one cannot be written.
std::vector<std::string> write_simulated_campaign(const std::string& folder, int chips, int events,
                                                  const std::string& config, bool faults);

/// The first of `configs` whose name gives no injected amplitude (see injected_mv); nothing when
/// every one has one.
std::optional<std::string> config_without_amplitude(const std::vector<std::string>& configs);

/// Chip number `index`'s gains by channel, ADC counts per mV, with `fault`: the design's (drawn
/// from seed 1, 15 to 40) with the chip's 0.5 % spread, the same draws as campaign_chip_options';
/// the non-linear channel's is its small-signal gain.
std::array<double, 32> campaign_chip_gains(int index, chip_fault fault);

/// campaign_chip_options in `config` of a campaign with known gains whose injected amplitudes
/// span `smallest_mv` to `largest_mv`: every amplitude is the channel's gain times `config`'s
/// injected mV (softly saturated for nonlinear). Throws std::invalid_argument when `config`
/// has no injected amplitude.
simulation_options gain_chip_options(int index, int events, const std::string& config,
                                     double smallest_mv, double largest_mv, chip_fault fault);

/// Writes every chip's recording in every one of `configs`, as write_simulated_campaign does one,
/// but with gain_chip_options, and `folder`/gains.tsv: a header "chip\tchannel\tgain\tnoise",
/// then one line per chip and channel, gain in ADC counts per mV (0 where no pulse shows: dead,
/// saturated, stuck) and noise in ADC counts (0 where none shows: saturated, stuck). With `faults`
/// each faulty chip has its fault in every configuration, but cut, junk, few_events and retested
/// only in the last. Throws std::invalid_argument when a configuration has no injected
/// amplitude, std::runtime_error when a file cannot be written.
std::vector<std::string> write_gain_campaign(const std::string& folder, int chips, int events,
                                             const std::vector<std::string>& configs, bool faults);
