// varnel-sim-campaign: writes the recordings of a simulated test campaign.

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_line.h"
#include "common/number_text.h"
#include "tools/campaign_simulator.h"
#include "tools/front_end_preset.h"

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

const char* const description =
    "Writes N chips' recordings into FOLDER, or FOLDER/YYYYMMDD with --date. With\n"
    "--configs, every chip is recorded in every configuration named, each of which\n"
    "must begin with its injected amplitude (\"4mV_delay-all\", \"2.5mV_x\"); each\n"
    "channel's amplitude is its gain (15 to 40 ADC counts per mV, the same on a\n"
    "chip in every configuration) times that, and gains.tsv beside the recordings\n"
    "lists every chip's and channel's gain and noise. With --faults chips 100001 to\n"
    "100015 each have one fault (dead channel, saturated channel, late, slow, low\n"
    "gain, noisy, stuck channel, cut file, junk in the file, few events, wrong\n"
    "configuration, aborted try and retest, slightly late, two dead channels, noisy\n"
    "4x), listed in faults.tsv beside the recordings; with --configs in every\n"
    "configuration, but the cut file, the junk, the few events and the retest in\n"
    "the last one only, and also chip 100016's channel 17 saturates softly (10 %\n"
    "low at the largest amplitude) and chip 100017's channel 9 has 25 % less gain.\n";

// The description with the realistic sizes filled in.
std::string full_description() {
  const chip_spread& s = realistic_chip_spread;
  return std::string(description) +
         "\n"
         "--faults LIST plants the faults listed, NAME,NAME,..., on chips 100001, 100002,\n"
         "... in turn: the names of faults.tsv (none for a good chip), classic for the set\n"
         "above, realistic for the defects of real front ends:\n" +
         front_end_defects_help() +
         "\n"
         "--realistic makes chips differ as real ones do (Gaussian sigmas): per chip " +
         significant_text(100 * s.chip_gain) + " %\nin gain, " +
         significant_text(s.chip_time_stamp) + " ns in time stamp and " +
         significant_text(100 * s.chip_peak_time) + " % in peak time; within a chip " +
         significant_text(100 * s.channel_gain) + " % in gain,\n" +
         significant_text(100 * s.channel_peak_time) + " % in peak time and " +
         significant_text(s.channel_time_stamp) +
         " ns in time stamp between channels. Every recording also\n"
         "departs from the fit's model as varnel-sim --realistic draws it:\n" +
         front_end_preset_help();
}

// The setup the command line asks for; nothing, with the reason in `why`, when it cannot be.
std::optional<campaign_setup> setup_of(const CLI::App& app, const std::string& faults,
                                       bool realistic, size_t configs, std::string& why) {
  campaign_setup setup;
  setup.realistic = realistic;
  if (app.count("--faults") == 0) return setup;
  if (faults.empty()) {
    setup.faults = classic_faults(configs > 0);
    return setup;
  }
  std::optional<std::vector<chip_fault>> listed =
      parse_fault_list(faults, configs > 0, configs > 1, why);
  if (!listed) return {};
  setup.faults = *listed;
  return setup;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder, config = "20mV_delay-all", date, config_list, faults;
  int chips = 20, events = 40;
  bool realistic = false;
  CLI::App app{full_description(), "varnel-sim-campaign"};
  add_version_flag(app);
  app.add_option("--output", folder, "The folder to write into (required)")->required();
  app.add_option("--chips", chips, "Chips to simulate")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  app.add_option("--events", events, "Events per recording")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
  CLI::Option* one =
      app.add_option("--config", config, "The one configuration recorded")->capture_default_str();
  app.add_option("--configs", config_list, "Configurations recorded, NAME,NAME,...")->excludes(one);
  app.add_option("--date", date, "Write into FOLDER/YYYYMMDD")
      ->check(CLI::Validator(
          [](const std::string& d) { return is_date(d) ? "" : "expected YYYYMMDD, got " + d; },
          "YYYYMMDD"));
  app.add_option("--faults", faults,
                 "Give chips 100001 to 100017 one fault each, or those of LIST (above)")
      ->expected(0, 1);
  app.add_flag("--realistic", realistic, "Chips and front ends as real ones (above)");
  if (const auto stop = parse_command_line(app, argc, argv)) {
    std::fputs(stop->out.c_str(), stdout);
    std::fputs(stop->err.c_str(), stderr);
    return stop->status;
  }
  const std::vector<std::string> configs = config_list.empty() && app.count("--configs") == 0
                                               ? std::vector<std::string>{}
                                               : split_names(config_list);
  std::string why;
  if (std::optional<std::string> bad = config_without_amplitude(configs))
    why = "configuration \"" + *bad +
          "\" has no injected amplitude: its name must begin with a number and \"mV\"";
  const std::optional<campaign_setup> setup =
      why.empty() ? setup_of(app, faults, realistic, configs.size(), why) : std::nullopt;
  if (!setup) {
    const command_line_stop stop = usage_error(app, why);
    std::fputs(stop.err.c_str(), stderr);
    return stop.status;
  }
  const std::string into = date.empty() ? folder : folder + "/" + date;
  try {
    if (configs.empty())
      write_simulated_campaign(into, chips, events, config, *setup);
    else
      write_gain_campaign(into, chips, events, configs, *setup);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "varnel-sim-campaign: %s\n", e.what());
    return 1;
  }
  return 0;
}
