// varnel-sim-campaign: writes the recordings of a simulated test campaign.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

#include "campaign_simulator.h"

namespace {

bool is_date(std::string_view text) {
  return text.size() == 8 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder, config = "20mV_delay-all", date;
  int chips = 20, events = 40;
  bool faults = false;
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
      config = argv[++i];
    else if (a == "--date" && has_value && is_date(argv[i + 1]))
      date = argv[++i];
    else if (a == "--faults")
      faults = true;
    else
      folder.clear(), i = argc;
  }
  if (folder.empty() || chips < 1 || events < 1) {
    std::fputs(
        "usage: varnel-sim-campaign --output FOLDER [--chips N] [--events N] "
        "[--config NAME] [--date YYYYMMDD] [--faults]\n"
        "Writes N chips' recordings into FOLDER, or FOLDER/YYYYMMDD with --date. With --faults "
        "chips 100001 to 100015 each have one fault (dead channel, saturated channel, late, "
        "slow, low gain, noisy, stuck channel, cut file, junk in the file, few events, wrong "
        "configuration, aborted try and retest, slightly late, two dead channels, noisy 4x), "
        "listed in faults.tsv beside the recordings.\n",
        stderr);
    return 2;
  }
  try {
    write_simulated_campaign(date.empty() ? folder : folder + "/" + date, chips, events, config,
                             faults);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "varnel-sim-campaign: %s\n", e.what());
    return 1;
  }
  return 0;
}
