#include "campaign/run/stored_verdicts.h"

#include <malloc.h>

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

bool population_cache::get(campaign_db& db, const std::vector<std::string>& configs,
                           const acceptance_limits& limits,
                           std::map<std::string, population_stats>& out, std::string& error) {
  std::optional<int64_t> version = db.data_version();
  if (!version || version != version_) stats_.clear();
  version_ = version;
  for (const std::string& config : configs) {
    auto known = stats_.find(config);
    if (known == stats_.end()) {
      population_stats made;
      if (!load_population(db, config, limits, made, error)) return false;
      known = stats_.emplace(config, made).first;
    }
    out[config] = known->second;
  }
  return true;
}

std::vector<std::string> configurations_of(const campaign_outline& outline) {
  std::vector<std::string> configs;
  for (const auto& [config, chips] : outline.chips_in) configs.push_back(config);
  return configs;
}

bool judge_stored(campaign_db& db, const acceptance_limits& limits, population_cache& cache,
                  const campaign_outline& outline, const std::string& chip,
                  const std::function<void(chip_verdict&&)>& visit, std::string& error) {
  std::map<std::string, population_stats> populations;
  if (!cache.get(db, configurations_of(outline), limits, populations, error)) return false;
  return db.each_current(
      chip, "",
      [&](const stored_recording& r) {
        chip_verdict v = judge_recording(r, populations[r.config], limits);
        if (auto s = outline.superseded.find({r.chip, r.config}); s != outline.superseded.end())
          v.superseded = s->second;
        visit(std::move(v));
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
