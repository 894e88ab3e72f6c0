#pragma once

#include <optional>
#include <string_view>

/// What a channel's fit result is worth: a good measurement, or the reason it is not.
enum class fit_verdict {
  good,              ///< a pulse of the model's shape, measured
  no_usable_points,  ///< no point with an error above the usable limit; nothing was fitted
  too_few_points,    ///< fewer points in the fit range than free parameters
  no_pulse,          ///< the fitted amplitude is not significant
  saturated,         ///< points at a constant ceiling were left out; the amplitude is extrapolated
  poor_fit,          ///< chi2/ndf far above what clean recordings give
  not_converged,     ///< the minimiser did not reach a minimum
  unphysical,        ///< peak time <= 0, or the time stamp outside the reconstructed time range
  few_events,        ///< the points' errors rest on too few events to be trusted
};

/// A short stable name for storage and JSON: "good", "no_usable_points", "too_few_points",
/// "no_pulse", "saturated", "poor_fit", "not_converged", "unphysical", "few_events".
std::string_view verdict_name(fit_verdict v);

/// The verdict in a reason's words: "good", "no usable points", "too few points to fit", "no
/// pulse", "saturated", "poor fit", "fit did not converge", "unphysical fit", "too few events
/// for trustworthy errors"; "unknown" for a value outside the enumeration.
std::string_view verdict_words(fit_verdict v);

/// The verdict as a figure's short label under a channel's title: "" for good, else "no usable
/// points", "too few points", "no pulse", "saturated", "poor fit", "not converged",
/// "unphysical", "too few events"; "unknown" for a value outside the enumeration.
std::string_view verdict_label(fit_verdict v);

/// The verdict whose verdict_name() is `name`; none for any other text.
std::optional<fit_verdict> verdict_named(std::string_view name);
