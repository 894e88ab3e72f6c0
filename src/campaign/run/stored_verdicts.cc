#include "campaign/run/stored_verdicts.h"

#include <malloc.h>

#include <type_traits>

namespace {

std::optional<int> min_events_of(const acceptance_limits& limits, const std::string& config) {
  auto c = limits.configs.find(config);
  return c == limits.configs.end() ? std::nullopt : c->second.min_events;
}

}  // namespace

bool load_population(campaign_db& db, const std::string& config, const acceptance_limits& limits,
                     population_stats& out, std::string& error) {
  population_builder builder(min_events_of(limits, config));
  bool ok = db.each_current(
      "", config,
      [&](const stored_recording& r) {
        builder.add(r);
        return true;
      },
      error);
  if (!ok) return false;
  out = builder.finish();
  // The builder's values are freed; give their pages back, so that a long-running watch or
  // server holds no more between verdicts than a single population's statistics.
  malloc_trim(0);
  return true;
}

namespace {

// The statistics of `members`; the copies of their values made on the way are given back to the
// system, so that a watch holds the members and no more between verdicts.
population_stats stats_of(const population_members& members) {
  population_stats stats = members.stats();
  malloc_trim(0);
  return stats;
}

// The meta row that keeps a configuration's statistics.
std::string population_key(const std::string& config) {
  return "population " + config;
}

// The statistics' layout: a build whose population_stats differ reads none of another's.
const std::string layout = "v1/" + std::to_string(sizeof(population_stats));

std::string events_word(std::optional<int> min_events) {
  return min_events ? std::to_string(*min_events) : "-";
}

// "GENERATION MIN_EVENTS LAYOUT HEX" of `stats`, which are plain numbers throughout.
std::string encoded(const std::string& generation, const std::string& min_events,
                    const population_stats& stats) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string text = generation + " " + min_events + " " + layout + " ";
  const auto* bytes = reinterpret_cast<const unsigned char*>(&stats);
  for (size_t i = 0; i < sizeof stats; ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 0xf]);
  }
  return text;
}

// The statistics of `text` when it was made at `generation` for `min_events` by this layout.
std::optional<population_stats> decoded(const std::string& text, const std::string& generation,
                                        const std::string& min_events) {
  const std::string head = generation + " " + min_events + " " + layout + " ";
  if (text.size() != head.size() + 2 * sizeof(population_stats) || !text.starts_with(head))
    return std::nullopt;
  population_stats stats;
  auto* bytes = reinterpret_cast<unsigned char*>(&stats);
  auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
  for (size_t i = 0, at = head.size(); i < sizeof stats; ++i, at += 2)
    bytes[i] = static_cast<unsigned char>(nibble(text[at]) << 4 | nibble(text[at + 1]));
  return stats;
}

}  // namespace

static_assert(std::is_trivially_copyable_v<population_stats>);

void population_cache::stored(const stored_recording& current) {
  stats_.erase(current.config);
  if (auto m = members_.find(current.config); m != members_.end()) m->second.put(current);
}

bool population_cache::get(campaign_db& db, const std::vector<std::string>& configs,
                           const acceptance_limits& limits,
                           std::map<std::string, population_stats>& out, std::string& error,
                           bool members) {
  std::optional<int64_t> version = db.data_version();
  // Another connection's commit: what this one knew of every configuration may be out of date.
  if (!version || version != version_) clear();
  version_ = version;
  const std::string generation = std::to_string(db.generation());
  for (const std::string& config : configs) {
    if (members && keep_members_ && !members_.count(config) &&
        !load_members(db, config, limits, error))
      return false;
    auto known = stats_.find(config);
    if (known == stats_.end()) {
      kept k;
      k.generation = generation;
      k.min_events = events_word(min_events_of(limits, config));
      auto m = members_.find(config);
      // Statistics a writer saved serve where no members are at hand; a cache that keeps
      // members makes them where none were saved.
      std::optional<population_stats> saved;
      if (m == members_.end()) {
        std::optional<std::string> text = db.meta(population_key(config));
        saved = text ? decoded(*text, generation, k.min_events) : std::nullopt;
        if (!saved && keep_members_) {
          if (!load_members(db, config, limits, error)) return false;
          m = members_.find(config);
        }
      }
      if (m != members_.end()) {
        k.stats = stats_of(m->second);
      } else if (saved) {
        k.stats = *saved;
        k.saved = true;
      } else if (!load_population(db, config, limits, k.stats, error)) {
        return false;
      }
      known = stats_.emplace(config, k).first;
    }
    out[config] = known->second.stats;
  }
  return true;
}

bool population_cache::load_members(campaign_db& db, const std::string& config,
                                    const acceptance_limits& limits, std::string& error) {
  population_members members(min_events_of(limits, config));
  if (!db.each_current(
          "", config,
          [&](const stored_recording& r) {
            members.put(r);
            return true;
          },
          error))
    return false;
  members_.insert_or_assign(config, std::move(members));
  return true;
}

bool population_cache::save(campaign_db& db, std::string& error) {
  for (auto& [config, k] : stats_) {
    if (k.saved) continue;
    if (!db.set_meta(population_key(config), encoded(k.generation, k.min_events, k.stats), error))
      return false;
    k.saved = true;
  }
  return true;
}

std::vector<std::string> configurations_of(const campaign_outline& outline) {
  std::vector<std::string> configs;
  for (const auto& [config, chips] : outline.chips_in) configs.push_back(config);
  return configs;
}

chip_verdict stored_verdict(const stored_recording& r,
                            const std::map<std::string, population_stats>& populations,
                            const acceptance_limits& limits, const campaign_outline& outline) {
  auto p = populations.find(r.config);
  chip_verdict v =
      judge_recording(r, p == populations.end() ? population_stats{} : p->second, limits);
  if (auto s = outline.superseded.find({r.chip, r.config}); s != outline.superseded.end())
    v.superseded = s->second;
  return v;
}

bool judge_stored(campaign_db& db, const acceptance_limits& limits, population_cache& cache,
                  const campaign_outline& outline, const std::string& chip,
                  const std::function<void(chip_verdict&&)>& visit, std::string& error) {
  std::map<std::string, population_stats> populations;
  if (!cache.get(db, configurations_of(outline), limits, populations, error)) return false;
  return db.each_current(
      chip, "",
      [&](const stored_recording& r) {
        visit(stored_verdict(r, populations, limits, outline));
        return true;
      },
      error);
}

bool judge_stored_by_chip(campaign_db& db, const acceptance_limits& limits, population_cache& cache,
                          const campaign_outline& outline,
                          const std::function<void(std::vector<chip_verdict>&&)>& visit,
                          std::string& error) {
  std::vector<chip_verdict> own;
  bool ok = judge_stored(
      db, limits, cache, outline, "",
      [&](chip_verdict&& v) {
        if (!own.empty() && own.front().chip != v.chip) visit(std::exchange(own, {}));
        own.push_back(std::move(v));
      },
      error);
  if (ok && !own.empty()) visit(std::move(own));
  return ok;
}
