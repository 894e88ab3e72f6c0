#pragma once

#include <vector>

#include "reconstruction/snapshots.h"

/// Points within this many ADC counts of each other count as one constant level.
inline constexpr double ceiling_tolerance = 1.5;
/// A ceiling needs at least this many points without spread at its level.
inline constexpr int min_ceiling_points = 3;
/// A ceiling lies at least this far from the baseline, ADC counts: a flat stretch at the
/// baseline is a quiet channel, not a clipped one.
inline constexpr double min_ceiling_height = 10.0;
/// How far beyond the ceiling's first and last point in time (ns, one delay step) points count
/// as clipped in part.
inline constexpr double ceiling_time_margin = 20.0;

/// Marks, by index into `points`, the points at a constant ceiling (or floor) that a clipping
/// ADC leaves: the channel's extreme amplitude, at least `min_ceiling_height` from zero, is held
/// by a point without spread (its error not above the usable limit, every sample alike); its
/// neighbours in time within
/// `ceiling_tolerance` of it form a run holding at least `min_ceiling_points` points without
/// spread, which are at least half of the run. The run and every point within
/// `ceiling_time_margin` of it in time are marked. All false when there is no such ceiling.
std::vector<bool> ceiling_points(const channel_points& points);
