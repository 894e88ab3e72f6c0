#pragma once

#include <string>

#include "common/diagnostics.h"
#include "results/plot_run.h"

/// Writes the run's PNG, PDF and JSON beside its log, named as the log with ".png", ".pdf" and
/// ".json". Each is drawn into a temporary file in the same directory and renamed into place only
/// once all three are complete, so a file is there whole or not at all. False, with a one-line
/// reason in `notes`, when one cannot be written; the files not yet renamed keep their earlier
/// content.
bool write_plot_outputs(const plot_run& run, diagnostics& notes);

/// Writes `record` (failure_json_text of a run that failed) where the run's JSON results belong:
/// beside `log_path`, named as it with ".json", whole or not at all. False, with a one-line
/// reason in `notes`, when it cannot be written.
bool write_failure_record(const std::string& log_path, const std::string& record,
                          diagnostics& notes);
