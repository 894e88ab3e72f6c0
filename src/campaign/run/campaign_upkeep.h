#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "campaign/judge/acceptance_limits.h"
#include "campaign/run/stored_verdicts.h"
#include "campaign/store/campaign_db.h"

// What the commands that store results keep in the database beside them.

/// Stores the text of the limits file at `path` with its name, so that later verdicts and
/// reports apply them; false with `error` on a failure.
bool store_limits(campaign_db& db, const std::string& path, std::string& error);

/// The limits of the file at `path` when given, else those stored by a run, else the default
/// rule; false with `error` when they do not parse.
bool load_limits(campaign_db& db, const std::string& path, acceptance_limits& limits,
                 std::string& error);

/// Characterises every chip of `db` under `limits` from its current recordings, one chip at a
/// time, with each configuration's statistics from `cache`, and stores the figures in place of
/// the earlier ones in one transaction, so that the database's view of the current channels
/// carries them; then keeps the configurations' statistics in the database for the commands that
/// read it (population_cache::save). False with `error` on a failure.
bool refresh_characterisation(campaign_db& db, const acceptance_limits& limits,
                              population_cache& cache, std::string& error);

/// Brings the stored characterisation up to date after results of `chips` were stored: when
/// every configuration's usual count of events and the limits are those the stored figures were
/// made under (the meta row "characterised"), only those chips' figures are made again, as each
/// chip's rest on its own recordings and those counts alone; otherwise every chip's, with
/// refresh_characterisation. Then keeps the statistics `cache` made (population_cache::save).
/// `known`, when given, is every configuration's statistics as the cache just gave them: the
/// usual counts are theirs, and the database is not read for them. False with `error` on a
/// failure.
bool update_characterisation(campaign_db& db, const acceptance_limits& limits,
                             const std::set<std::string>& chips, population_cache& cache,
                             std::string& error,
                             const std::map<std::string, population_stats>* known = nullptr);
