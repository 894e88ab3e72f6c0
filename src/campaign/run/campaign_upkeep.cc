#include "campaign/run/campaign_upkeep.h"

#include <fstream>
#include <iterator>

bool store_limits(campaign_db& db, const std::string& path, std::string& error) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return db.set_meta("limits", text, error) && db.set_meta("limits_file", path, error);
}

bool load_limits(campaign_db& db, const std::string& path, acceptance_limits& limits,
                 std::string& error) {
  if (!path.empty()) return read_limits(path, limits, error);
  std::optional<std::string> stored = db.meta("limits");
  if (!stored) return true;
  return parse_limits(*stored, db.meta("limits_file").value_or("(stored)"), limits, error);
}

std::optional<campaign_characterisation> refresh_characterisation(
    campaign_db& db, const std::vector<stored_recording>& recordings,
    const acceptance_limits& limits, std::string& error) {
  campaign_characterisation c = characterise(recordings, limits);
  if (!db.store_characterisation(c.channels, error)) return std::nullopt;
  return c;
}
