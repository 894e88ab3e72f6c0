#pragma once

#include <utility>
#include <vector>

/// One reconstructed pulse point: (time in ns, (baseline-corrected amplitude, its error) in ADC
/// counts).
using snapshot_point = std::pair<double, std::pair<double, double>>;
/// One channel's points, indexed by bin number (bin order, not time order).
using channel_points = std::vector<snapshot_point>;
/// The points of all 32 channels, indexed by channel number.
using snapshot_table = std::vector<channel_points>;
