#include "tools/campaign_simulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "tools/channel_response.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* fault_names[] = {"none",     "dead_channel",  "saturated_channel",
                                       "late",     "slow",          "low_gain",
                                       "noisy",    "stuck",         "cut",
                                       "junk",     "few_events",    "wrong_config",
                                       "retested", "slightly_late", "two_dead",
                                       "noisy_4x", "nonlinear",     "low_gain_all"};
constexpr int fault_count = sizeof fault_names / sizeof fault_names[0];
// The faults that only a campaign with known gains plants, from this one on.
constexpr int first_gain_fault = static_cast<int>(chip_fault::nonlinear);
constexpr int nonlinear_channel = 17;

// The amplitudes, noise and channel flags campaign_chip_options gives do not depend on the
// configuration: this one stands for any.
const std::string any_config = "20mV_delay-all";

// The bench's start time of every recording but a retested chip's.
const std::string bench_time = "123510";

double time_stamp_shift(chip_fault fault) {
  return fault == chip_fault::late ? 40.0 : fault == chip_fault::slightly_late ? 8.0 : 0.0;
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
  const fs::file_time_type now = fs::file_time_type::clock::now();
  std::error_code ec;
  fs::last_write_time(retest, now - std::chrono::hours(2), ec);
  if (!ec) fs::last_write_time(aborted, now - std::chrono::hours(1), ec);
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

std::string format_number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// gains.tsv's lines of chip `index`.
std::string gain_lines(int index, chip_fault fault) {
  const simulation_options o = campaign_chip_options(index, 1, any_config, fault);
  const std::array<double, 32> gains = gains_of(o);
  std::string lines;
  for (size_t ch = 0; ch < gains.size(); ++ch) {
    const channel_truth& c = o.channels[ch];
    const bool no_noise = c.saturated || c.stuck;
    lines += std::to_string(100000 + index) + "\t" + std::to_string(ch) + "\t" +
             format_number(no_noise || c.dead ? 0.0 : gains[ch]) + "\t" +
             format_number(no_noise ? 0.0 : o.noise) + "\n";
  }
  return lines;
}

}  // namespace

chip_fault planted_fault(int index, bool known_gains) {
  const int last = known_gains ? fault_count : first_gain_fault;
  return index > 0 && index < last ? static_cast<chip_fault>(index) : chip_fault::none;
}

std::string fault_name(chip_fault fault) {
  return fault_names[static_cast<int>(fault)];
}

std::string other_config(const std::string& config) {
  return config == "4mV_delay-all" ? "20mV_delay-all" : "4mV_delay-all";
}

simulation_options campaign_chip_options(int index, int events, const std::string& config,
                                         chip_fault fault) {
  simulation_options o = realistic_options(events, config, 1);
  o.seed = 1000 + static_cast<uint64_t>(index);
  std::mt19937_64 random(o.seed);
  std::normal_distribution<double> unit(0.0, 1.0);
  for (channel_truth& c : o.channels) {
    c.amplitude *= 1.0 + 0.005 * unit(random);
    c.peak_time *= 1.0 + 0.005 * unit(random);
    c.time_stamp += unit(random);
    c.time_stamp += time_stamp_shift(fault);
    if (fault == chip_fault::slow) c.peak_time *= 1.15;
  }
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
  make_folder(folder);
  std::vector<std::string> paths;
  std::string listing = "chip\tconfig\tfault\tpath\n";
  for (int i = 0; i < chips; ++i) {
    const chip_fault fault = faults ? planted_fault(i) : chip_fault::none;
    std::vector<std::string> written =
        write_chip(folder, i, config, campaign_chip_options(i, events, config, fault), fault);
    if (fault != chip_fault::none) listing += fault_line(i, config, fault, written.front());
    paths.insert(paths.end(), written.begin(), written.end());
  }
  if (faults) write_text(folder + "/faults.tsv", listing);
  return paths;
}

std::optional<std::string> config_without_amplitude(const std::vector<std::string>& configs) {
  for (const std::string& config : configs)
    if (!injected_mv(config)) return config;
  return {};
}

std::array<double, 32> campaign_chip_gains(int index, chip_fault fault) {
  return gains_of(campaign_chip_options(index, 1, any_config, fault));
}

simulation_options gain_chip_options(int index, int events, const std::string& config,
                                     double smallest_mv, double largest_mv, chip_fault fault) {
  const std::optional<double> mv = injected_mv(config);
  if (!mv)
    throw std::invalid_argument("configuration \"" + config + "\" has no injected amplitude");
  simulation_options o = campaign_chip_options(index, events, config, fault);
  const std::array<double, 32> gains = gains_of(o);
  for (size_t ch = 0; ch < gains.size(); ++ch) o.channels[ch].amplitude = gains[ch] * *mv;
  if (fault == chip_fault::nonlinear)
    o.channels[nonlinear_channel].amplitude =
        saturation_between(smallest_mv, largest_mv).amplitude(gains[nonlinear_channel], *mv);
  return o;
}

std::vector<std::string> write_gain_campaign(const std::string& folder, int chips, int events,
                                             const std::vector<std::string>& configs, bool faults) {
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
    const chip_fault chip_has = faults ? planted_fault(i, true) : chip_fault::none;
    for (size_t c = 0; c < configs.size(); ++c) {
      const std::string& config = configs[c];
      const bool last = c + 1 == configs.size();
      const chip_fault fault = of_one_run(chip_has) && !last ? chip_fault::none : chip_has;
      std::vector<std::string> written =
          write_chip(folder, i, config,
                     gain_chip_options(i, events, config, *smallest, *largest, fault), fault);
      if (fault != chip_fault::none) listing += fault_line(i, config, fault, written.front());
      paths.insert(paths.end(), written.begin(), written.end());
    }
    gains += gain_lines(i, chip_has);
  }
  write_text(folder + "/gains.tsv", gains);
  if (faults) write_text(folder + "/faults.tsv", listing);
  return paths;
}
