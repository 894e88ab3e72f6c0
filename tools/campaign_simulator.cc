#include "campaign_simulator.h"

#include <cstdio>
#include <random>
#include <stdexcept>

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
    if (fault == chip_fault::shifted) c.time_stamp += 40.0;
  }
  if (fault == chip_fault::dead_channel) o.channels[13].dead = true;
  if (fault == chip_fault::saturated_channel) o.channels[5].saturated = true;
  return o;
}

std::string campaign_recording_name(const std::string& chip, const std::string& config) {
  return "123510_korvi" + chip + "_dessel00_link00_" + config + "_adc.txt";
}

std::vector<std::string> write_simulated_campaign(const std::string& folder, int chips, int events,
                                                  const std::string& config, bool faults) {
  std::vector<std::string> paths;
  for (int i = 0; i < chips; ++i) {
    chip_fault fault = !faults  ? chip_fault::none
                       : i == 1 ? chip_fault::dead_channel
                       : i == 2 ? chip_fault::saturated_channel
                       : i == 3 ? chip_fault::shifted
                                : chip_fault::none;
    std::string path = folder + "/" + campaign_recording_name(std::to_string(100000 + i), config);
    std::FILE* f = std::fopen(path.c_str(), "w");
    bool ok = f && write_recording(campaign_chip_options(i, events, config, fault), f);
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) throw std::runtime_error("cannot write " + path);
    paths.push_back(path);
  }
  return paths;
}
