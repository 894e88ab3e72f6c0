// varnel-sim-campaign: writes the recordings of a simulated test campaign.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "campaign_simulator.h"
#include "varnel_version.h"

namespace {

bool is_date(std::string_view text) {
  return text.size() == 8 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// "A,B,C" as {"A", "B", "C"}; an empty name stays, to be refused as having no amplitude.
std::vector<std::string> split_names(const std::string& list) {
  std::vector<std::string> names;
  for (size_t from = 0;;) {
    const size_t comma = list.find(',', from);
    names.push_back(list.substr(from, comma - from));
    if (comma == std::string::npos) return names;
    from = comma + 1;
  }
}

const char* const usage =
    "usage: varnel-sim-campaign --output FOLDER [--chips N] [--events N] "
    "[--config NAME | --configs NAME,NAME,...] [--date YYYYMMDD] [--faults]\n"
    "       varnel-sim-campaign --help | --version\n"
    "Writes N chips' recordings into FOLDER, or FOLDER/YYYYMMDD with --date. With --configs, "
    "every chip is recorded in every configuration named, each of which must begin with its "
    "injected amplitude (\"4mV_delay-all\", \"2.5mV_x\"); each channel's amplitude is its gain "
    "(15 to 40 ADC counts per mV, the same on a chip in every configuration) times that, and "
    "gains.tsv beside the recordings lists every chip's and channel's gain and noise. With "
    "--faults chips 100001 to 100015 each have one fault (dead channel, saturated channel, "
    "late, slow, low gain, noisy, stuck channel, cut file, junk in the file, few events, wrong "
    "configuration, aborted try and retest, slightly late, two dead channels, noisy 4x), listed "
    "in faults.tsv beside the recordings; with --configs in every configuration, but the cut "
    "file, the junk, the few events and the retest in the last one only, and also chip 100016's "
    "channel 17 saturates softly (10 % low at the largest amplitude) and chip 100017's channel "
    "9 has 25 % less gain.\n";

}  // namespace

int main(int argc, char** argv) {
  std::string folder, config = "20mV_delay-all", date;
  int chips = 20, events = 40;
  std::vector<std::string> configs;
  bool faults = false, one_config = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    if (a == "--output" && has_value)
      folder = argv[++i];
    else if (a == "--chips" && has_value)
      chips = std::atoi(argv[++i]);
    else if (a == "--events" && has_value)
      events = std::atoi(argv[++i]);
    else if (a == "--config" && has_value)
      config = argv[++i], one_config = true;
    else if (a == "--configs" && has_value)
      configs = split_names(argv[++i]);
    else if (a == "--date" && has_value && is_date(argv[i + 1]))
      date = argv[++i];
    else if (a == "--faults")
      faults = true;
    else if (a == "--help") {
      std::fputs(usage, stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("varnel-sim-campaign %s\n", varnel_version);
      return 0;
    } else
      folder.clear(), i = argc;
  }
  if (folder.empty() || chips < 1 || events < 1 || (one_config && !configs.empty())) {
    std::fputs(usage, stderr);
    return 2;
  }
  if (std::optional<std::string> bad = config_without_amplitude(configs)) {
    std::fprintf(stderr,
                 "varnel-sim-campaign: configuration \"%s\" has no injected amplitude: its name "
                 "must begin with a number and \"mV\"\n%s",
                 bad->c_str(), usage);
    return 2;
  }
  const std::string into = date.empty() ? folder : folder + "/" + date;
  try {
    if (configs.empty())
      write_simulated_campaign(into, chips, events, config, faults);
    else
      write_gain_campaign(into, chips, events, configs, faults);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "varnel-sim-campaign: %s\n", e.what());
    return 1;
  }
  return 0;
}
