#pragma once

#include <cstdint>

#include "reconstruction/snapshots.h"

/// The spread of one sample where no pulse is, ADC counts: the root mean square of the sample
/// standard deviations of `points`' baseline bins (the first three samples of every pulse
/// window, bins 0 .. 3 * used_steps - 1 with used_steps = points.size() / 15), each its point's
/// error times sqrt(`samples_per_bin`). Bins whose error is not > 0 and finite (fewer than two
/// samples, or a reading that never changes) are left out; NaN when none is left.
double baseline_noise(const channel_points& points, int64_t samples_per_bin);
