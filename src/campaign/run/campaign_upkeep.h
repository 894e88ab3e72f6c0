#pragma once

#include <optional>
#include <string>
#include <vector>

#include "campaign/judge/acceptance_limits.h"
#include "campaign/judge/characterisation.h"
#include "campaign/store/campaign_db.h"

// What the commands that store results keep in the database beside them.

/// Stores the text of the limits file at `path` with its name, so that later verdicts and
/// reports apply them; false with `error` on a failure.
bool store_limits(campaign_db& db, const std::string& path, std::string& error);

/// The limits of the file at `path` when given, else those stored by a run, else the default
/// rule; false with `error` when they do not parse.
bool load_limits(campaign_db& db, const std::string& path, acceptance_limits& limits,
                 std::string& error);

/// Characterises the campaign's channels under `limits` and stores the figures, so that the
/// database's view of the current channels carries them; nothing, with `error`, on a failure.
std::optional<campaign_characterisation> refresh_characterisation(
    campaign_db& db, const std::vector<stored_recording>& recordings,
    const acceptance_limits& limits, std::string& error);
