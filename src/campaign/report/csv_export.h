#pragma once

#include <string>
#include <vector>

#include "campaign/judge/acceptance.h"
#include "campaign/model/stored_recording.h"

/// `text` as one CSV cell: quoted when it holds a comma, quote or line break, and with a leading
/// `'` when it begins with `=`, `+`, `-`, `@`, a tab or a carriage return and is not a number, so
/// that a spreadsheet shows it as text rather than running it as a formula.
std::string csv_cell(const std::string& text);

/// The CSV header line, newline-ended: path, chip, config, status, message, channel, the six
/// results, chi2, ndf, usable_points, fitted_points, converged, verdict (the fit's), then noise,
/// misfit (a fraction of the amplitude), pedestal and headroom (ADC counts), the recording's
/// common_mode_noise (ADC counts), window_gap_events, looks_like, own_misfit and other_misfit,
/// flag ("flagged" or empty), reason (the channel's flags in words), chip_verdict ("pass",
/// "fail", "retest", "not judged", or "superseded" for a recording a later one replaced) and
/// current (1 for the recording that counts for its chip and configuration, else 0).
std::string csv_header();

/// The CSV rows of `recordings`: one per recording and channel, and one with the channel fields
/// empty for a recording without channels (a failed one), with the chip's verdict from
/// `verdicts`. Text fields are written by csv_cell(); numbers are written
/// exactly (shortest round trip), NULL as empty.
std::string csv_rows(const std::vector<stored_recording>& recordings,
                     const std::vector<chip_verdict>& verdicts);

/// The characterisation as CSV, header included: one row per chip and channel, `chip, channel,
/// configurations, gain, gain_err, offset, nonlinearity, noise_mV, gain_fC, noise_e,
/// rise_time_spread, time_stamp_spread, missing` (why there are no figures), then `flag`,
/// `reason` and `chip_verdict` from `verdicts` (judge_characterisation's).
std::string characterisation_csv(const std::vector<channel_characterisation>& channels,
                                 const std::vector<chip_verdict>& verdicts);

/// One row per chip, header included: `chip`, `chip_verdict` ("pass", "fail", "retest",
/// "incomplete" or "not judged") and `reasons` ("; "-separated, as `chips` prints them).
std::string chips_csv(const std::vector<chip_summary>& chips);
