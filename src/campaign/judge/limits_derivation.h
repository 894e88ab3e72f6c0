#pragma once

#include <string>
#include <vector>

#include "campaign/model/stored_recording.h"

/// Acceptance limits derived from the campaign at hand, as a TOML limits file with comments
/// saying how: for every configuration with at least min_robust_chips sound current recordings,
/// each channel's range of each quantity is the median over those chips +- `k` (> 0) robust
/// standard deviations (relative quantities as ratios to the median, noise and errors from 0),
/// and `min_events` is min_event_share of the usual count. `source` names the database in the
/// comments; a configuration with too few chips is named in a comment and given no limits.
std::string derived_limits(const std::vector<stored_recording>& recordings, double k,
                           const std::string& source);
