#pragma once

// The name by which the tool's design knows this module: rise_time_vs_channel, a thin adapter
// that fits the global table and writes its log through the core's pieces.

#include <string>

#include "common/diagnostics.h"

/// Fits channels 0 to 31 of the global `snapshots`, each from `peak_time_guess` (ns), and writes
/// the 33-line log to `log_path` whole or not at all. Returns false, with the reason in `notes`,
/// when the log cannot be created or written; an earlier log is then left untouched.
bool rise_time_vs_channel(const std::string& log_path, double peak_time_guess, diagnostics& notes);
