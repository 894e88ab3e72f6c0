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

/// The recording, analysed as `config` with the median chi2/ndf `own_chi2_per_ndf`, fits the
/// framing of `looks_like` far better, with `other_chi2_per_ndf`: it was probably recorded so.
std::string looks_like_configuration(const std::string& looks_like, const std::string& config,
                                     double own_chi2_per_ndf, double other_chi2_per_ndf);
