#pragma once

#include <string>
#include <vector>

#include "fit/rise_time_fit.h"
#include "messages.h"
#include "report/log_format.h"

/// Fits channels 0 to 31 of the global `snapshots`, each from `peak_time_guess` (ns), and writes
/// the 33-line log to `log_path` whole or not at all. A fit that did not converge adds a note
/// and its line is written as it came out. Returns false, with the reason in `notes`, when the
/// log cannot be created or written; an earlier log is then left untouched. The fits, when
/// asked for, go to `fits`.
bool rise_time_vs_channel(const std::string& log_path, double peak_time_guess, diagnostics& notes,
                          std::vector<channel_fit>* fits = nullptr);

/// The results of every channel of `table`, fitted from `peak_time_guess`, with a note for each
/// fit that did not converge.
std::vector<channel_result> fit_all_channels(const snapshot_table& table, double peak_time_guess,
                                             diagnostics& notes, std::vector<channel_fit>* fits);
