#pragma once

#include <cstdint>
#include <string>

#include "fit/fit_verdict.h"
#include "fit/rise_time_fit.h"

/// A pulse whose amplitude is below this many of its errors, or that lowers chi2 by less than
/// this squared against no pulse at all, is none.
inline constexpr double min_pulse_significance = 5.0;
/// Nor is one that stands three scatters above zero on fewer points than this: a single point
/// off the baseline is not a pulse.
inline constexpr int min_pulse_points = 3;
/// Nor is a pulse whose height at the points stays below this many times their scatter about
/// the fit: the baseline's own wiggles reach a few times it.
inline constexpr double min_height_over_scatter = 4.5;
/// A time stamp this many of its errors outside the points' times is unphysical.
inline constexpr double outside_range_errors = 3.0;
/// A misfit (fraction of the amplitude) above this is a poor fit. Shapes a real front end gives
/// (orders 3.5 to 4.5, tails and undershoots up to 1 %, rises up to 10 ns, 2 ns of jitter, all
/// at once) stay below 0.63 % on points made from them, and below 0.97 % in a simulated
/// realistic campaign of 48 chips in two configurations at 300 events; a channel of shaping
/// order 2.5 there reads 1.66 % and more, a 5 % undershoot 2.61 %, the wrong configuration's
/// framing about 16 %, at 60, 300 and 1,000 events alike (docs/fit.md). An order of 6 (1.17 to
/// 1.28 %) stays below it at every event count: it is as far from the model as a good channel
/// with a 1 % tail and an order off the design's.
inline constexpr double max_good_misfit = 0.014;
/// A recording whose channels' median misfit is above this, though below max_good_misfit, has a
/// shape noticeably off the model: the model-exact shape stays below 0.05 %, a realistic
/// recording's median lies at 0.25 to 0.4 % at any number of events. Three times the first, half
/// the second, so that neither kind of recording flips between the note and none as its
/// events change.
inline constexpr double noticeable_misfit = 0.0015;

/// A point's error is the spread of its samples, one per event: from fewer events than this it
/// may be several times too small, and the fit's errors and every judgement drawn from them
/// with it. On the simulated grid the truth lay beyond 5 errors on about 1 channel in 10 at 2
/// to 5 events, and on none from 10 on.
inline constexpr int min_events_for_errors = 10;

/// What `f` is worth, the first reason that applies in this order: no usable points, too few
/// points, saturated, no pulse, not converged, unphysical, poor fit; otherwise good.
fit_verdict judge_fit(const channel_fit& f);

/// Which of the rules for no pulse decided, with the figures it compared, as in "amplitude 0.2 ±
/// 0.3, 0.7σ"; empty when `f` shows a pulse by all of them. Computed again from the stored
/// figures wherever a verdict is shown, so the reason and the verdict cannot disagree.
std::string no_pulse_criterion(const channel_fit& f);

/// `verdict` once the recording's number of `events` is known: below min_events_for_errors a
/// verdict drawn from the errors (good, unphysical, poor fit) becomes few_events. No usable
/// points, too few points, saturated and not converged stay, being facts of the points, and so
/// does no pulse, which says more about a dead channel than the recording's length does.
fit_verdict judge_events(fit_verdict verdict, int64_t events);
