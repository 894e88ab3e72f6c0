// varnel-sim-campaign: writes the recordings of a simulated test campaign.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "campaign_simulator.h"

int main(int argc, char** argv) {
  std::string folder, config = "20mV_delay-all";
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
    else if (a == "--faults")
      faults = true;
    else
      folder.clear(), i = argc;
  }
  if (folder.empty() || chips < 1 || events < 1) {
    std::fputs(
        "usage: varnel-sim-campaign --output FOLDER [--chips N] [--events N] "
        "[--config NAME] [--faults]\n"
        "Writes N chips' recordings into FOLDER; with --faults chips 100001, 100002 and "
        "100003 have a dead channel, a saturated channel and late time stamps.\n",
        stderr);
    return 2;
  }
  try {
    write_simulated_campaign(folder, chips, events, config, faults);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "varnel-sim-campaign: %s\n", e.what());
    return 1;
  }
  return 0;
}
