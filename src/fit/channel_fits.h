#pragma once

#include <vector>

#include "common/diagnostics.h"
#include "fit/rise_time_fit.h"
#include "reconstruction/snapshots.h"

/// Fits every channel of `table` in channel order, each from `peak_time_guess` (ns), and adds a
/// note for each fit that was due but did not converge. A channel without usable points comes
/// back as all zeros.
std::vector<channel_fit> fit_all_channels(const snapshot_table& table, double peak_time_guess,
                                          diagnostics& notes);
