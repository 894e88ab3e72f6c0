#include "tools/front_end_preset.h"

#include <random>

#include "common/number_text.h"

namespace {

// Streams apart from the noise's and the channels' own, so that the preset changes nothing else.
constexpr uint64_t design_stream = 0x2545f4914f6cdd1dULL;
constexpr uint64_t front_end_stream = 0xbf58476d1ce4e5b9ULL;

double uniform(std::mt19937_64& random, double low, double high) {
  return std::uniform_real_distribution<double>(low, high)(random);
}

void draw_channel(channel_truth& c, double design_order, std::mt19937_64& random) {
  const front_end_ranges& r = realistic_front_end;
  c.order = uniform(random, design_order - r.order_spread, design_order + r.order_spread);
  c.tail = uniform(random, -r.tail, r.tail);
  c.tail_time = uniform(random, r.tail_time_low, r.tail_time_high);
  c.injection_rise = uniform(random, 0.0, r.injection_rise);
}

}  // namespace

double draw_design_order(uint64_t design_seed) {
  std::mt19937_64 random(design_seed ^ design_stream);
  return uniform(random, realistic_front_end.design_order_low,
                 realistic_front_end.design_order_high);
}

void draw_front_end(simulation_options& o, double design_order, uint64_t seed) {
  const front_end_ranges& r = realistic_front_end;
  std::mt19937_64 random(seed ^ front_end_stream);
  for (channel_truth& c : o.channels) draw_channel(c, design_order, random);
  o.jitter = uniform(random, 0.0, r.jitter);
  o.common_mode = r.common_mode_of_noise * o.noise;
  o.wander = uniform(random, 0.0, r.wander);
  o.wander_period = uniform(random, r.wander_period_low, r.wander_period_high);
}

simulation_options realistic_front_end_options(int events, const std::string& config,
                                               uint64_t seed) {
  simulation_options o = realistic_options(events, config, seed);
  draw_front_end(o, draw_design_order(seed), seed);
  return o;
}

std::string front_end_preset_help() {
  const front_end_ranges& r = realistic_front_end;
  return "  shaping order: one per design, " + significant_text(r.design_order_low) + " to " +
         significant_text(r.design_order_high) + ", and per channel +- " +
         significant_text(r.order_spread) +
         " around it\n"
         "  tail: per channel, a slow tail (> 0) or an undershoot (< 0) of up to " +
         significant_text(100 * r.tail) +
         " % of\n"
         "    the pulse height, recovering with a time constant of " +
         significant_text(r.tail_time_low) + " to " + significant_text(r.tail_time_high) +
         " ns\n"
         "  injection rise: per channel, the test pulse's step rises linearly over 0 to " +
         significant_text(r.injection_rise) +
         " ns\n"
         "  jitter: per recording, each test pulse's start, sigma 0 to " +
         significant_text(r.jitter) +
         " ns\n"
         "  common-mode noise: per row, shared by all channels, sigma " +
         significant_text(r.common_mode_of_noise) +
         " times the noise\n"
         "  pedestal wander: every baseline follows a sinusoid of 0 to " +
         significant_text(r.wander) +
         " ADC counts\n"
         "    amplitude and " +
         significant_text(r.wander_period_low) + " to " + significant_text(r.wander_period_high) +
         " rows period\n";
}
