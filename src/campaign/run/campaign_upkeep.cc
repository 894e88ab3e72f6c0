#include "campaign/run/campaign_upkeep.h"

#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "campaign/judge/characterisation.h"

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

namespace {

// Hands the figures of one chip, whose current recordings are `own`, to `put`; false when it
// could not store one.
bool put_figures(const std::vector<stored_recording>& own,
                 const std::map<std::string, population_stats>& populations,
                 const acceptance_limits& limits, const characterisation_sink& put) {
  std::vector<const stored_recording*> current;
  for (const stored_recording& r : own) current.push_back(&r);
  if (current.empty()) return true;
  for (const channel_characterisation& c : characterise_chip(current, populations, limits))
    if (!put(c)) return false;
  return true;
}

}  // namespace

bool refresh_characterisation(campaign_db& db, const acceptance_limits& limits,
                              population_cache& cache, std::string& error) {
  campaign_outline outline;
  std::map<std::string, population_stats> populations;
  if (!db.load_outline(outline, error) ||
      !cache.get(db, configurations_of(outline), limits, populations, error))
    return false;
  // One chip's recordings at a time, in the order each_current gives them: by chip; its figures
  // are stored as they are made, so that the whole campaign's are never held at once.
  return db.store_characterisation_rows(
             [&](const characterisation_sink& put) {
               std::vector<stored_recording> chip;
               bool stored = true;
               auto flush = [&] {
                 stored = stored && put_figures(chip, populations, limits, put);
                 chip.clear();
                 return stored;
               };
               std::string read_error;
               bool read = db.each_current(
                   "", "",
                   [&](const stored_recording& r) {
                     if (!chip.empty() && chip.front().chip != r.chip && !flush()) return false;
                     chip.push_back(r);
                     return true;
                   },
                   read_error);
               return read && flush();
             },
             error) &&
         cache.save(db, error);
}

namespace {

// What the stored figures were made under: each configuration's usual count of events, of
// `usual`, and the limits' text; the meta row "characterised" keeps it.
std::string characterisation_basis(campaign_db& db,
                                   const std::map<std::string, population_stats>& usual) {
  std::string basis = "limits " +
                      std::to_string(std::hash<std::string>{}(db.meta("limits").value_or(""))) +
                      " " + db.meta("limits_file").value_or("");
  for (const auto& [config, stats] : usual)
    basis += "\n" + config + " " + std::to_string(stats.usual_events);
  return basis;
}

// Each configuration's usual count of events, from the database.
bool usual_counts(campaign_db& db, std::map<std::string, population_stats>& usual,
                  std::string& error) {
  campaign_outline outline;
  std::map<std::string, std::vector<double>> events;
  const std::set<std::string> no_chips;  // the configurations only, no superseded recordings
  if (!db.load_outline(outline, error, &no_chips) || !db.load_current_events(events, error))
    return false;
  for (const std::string& config : configurations_of(outline))
    usual[config].usual_events = usual_events_of(std::move(events[config]));
  return true;
}

}  // namespace

bool update_characterisation(campaign_db& db, const acceptance_limits& limits,
                             const std::set<std::string>& chips, population_cache& cache,
                             std::string& error,
                             const std::map<std::string, population_stats>* known) {
  std::map<std::string, population_stats> usual;
  if (known)
    usual = *known;
  else if (!usual_counts(db, usual, error))
    return false;
  const std::string basis = characterisation_basis(db, usual);
  if (db.meta("characterised") != basis) {
    return refresh_characterisation(db, limits, cache, error) &&
           db.set_meta("characterised", basis, error);
  }
  // Each chip's figures rest on its own recordings and the usual counts alone: only the chips
  // stored change.
  const std::vector<std::string> list(chips.begin(), chips.end());
  return db.store_chip_characterisation(
             list,
             [&](const characterisation_sink& put) {
               bool stored = true;
               std::string read_error;
               for (const std::string& chip : list) {
                 std::vector<stored_recording> own;
                 if (!db.each_current(
                         chip, "",
                         [&](const stored_recording& r) {
                           own.push_back(r);
                           return true;
                         },
                         read_error))
                   return false;
                 stored = stored && put_figures(own, usual, limits, put);
               }
               return stored;
             },
             error) &&
         cache.save(db, error);
}
