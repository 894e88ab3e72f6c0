#pragma once

#include "reconstruction/framing.h"
#include "reconstruction/snapshots.h"

/// True when any event reached the reconstruction window: bin 0 of channel 0 holds a sample.
bool has_samples(const bin_table& bins);

/// Replaces every channel's points in `table` (which must hold channel_count lists of
/// bins.bins() points) by the bins' means less a spline baseline through the mean level of each
/// pulse window's first three samples, with the error of each mean and its equivalent time:
/// (q + 1) * 200 ns - r * delay_step_ns for sample q of pulse window r. A bin of fewer than two
/// samples has the error 0.0; an empty one the amplitude NaN.
void fill_snapshots(const bin_table& bins, int used_steps, double delay_step_ns,
                    snapshot_table& table);
