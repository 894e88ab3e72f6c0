#pragma once

#include <array>
#include <ctime>
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
  // The defects of real front ends and benches (front_end_defects):
  late_12ns,          ///< every time stamp 12 ns late
  low_channel,        ///< channel 22's amplitude 20 % lower
  negative_pulse,     ///< channel 11's pulse negative: -25 % of the other channels' mean height
  high_pedestal,      ///< channel 28's baseline at 3800 ADC counts, close to the 4095 ceiling
  long_gaps,          ///< gaps of 14 rows, reaching into the first pulse window at event row 11
  misshapen,          ///< channel 7's pulse of shaping order 2.5, far from the fit's model
  common_mode_noise,  ///< common-mode noise 4 times the channel noise
  missing_recording,  ///< no recording in the first configuration (several configurations only)
};

/// The fault planted on chip number `index` (0, 1, ...) of a campaign with faults; nonlinear and
/// low_gain_all only with `known_gains`: the `index`-th of classic_faults, none past them.
chip_fault planted_fault(int index, bool known_gains = false);

/// The faults that a campaign "with faults" plants, chip 100001 + i the i-th: dead_channel to
/// noisy_4x, then with `known_gains` nonlinear and low_gain_all.
std::vector<chip_fault> classic_faults(bool known_gains);

/// The defects of real front ends, late_12ns to common_mode_noise, then missing_recording when
/// the campaign has `several_configs`.
std::vector<chip_fault> front_end_defects(bool several_configs);

/// The front-end defects, one line each ("  name: what"), newline-ended, for --help.
std::string front_end_defects_help();

/// The fault's name in faults.tsv: "dead_channel", "saturated_channel", "late", "slow", ...,
/// "noisy_4x", "nonlinear", "low_gain_all", "late_12ns", ..., "missing_recording" (the
/// enumerator's name); "none" for none.
std::string fault_name(chip_fault fault);

/// The faults that "NAME,NAME,..." lists, in order: fault names (fault_name; "none" leaves a
/// chip good), "classic" for classic_faults and "realistic" for front_end_defects. Nothing, with
/// the reason in `why`, for an unknown name or a fault the campaign cannot have (nonlinear and
/// low_gain_all need `known_gains`, missing_recording `several_configs`).
std::optional<std::vector<chip_fault>> parse_fault_list(const std::string& list, bool known_gains,
                                                        bool several_configs, std::string& why);

/// The chip-to-chip differences of a realistic campaign (Gaussian sigmas).
struct chip_spread {
  double chip_gain = 0.03;          ///< the chip's gain offset, fraction (all its channels)
  double chip_time_stamp = 2.0;     ///< the chip's time-stamp offset, ns
  double chip_peak_time = 0.015;    ///< the chip's peak-time offset, fraction
  double channel_gain = 0.01;       ///< a channel's own gain spread within its chip, fraction
  double channel_peak_time = 0.01;  ///< a channel's own peak-time spread, fraction
  double channel_time_stamp = 1.0;  ///< a channel's own time-stamp spread, ns
};

/// The spreads of realistic campaigns.
inline constexpr chip_spread realistic_chip_spread{};

/// What a campaign plants and how real its chips are.
struct campaign_setup {
  std::vector<chip_fault> faults;  ///< chip 100001 + i has faults[i]; the others none
  bool realistic = false;  ///< chips spread as realistic_chip_spread, with the front-end preset
};

/// The configuration a wrong_config chip of a campaign in `config` is recorded with:
/// "4mV_delay-all", or "20mV_delay-all" when the campaign's is that one.
std::string other_config(const std::string& config);

/// The options of chip number `index` (0, 1, ...) of a campaign: every chip shares the design's
/// channel truths (drawn from seed 1) with a small spread of its own (0.5 % in amplitude and
/// rise time, 1 ns in time stamp) and its own noise draws, changed as `fault` says. Faults of
/// the file (cut, junk), retested and missing_recording leave the options as a good chip's.
/// `realistic` spreads the chips as realistic_chip_spread says instead and adds the front-end
/// preset (front_end_preset.h): the design's order from seed 1, the rest from the chip's seed.
simulation_options campaign_chip_options(int index, int events, const std::string& config,
                                         chip_fault fault, bool realistic = false);

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
/// As above, with the faults and realism of `setup`; faults.tsv is written when it has faults.
/// Throws std::invalid_argument for missing_recording, which needs several configurations.
std::vector<std::string> write_simulated_campaign(const std::string& folder, int chips, int events,
                                                  const std::string& config,
                                                  const campaign_setup& setup);

/// The first of `configs` whose name gives no injected amplitude (see injected_mv); nothing when
/// every one has one.
std::optional<std::string> config_without_amplitude(const std::vector<std::string>& configs);

/// Chip number `index`'s gains by channel, ADC counts per mV, with `fault`: the design's (drawn
/// from seed 1, 15 to 40) with the chip's 0.5 % spread, the same draws as campaign_chip_options';
/// the non-linear channel's is its small-signal gain.
std::array<double, 32> campaign_chip_gains(int index, chip_fault fault, bool realistic = false);

/// campaign_chip_options in `config` of a campaign with known gains whose injected amplitudes
/// span `smallest_mv` to `largest_mv`: every amplitude is the channel's gain times `config`'s
/// injected mV (softly saturated for nonlinear). Throws std::invalid_argument when `config`
/// has no injected amplitude.
simulation_options gain_chip_options(int index, int events, const std::string& config,
                                     double smallest_mv, double largest_mv, chip_fault fault,
                                     bool realistic = false);

/// When a simulated retest is recorded (its file's modification time), seconds since the epoch:
/// two hours ago, or 22:00 UTC the day before in the first two hours after midnight, so that its
/// aborted try, an hour later, is on the same day; the names then decide which one counts.
std::time_t simulated_retest_time();

/// Writes every chip's recording in every one of `configs`, as write_simulated_campaign does one,
/// but with gain_chip_options, and `folder`/gains.tsv: a header "chip\tchannel\tgain\tnoise",
/// then one line per chip and channel, gain in ADC counts per mV (0 where no pulse shows: dead,
/// saturated, stuck) and noise in ADC counts (0 where none shows: saturated, stuck). With `faults`
/// each faulty chip has its fault in every configuration, but cut, junk, few_events and retested
/// only in the last. Throws std::invalid_argument when a configuration has no injected
/// amplitude, std::runtime_error when a file cannot be written.
std::vector<std::string> write_gain_campaign(const std::string& folder, int chips, int events,
                                             const std::vector<std::string>& configs, bool faults);
/// As above, with the faults and realism of `setup`. A missing_recording chip has no recording
/// in the first configuration; faults.tsv names the path it would have had.
std::vector<std::string> write_gain_campaign(const std::string& folder, int chips, int events,
                                             const std::vector<std::string>& configs,
                                             const campaign_setup& setup);
