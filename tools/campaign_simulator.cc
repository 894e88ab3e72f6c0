#include "campaign_simulator.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

constexpr const char* fault_names[] = {"none",     "dead_channel",  "saturated_channel",
                                       "late",     "slow",          "low_gain",
                                       "noisy",    "stuck",         "cut",
                                       "junk",     "few_events",    "wrong_config",
                                       "retested", "slightly_late", "two_dead",
                                       "noisy_4x"};
constexpr int fault_count = sizeof fault_names / sizeof fault_names[0];

// The bench's start time of every recording but a retested chip's.
const std::string bench_time = "123510";

double time_stamp_shift(chip_fault fault) {
  return fault == chip_fault::late ? 40.0 : fault == chip_fault::slightly_late ? 8.0 : 0.0;
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
}

void write_options(const std::string& path, const simulation_options& o) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  bool ok = f && write_recording(o, f);
  if (f && std::fclose(f) != 0) ok = false;
  if (!ok) throw std::runtime_error("cannot write " + path);
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

// Writes chip `index`'s recordings; their paths, the one faults.tsv names first.
std::vector<std::string> write_chip(const std::string& folder, int index, int events,
                                    const std::string& config, chip_fault fault) {
  const std::string chip = std::to_string(100000 + index);
  const simulation_options o = campaign_chip_options(index, events, config, fault);
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

}  // namespace

chip_fault planted_fault(int index) {
  return index > 0 && index < fault_count ? static_cast<chip_fault>(index) : chip_fault::none;
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
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw std::runtime_error("cannot make " + folder + ": " + ec.message());
  std::vector<std::string> paths;
  std::string listing = "chip\tconfig\tfault\tpath\n";
  for (int i = 0; i < chips; ++i) {
    const chip_fault fault = faults ? planted_fault(i) : chip_fault::none;
    std::vector<std::string> written = write_chip(folder, i, events, config, fault);
    if (fault != chip_fault::none)
      listing += std::to_string(100000 + i) + "\t" + config + "\t" + fault_name(fault) + "\t" +
                 written.front() + "\n";
    paths.insert(paths.end(), written.begin(), written.end());
  }
  if (faults) write_text(folder + "/faults.tsv", listing);
  return paths;
}
