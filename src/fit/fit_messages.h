#pragma once

#include <string>

// The lines the channel fits add to a run's notes.

/// The fit of `channel` did not reach a minimum, or had too few points to run.
std::string fit_not_converged(int channel);
