#pragma once

// The names by which the tool's design knows this module. `Fit_Function` (fit/shaper_model.h) and
// `p_sort` (fit/rise_time_fit.h) are the model and the ordering the core itself uses;
// get_rise_time is a thin adapter over fit_channel() on the global table.

#include "fit/rise_time_fit.h"
#include "fit/shaper_model.h"

/// Writes a fit's results to the six references as get_rise_time does; false when a fit was due
/// but did not converge.
bool apply_fit(const channel_fit& f, double& peak_time, double& peak_time_err, double& amplitude,
               double& amplitude_err, double& time_stamp, double& time_stamp_err);

/// Fits `channel` of the global `snapshots` and writes its results to the six references;
/// `peak_time` carries the start value in. A channel without usable points sets only peak_time
/// and peak_time_err (to 0.0). Returns false when a fit was due but did not converge.
bool get_rise_time(int channel, double& peak_time, double& peak_time_err, double& amplitude,
                   double& amplitude_err, double& time_stamp, double& time_stamp_err);
