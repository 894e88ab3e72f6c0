#pragma once

#include "reconstruction/snapshots.h"

/// 32 channels of clean pulses on the 20 ns grid (peak time 150 ns, time stamp 800 ns, amplitude
/// 400 + channel, noise and errors 1 ADC count), for channels to be spoilt one by one.
snapshot_table clean_pulse_table();
