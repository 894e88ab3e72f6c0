#pragma once

#include <string>
#include <vector>

#include "campaign/campaign_db.h"

/// The CSV header line, newline-ended: path, chip, config, status, message, channel, the six
/// results, chi2, ndf, usable_points, fitted_points, converged, verdict.
std::string csv_header();

/// The CSV rows of `recordings`: one per recording and channel, and one with the channel fields
/// empty for a recording without channels (a failed one). Fields holding a comma, quote or line
/// break are quoted; numbers are written exactly (shortest round trip), NULL as empty.
std::string csv_rows(const std::vector<stored_recording>& recordings);
