#pragma once

#include <cstdint>
#include <string>

#include "fit/rise_time_fit.h"

// The lines the channel fits add to a run's notes.

/// The fit of `channel` did not reach a minimum.
std::string fit_not_converged(int channel);

/// Why channel `channel`'s result `f` is not a good measurement, as one line; empty when it is
/// one, and for a channel flagged few_events, which few_events_note() covers for all of them.
/// Numbers are printed with three significant digits, a misfit in % with one decimal (none from
/// 10 % on).
std::string verdict_note(int channel, const channel_fit& f);

/// The recording held only `events` events, and `flagged_channels` channels were flagged for it.
std::string few_events_note(int64_t events, int flagged_channels);

/// The recording's channels differ alike from the model's shape, by `median_misfit` (a
/// fraction of the amplitude) at the median: noticeably, though not poorly.
std::string shape_off_model_note(double median_misfit);

/// Most channels fit far worse than any right configuration gives (their median chi2/ndf is
/// `median_chi2_per_ndf`): the run probably used the wrong configuration, named `config`.
std::string wrong_configuration(const std::string& config, double median_chi2_per_ndf);
