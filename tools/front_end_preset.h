#pragma once

#include <cstdint>
#include <string>

#include "tools/recording_simulator.h"

// The realistic preset: how far real front ends and benches stray from the fit's model, drawn
// per channel and per recording from a seed.

/// The ranges the preset draws from, uniformly unless said otherwise.
struct front_end_ranges {
  double design_order_low = 3.6;   ///< the design's shaping order, lowest
  double design_order_high = 4.4;  ///< the design's shaping order, highest
  double order_spread = 0.1;       ///< a channel's order: the design's +- this
  double tail = 0.01;              ///< a channel's tail or undershoot: -this..+this of the height
  double tail_time_low = 200.0;    ///< the tail's time constant, shortest, ns
  double tail_time_high = 1000.0;  ///< the tail's time constant, longest, ns
  double injection_rise = 10.0;    ///< the injected step's rise time: 0..this, ns
  double jitter = 2.0;             ///< a recording's injection jitter (sigma): 0..this, ns
  double common_mode_of_noise = 0.5;   ///< common-mode sigma: exactly this times the channel noise
  double wander = 1.0;                 ///< the pedestal wander's amplitude: 0..this, ADC counts
  double wander_period_low = 20000.0;  ///< the wander's period, shortest, rows
  double wander_period_high = 100000.0;  ///< the wander's period, longest, rows
};

/// The preset's ranges.
inline constexpr front_end_ranges realistic_front_end{};

/// The shaping order of the design that `design_seed` stands for, in the preset's range.
double draw_design_order(uint64_t design_seed);

/// Draws from `seed` every channel's order (around `design_order`), tail, tail time and
/// injection rise, and the recording's jitter, common-mode noise (from `o.noise`) and wander,
/// within realistic_front_end; the channels' other truths and the noise draws stay as they are.
void draw_front_end(simulation_options& o, double design_order, uint64_t seed);

/// realistic_options(events, config, seed) with draw_front_end(draw_design_order(seed), seed).
simulation_options realistic_front_end_options(int events, const std::string& config,
                                               uint64_t seed);

/// The preset's ranges as lines of text for --help, each line newline-ended.
std::string front_end_preset_help();
