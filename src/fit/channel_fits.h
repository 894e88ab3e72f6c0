#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/diagnostics.h"
#include "fit/rise_time_fit.h"
#include "reconstruction/snapshots.h"

/// Whether the recording fits another configuration's framing much better than its own.
struct configuration_check {
  /// The configuration whose framing the recording fits much better, e.g. "4mV_delay-all";
  /// empty when there is no such evidence.
  std::string looks_like;
  /// The median misfit over the channels in the configuration analysed; NaN when not measured.
  double own_misfit = 0.0;
  /// The median misfit in the other configuration's framing; NaN when that was not tried.
  double other_misfit = 0.0;
  friend bool operator==(const configuration_check&, const configuration_check&) = default;
};

/// The event count to pass when it is not known: no channel is flagged for too few events.
inline constexpr int64_t events_not_counted = INT64_MAX;

/// Fits every channel of `table`, each from `peak_time_guess` (ns), on up to `threads` threads
/// (1: the calling thread alone), and adds in channel order a note for each channel that is not
/// a good measurement, saying why; a recording whose channels all differ a little from the
/// model's shape gets one note saying so (shape_off_model); channels flagged because the
/// recording holds only `events` events share one note at the end. The result is the same whatever
/// the number of threads. A channel without usable points comes back as all zeros.
std::vector<channel_fit> fit_all_channels(const snapshot_table& table, double peak_time_guess,
                                          int64_t events, diagnostics& notes, int threads = 1);

/// The upper median of chi2/ndf over the fits with a positive ndf (for an even count the larger
/// of the two middle ones); 0.0 when there is none.
double median_chi2_per_ndf(const std::vector<channel_fit>& fits);

/// The upper median of the misfit (a fraction of the amplitude) over the channels that show a
/// pulse fitted to the end, judged good or poor fit (before few_events replaced it); NaN when
/// there is none.
double median_misfit(const std::vector<channel_fit>& fits);

/// Whether the channels of `fits` differ alike from the model's shape by a noticeable amount
/// that is not yet poor: their median misfit lies above noticeable_misfit and not above
/// max_good_misfit.
bool shape_off_model(const std::vector<channel_fit>& fits);
