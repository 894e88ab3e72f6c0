#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "plot/plot_run.h"

/// The run as JSON: input and log paths, chipstring, configuration, what reading and framing saw
/// (values read, rows handled, events started and completed), the run's notes, and per channel
/// the six fit results, fit statistics, verdict and every reconstructed point. A NaN or infinite
/// number becomes null.
nlohmann::json run_json(const plot_run& run);

/// run_json(run) as indented text, newline-ended.
std::string run_json_text(const plot_run& run);
