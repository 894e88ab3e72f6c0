#include "tools/campaign_simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "common/number_text.h"
#include "tools/channel_response.h"
#include "tools/front_end_preset.h"

namespace fs = std::filesystem;

std::time_t simulated_retest_time() {
  const std::time_t now = std::time(nullptr);
  const std::time_t midnight = now - now % 86400;
  // Within two hours after midnight the two hours back would put the retest on the day before
  // its aborted try, whose later date would then make it the one that counts.
  return now - midnight < 2 * 3600 ? midnight - 2 * 3600 : now - 2 * 3600;
}

namespace {

constexpr const char* fault_names[] = {"none",
                                       "dead_channel",
                                       "saturated_channel",
                                       "late",
                                       "slow",
                                       "low_gain",
                                       "noisy",
                                       "stuck",
                                       "cut",
                                       "junk",
                                       "few_events",
                                       "wrong_config",
                                       "retested",
                                       "slightly_late",
                                       "two_dead",
                                       "noisy_4x",
                                       "nonlinear",
                                       "low_gain_all",
                                       "late_12ns",
                                       "low_channel",
                                       "negative_pulse",
                                       "high_pedestal",
                                       "long_gaps",
                                       "misshapen",
                                       "common_mode_noise",
                                       "missing_recording"};
constexpr int fault_count = sizeof fault_names / sizeof fault_names[0];
static_assert(fault_count == static_cast<int>(chip_fault::missing_recording) + 1);
// The faults that only a campaign with known gains plants, from this one on, up to the
// front-end defects.
constexpr int first_gain_fault = static_cast<int>(chip_fault::nonlinear);
constexpr int first_front_end_defect = static_cast<int>(chip_fault::late_12ns);
constexpr int nonlinear_channel = 17;

// The front-end defects' channels and sizes.
constexpr int low_channel = 22, negative_channel = 11, high_pedestal_channel = 28;
constexpr int misshapen_channel = 7;
constexpr double low_channel_factor = 0.8, negative_pulse_fraction = -0.25;
constexpr double high_pedestal = 3800, misshapen_order = 2.5, common_mode_of_noise = 4;
constexpr int long_gap_rows = 14;

// The amplitudes, noise and channel flags campaign_chip_options gives do not depend on the
// configuration: this one stands for any.
const std::string any_config = "20mV_delay-all";

// The bench's start time of every recording but a retested chip's.
const std::string bench_time = "123510";

double time_stamp_shift(chip_fault fault) {
  switch (fault) {
    case chip_fault::late:
      return 40.0;
    case chip_fault::slightly_late:
      return 8.0;
    case chip_fault::late_12ns:
      return 12.0;
    default:
      return 0.0;
  }
}

// The mean amplitude of `o`'s channels but `skip`, ADC counts.
double mean_amplitude_but(const simulation_options& o, int skip) {
  double sum = 0;
  for (int ch = 0; ch < 32; ++ch)
    if (ch != skip) sum += o.channels[ch].amplitude;
  return sum / 31;
}

// The same design's channels on another chip: each truth moved by the chip's own small spread.
void spread_as_before(simulation_options& o) {
  std::mt19937_64 random(o.seed);
  std::normal_distribution<double> unit(0.0, 1.0);
  for (channel_truth& c : o.channels) {
    c.amplitude *= 1.0 + 0.005 * unit(random);
    c.peak_time *= 1.0 + 0.005 * unit(random);
    c.time_stamp += unit(random);
  }
}

// As real chips differ: a chip-wide offset, then each channel's own spread, and the front end's
// departures from the model.
void spread_as_real_chips(simulation_options& o) {
  const chip_spread& s = realistic_chip_spread;
  std::mt19937_64 random(o.seed ^ 0x94d049bb133111ebULL);
  std::normal_distribution<double> unit(0.0, 1.0);
  const double gain = 1 + s.chip_gain * unit(random), time = s.chip_time_stamp * unit(random);
  const double peak = 1 + s.chip_peak_time * unit(random);
  for (channel_truth& c : o.channels) {
    c.amplitude *= gain * (1 + s.channel_gain * unit(random));
    c.peak_time *= peak * (1 + s.channel_peak_time * unit(random));
    c.time_stamp += time + s.channel_time_stamp * unit(random);
  }
  // One design: its order comes from the design's seed, the channels' spread from the chip's.
  draw_front_end(o, draw_design_order(1), o.seed);
}

// The front-end defects' changes to `o`.
void plant_front_end_defect(simulation_options& o, chip_fault fault) {
  switch (fault) {
    case chip_fault::low_channel:
      o.channels[low_channel].amplitude *= low_channel_factor;
      break;
    case chip_fault::negative_pulse:
      o.channels[negative_channel].amplitude =
          negative_pulse_fraction * mean_amplitude_but(o, negative_channel);
      break;
    case chip_fault::high_pedestal:
      o.channels[high_pedestal_channel].baseline = high_pedestal;
      break;
    case chip_fault::long_gaps:
      o.gap_rows = long_gap_rows;
      break;
    case chip_fault::misshapen:
      o.channels[misshapen_channel].order = misshapen_order;
      break;
    case chip_fault::common_mode_noise:
      o.common_mode = common_mode_of_noise * o.noise;
      break;
    default:
      break;
  }
}

// The reason goes with the path: errno as the failed call left it.
[[noreturn]] void cannot_write(const std::string& path) {
  throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

void write_text(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) cannot_write(path);
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !written) cannot_write(path);
}

void write_options(const std::string& path, const simulation_options& o) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (!f) cannot_write(path);
  const bool written = write_recording(o, f);
  if (std::fclose(f) != 0 || !written) cannot_write(path);
}

// Cut at the first space at or after 45 % of the bytes: the values before it stay whole and the
// rest of their row is gone, so the last row is short of values wherever the 45 % falls.
std::string cut_inside_a_row(std::string text) {
  const size_t at = text.find(' ', text.size() * 45 / 100);
  if (at != std::string::npos) text.resize(at);
  return text;
}

// Lines of letters alone from the first line start past the middle: no value can be read from
// them, so reading stops where they begin.
std::string with_junk_in_the_middle(const std::string& text) {
  const size_t junk_bytes = 4096;
  std::string junk;
  while (junk.size() < junk_bytes) junk += "transfer error, buffer overrun\n";
  junk.resize(junk_bytes - 1);
  junk += '\n';
  size_t at = text.find('\n', text.size() / 2);
  at = at == std::string::npos ? text.size() : at + 1;
  return text.substr(0, at) + junk + text.substr(at);
}

// The aborted try is given the later modification time, as when it is copied off the bench after
// its retest: which one counts must come from the names.
void set_retest_times(const std::string& aborted, const std::string& retest) {
  const std::time_t now = std::time(nullptr), at = simulated_retest_time();
  const fs::file_time_type retest_time =
      fs::file_time_type::clock::now() - std::chrono::seconds(now - at);
  std::error_code ec;
  fs::last_write_time(retest, retest_time, ec);
  if (!ec) fs::last_write_time(aborted, retest_time + std::chrono::hours(1), ec);
  if (ec) throw std::runtime_error("cannot set the time of " + aborted + ": " + ec.message());
}

// Writes chip `index`'s recordings in `config`, simulated with `o`; their paths, the one
// faults.tsv names first.
std::vector<std::string> write_chip(const std::string& folder, int index, const std::string& config,
                                    const simulation_options& o, chip_fault fault) {
  const std::string chip = std::to_string(100000 + index);
  auto path_at = [&](const std::string& time) {
    return folder + "/" + campaign_recording_name(chip, config, time);
  };
  const std::string path = path_at(bench_time);
  switch (fault) {
    case chip_fault::cut:
      write_text(path, cut_inside_a_row(simulate_recording(o)));
      return {path};
    case chip_fault::junk:
      write_text(path, with_junk_in_the_middle(simulate_recording(o)));
      return {path};
    case chip_fault::retested: {
      simulation_options aborted = o;
      aborted.events = 3;
      const std::string first = path_at("120000"), retest = path_at("130000");
      write_options(first, aborted);
      write_options(retest, o);
      set_retest_times(first, retest);
      return {first, retest};
    }
    default:
      write_options(path, o);
      return {path};
  }
}

std::string fault_line(int index, const std::string& config, chip_fault fault,
                       const std::string& path) {
  return std::to_string(100000 + index) + "\t" + config + "\t" + fault_name(fault) + "\t" + path +
         "\n";
}

void make_folder(const std::string& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw std::runtime_error("cannot make " + folder + ": " + ec.message());
}

// Faults of the recording rather than of the chip: a campaign of several configurations has them
// in its last one only, as a bench mishap happens in one run.
bool of_one_run(chip_fault fault) {
  return fault == chip_fault::cut || fault == chip_fault::junk || fault == chip_fault::few_events ||
         fault == chip_fault::retested;
}

// The gains the amplitudes of `o` make, which campaign_chip_options draws at reference_mv.
std::array<double, 32> gains_of(const simulation_options& o) {
  std::array<double, 32> gains{};
  for (size_t ch = 0; ch < gains.size(); ++ch) gains[ch] = o.channels[ch].amplitude / reference_mv;
  return gains;
}

// gains.tsv's numbers, to the 17 digits that read back as the same double.
constexpr int tsv_digits = 17;

// gains.tsv's lines of chip `index`.
std::string gain_lines(int index, chip_fault fault, bool realistic) {
  const simulation_options o = campaign_chip_options(index, 1, any_config, fault, realistic);
  const std::array<double, 32> gains = gains_of(o);
  std::string lines;
  for (size_t ch = 0; ch < gains.size(); ++ch) {
    const channel_truth& c = o.channels[ch];
    const bool no_noise = c.saturated || c.stuck;
    lines += std::to_string(100000 + index) + "\t" + std::to_string(ch) + "\t" +
             significant_text(no_noise || c.dead ? 0.0 : gains[ch], tsv_digits) + "\t" +
             significant_text(no_noise ? 0.0 : o.noise, tsv_digits) + "\n";
  }
  return lines;
}

// The fault `setup` plants on chip number `index`.
chip_fault fault_of(const campaign_setup& setup, int index) {
  return index > 0 && index <= static_cast<int>(setup.faults.size()) ? setup.faults[index - 1]
                                                                     : chip_fault::none;
}

// The setup that the plain "with faults" or without faults stands for.
campaign_setup classic_setup(bool faults, bool known_gains) {
  return {faults ? classic_faults(known_gains) : std::vector<chip_fault>{}, false};
}

}  // namespace

chip_fault planted_fault(int index, bool known_gains) {
  const std::vector<chip_fault> planted = classic_faults(known_gains);
  return index > 0 && index <= static_cast<int>(planted.size()) ? planted[index - 1]
                                                                : chip_fault::none;
}

std::vector<chip_fault> classic_faults(bool known_gains) {
  std::vector<chip_fault> faults;
  const int last = known_gains ? first_front_end_defect : first_gain_fault;
  for (int f = 1; f < last; ++f) faults.push_back(static_cast<chip_fault>(f));
  return faults;
}

std::vector<chip_fault> front_end_defects(bool several_configs) {
  std::vector<chip_fault> faults;
  const int last = static_cast<int>(chip_fault::missing_recording) + (several_configs ? 1 : 0);
  for (int f = first_front_end_defect; f < last; ++f) faults.push_back(static_cast<chip_fault>(f));
  return faults;
}

std::string front_end_defects_help() {
  using std::to_string;
  return "  late_12ns: every time stamp " +
         significant_text(time_stamp_shift(chip_fault::late_12ns)) +
         " ns late\n  low_channel: channel " + to_string(low_channel) + "'s amplitude " +
         significant_text(100 * (1 - low_channel_factor)) + " % lower\n  negative_pulse: channel " +
         to_string(negative_channel) + "'s pulse negative, " +
         significant_text(100 * negative_pulse_fraction) +
         " % of the others' mean height\n  high_pedestal: channel " +
         to_string(high_pedestal_channel) + "'s baseline at " + significant_text(high_pedestal) +
         " ADC counts\n  long_gaps: gaps of " + to_string(long_gap_rows) +
         " rows, reaching into the first pulse window\n  misshapen: channel " +
         to_string(misshapen_channel) + "'s pulse of shaping order " +
         significant_text(misshapen_order) + "\n  common_mode_noise: common-mode noise " +
         significant_text(common_mode_of_noise) +
         " times the channel noise\n"
         "  missing_recording: with several --configs, none in the first one\n";
}

std::optional<std::vector<chip_fault>> parse_fault_list(const std::string& list, bool known_gains,
                                                        bool several_configs, std::string& why) {
  std::vector<chip_fault> faults;
  for (size_t from = 0; from <= list.size();) {
    const size_t comma = std::min(list.find(',', from), list.size());
    const std::string name = list.substr(from, comma - from);
    from = comma + 1;
    std::vector<chip_fault> named;
    if (name == "classic") {
      named = classic_faults(known_gains);
    } else if (name == "realistic") {
      named = front_end_defects(several_configs);
    } else {
      const auto* found = std::find(std::begin(fault_names), std::end(fault_names), name);
      if (found == std::end(fault_names)) {
        why = "unknown fault \"" + name + "\"";
        return {};
      }
      named = {static_cast<chip_fault>(found - std::begin(fault_names))};
    }
    for (chip_fault f : named) {
      const bool needs_gains = f == chip_fault::nonlinear || f == chip_fault::low_gain_all;
      if ((needs_gains && !known_gains) ||
          (f == chip_fault::missing_recording && !several_configs)) {
        why = "fault " + fault_name(f) + " needs " +
              (needs_gains ? "a campaign with --configs" : "several configurations");
        return {};
      }
    }
    faults.insert(faults.end(), named.begin(), named.end());
  }
  return faults;
}

std::string fault_name(chip_fault fault) {
  return fault_names[static_cast<int>(fault)];
}

std::string other_config(const std::string& config) {
  return config == "4mV_delay-all" ? "20mV_delay-all" : "4mV_delay-all";
}

simulation_options campaign_chip_options(int index, int events, const std::string& config,
                                         chip_fault fault, bool realistic) {
  simulation_options o = realistic_options(events, config, 1);
  o.seed = 1000 + static_cast<uint64_t>(index);
  if (realistic)
    spread_as_real_chips(o);
  else
    spread_as_before(o);
  for (channel_truth& c : o.channels) {
    c.time_stamp += time_stamp_shift(fault);
    if (fault == chip_fault::slow) c.peak_time *= 1.15;
  }
  plant_front_end_defect(o, fault);
  switch (fault) {
    case chip_fault::dead_channel:
      o.channels[13].dead = true;
      break;
    case chip_fault::saturated_channel:
      o.channels[5].saturated = true;
      break;
    case chip_fault::low_gain:
    case chip_fault::low_gain_all:
      o.channels[9].amplitude *= 0.75;
      break;
    case chip_fault::noisy:
      o.noise *= 8;
      break;
    case chip_fault::stuck:
      o.channels[20].stuck = true;
      break;
    case chip_fault::few_events:
      o.events = 6;
      break;
    case chip_fault::wrong_config:
      o.config = other_config(config);
      break;
    case chip_fault::two_dead:
      o.channels[3].dead = o.channels[9].dead = true;
      break;
    case chip_fault::noisy_4x:
      o.noise *= 4;
      break;
    default:
      break;
  }
  return o;
}

std::string campaign_recording_name(const std::string& chip, const std::string& config,
                                    const std::string& time) {
  return time + "_korvi" + chip + "_dessel00_link00_" + config + "_adc.txt";
}

std::vector<std::string> write_simulated_campaign(const std::string& folder, int chips, int events,
                                                  const std::string& config, bool faults) {
  return write_simulated_campaign(folder, chips, events, config, classic_setup(faults, false));
}

std::vector<std::string> write_simulated_campaign(const std::string& folder, int chips, int events,
                                                  const std::string& config,
                                                  const campaign_setup& setup) {
  if (std::count(setup.faults.begin(), setup.faults.end(), chip_fault::missing_recording))
    throw std::invalid_argument("fault missing_recording needs several configurations");
  make_folder(folder);
  std::vector<std::string> paths;
  std::string listing = "chip\tconfig\tfault\tpath\n";
  for (int i = 0; i < chips; ++i) {
    const chip_fault fault = fault_of(setup, i);
    std::vector<std::string> written = write_chip(
        folder, i, config, campaign_chip_options(i, events, config, fault, setup.realistic), fault);
    if (fault != chip_fault::none) listing += fault_line(i, config, fault, written.front());
    paths.insert(paths.end(), written.begin(), written.end());
  }
  if (!setup.faults.empty()) write_text(folder + "/faults.tsv", listing);
  return paths;
}

std::optional<std::string> config_without_amplitude(const std::vector<std::string>& configs) {
  for (const std::string& config : configs)
    if (!injected_mv(config)) return config;
  return {};
}

std::array<double, 32> campaign_chip_gains(int index, chip_fault fault, bool realistic) {
  return gains_of(campaign_chip_options(index, 1, any_config, fault, realistic));
}

simulation_options gain_chip_options(int index, int events, const std::string& config,
                                     double smallest_mv, double largest_mv, chip_fault fault,
                                     bool realistic) {
  const std::optional<double> mv = injected_mv(config);
  if (!mv)
    throw std::invalid_argument("configuration \"" + config + "\" has no injected amplitude");
  simulation_options o = campaign_chip_options(index, events, config, fault, realistic);
  const std::array<double, 32> gains = gains_of(o);
  for (size_t ch = 0; ch < gains.size(); ++ch) o.channels[ch].amplitude = gains[ch] * *mv;
  if (fault == chip_fault::nonlinear)
    o.channels[nonlinear_channel].amplitude =
        saturation_between(smallest_mv, largest_mv).amplitude(gains[nonlinear_channel], *mv);
  return o;
}

std::vector<std::string> write_gain_campaign(const std::string& folder, int chips, int events,
                                             const std::vector<std::string>& configs, bool faults) {
  return write_gain_campaign(folder, chips, events, configs, classic_setup(faults, true));
}

std::vector<std::string> write_gain_campaign(const std::string& folder, int chips, int events,
                                             const std::vector<std::string>& configs,
                                             const campaign_setup& setup) {
  if (configs.empty()) throw std::invalid_argument("no configuration");
  if (std::optional<std::string> bad = config_without_amplitude(configs))
    throw std::invalid_argument("configuration \"" + *bad + "\" has no injected amplitude");
  std::vector<double> mvs;
  for (const std::string& config : configs) mvs.push_back(*injected_mv(config));
  const auto [smallest, largest] = std::minmax_element(mvs.begin(), mvs.end());
  make_folder(folder);
  std::vector<std::string> paths;
  std::string listing = "chip\tconfig\tfault\tpath\n", gains = "chip\tchannel\tgain\tnoise\n";
  for (int i = 0; i < chips; ++i) {
    const chip_fault chip_has = fault_of(setup, i);
    for (size_t c = 0; c < configs.size(); ++c) {
      const std::string& config = configs[c];
      if (chip_has == chip_fault::missing_recording && c == 0) {
        listing +=
            fault_line(i, config, chip_has,
                       folder + "/" + campaign_recording_name(std::to_string(100000 + i), config));
        continue;
      }
      const bool last = c + 1 == configs.size();
      const chip_fault fault = of_one_run(chip_has) && !last ? chip_fault::none : chip_has;
      std::vector<std::string> written = write_chip(
          folder, i, config,
          gain_chip_options(i, events, config, *smallest, *largest, fault, setup.realistic), fault);
      if (fault != chip_fault::none && fault != chip_fault::missing_recording)
        listing += fault_line(i, config, fault, written.front());
      paths.insert(paths.end(), written.begin(), written.end());
    }
    gains += gain_lines(i, chip_has, setup.realistic);
  }
  write_text(folder + "/gains.tsv", gains);
  if (!setup.faults.empty()) write_text(folder + "/faults.tsv", listing);
  return paths;
}
