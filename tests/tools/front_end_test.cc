// The simulator's real front ends: pulse shapes off the fit's model, shared noise, wander and
// the realistic preset.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "tools/campaign_simulator.h"
#include "tools/front_end_preset.h"
#include "tools/front_end_shape.h"
#include "tools/recording_simulator.h"
#include "tools/recording_values.h"

namespace {

uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ULL;
  return hash;
}

// Recordings as the simulator wrote them before it knew front ends, by the FNV-1a hash of their
// text: the exact defaults must keep every byte.
TEST(ExactDefaults, WriteTheBytesTheyWroteBefore) {
  EXPECT_EQ(fnv1a(simulate_recording(realistic_options(30, "20mV_delay-all", 1))),
            0x755d953454661bf2ULL);
  simulation_options jittered = realistic_options(20, "4mV_delay-all", 7);
  jittered.jitter = 3;
  jittered.drift = 15;
  EXPECT_EQ(fnv1a(simulate_recording(jittered)), 0x5fe4d47a1a343b56ULL);
  const std::string config = "20mV_delay-all";
  EXPECT_EQ(fnv1a(simulate_recording(campaign_chip_options(3, 12, config, chip_fault::late))),
            0x13a6bfae46333344ULL);
  EXPECT_EQ(fnv1a(simulate_recording(campaign_chip_options(6, 12, config, chip_fault::noisy))),
            0x96363e464dfb1b74ULL);
  EXPECT_EQ(
      fnv1a(simulate_recording(campaign_chip_options(11, 12, config, chip_fault::wrong_config))),
      0xcd6a58c904635674ULL);
  EXPECT_EQ(fnv1a(simulate_recording(
                gain_chip_options(16, 10, "4mV_delay-all", 4, 20, chip_fault::nonlinear))),
            0xa85f3207d9ac3b52ULL);
}

// The position (ns) and value of the largest of `shape`'s values on a 0.05 ns grid.
std::pair<double, double> maximum_of(const front_end_shape& shape, double until) {
  std::pair<double, double> best{0, -1};
  for (double t = 0; t < until; t += 0.05)
    if (shape.at(t) > best.second) best = {t, shape.at(t)};
  return best;
}

TEST(FrontEndShape, AnOrderPeaksAtThePeakTimeWithUnitHeightAndFollowsItsFormula) {
  for (double order : {2.5, 3.5, 4.0, 4.5, 6.0}) {
    const front_end_shape shape({150, order}, 3000);
    const auto [where, height] = maximum_of(shape, 1000);
    EXPECT_NEAR(where, 150, 0.3) << order;
    EXPECT_NEAR(height, 1, 1e-6) << order;
    for (double t : {-10.0, 0.0, 13.3, 75.0, 149.9, 222.2, 600.0, 2000.0}) {
      const double u = t / 150,
                   formula = u <= 0 ? 0 : std::pow(u, order) * std::exp(order - order * u);
      EXPECT_NEAR(shape.at(t), formula, 5e-6) << order << " at " << t;
    }
  }
}

TEST(FrontEndShape, TheInjectedRampAveragesThePulseOverItsDuration) {
  const double peak = 140, rise = 10;
  const front_end_shape ramped({peak, 3.8, 0, 1000, rise}, 3000);
  // The response to a linear ramp of the step: the plain pulse averaged over the ramp's length.
  auto averaged = [&](double t) {
    double sum = 0;
    const int steps = 2000;
    for (int i = 0; i < steps; ++i)
      sum += shaper_of_order((t - rise * (i + 0.5) / steps) / peak, 3.8);
    return sum / steps;
  };
  double largest = 0;
  for (double t = peak; t < peak + rise; t += 0.01) largest = std::max(largest, averaged(t));
  for (double t : {2.0, 30.0, 100.0, 145.0, 150.0, 300.0})
    EXPECT_NEAR(ramped.at(t), averaged(t) / largest, 2e-5) << t;
  const auto [where, height] = maximum_of(ramped, 1000);
  EXPECT_NEAR(height, 1, 1e-6);
  EXPECT_NEAR(where, peak + rise / 2, 1.0);  // the ramp's middle is the effective start
}

// Noiseless recordings of one pulse shape on every channel; the test reads channel 0.
simulation_options quiet(double tail, double tail_time) {
  simulation_options o;
  o.events = 2;
  o.noise = 0;
  for (channel_truth& c : o.channels) {
    c = {100, 500, 160, 700};  // the peak falls on a sample
    c.tail = tail;
    c.tail_time = tail_time;
  }
  return o;
}

// Event 1's pulse of channel 0 over the equivalent-time grid: 150 samples 20 ns apart, above
// the baseline, ADC counts.
std::vector<int> pulse_samples(const simulation_options& o) {
  const std::vector<int> v = values_of(simulate_recording(o));
  std::vector<int> samples;
  for (int row = 220 + 11; row < 220 + 161; ++row) samples.push_back(at(v, row, 0) - 100);
  return samples;
}

double area_of(const std::vector<int>& samples) {
  double sum = 0;
  for (int s : samples) sum += s;
  return 20.0 * sum;  // each sample stands for 20 ns of the reconstructed time axis
}

TEST(FrontEndShape, ATailAddsAboutItsHeightTimesItsTimeConstantToTheArea) {
  const double plain = area_of(pulse_samples(quiet(0, 1000)));
  EXPECT_NEAR(plain / (500 * 160), std::exp(4.0) * 24 / 1024, 0.01);  // the model's own area
  double previous_ratio = 10, previous_dip = 0;
  for (double tau : {400.0, 800.0}) {
    for (double tail : {0.03, -0.03}) {
      const std::vector<int> samples = pulse_samples(quiet(tail, tau));
      EXPECT_GE(*std::max_element(samples.begin(), samples.end()), 499) << tail;
      EXPECT_LE(*std::max_element(samples.begin(), samples.end()), 500) << tail;
      // A tail of height f A decaying with tau holds f A tau, somewhat more as it builds up
      // while the pulse passes, somewhat less where the pulse window ends before it has gone.
      const double ratio = (area_of(samples) - plain) / (tail * 500 * tau);
      EXPECT_GT(ratio, 0.95) << tail << " " << tau;
      EXPECT_LT(ratio, 1.45) << tail << " " << tau;
      if (tail > 0) {
        EXPECT_LT(ratio, previous_ratio) << tau;  // the build-up counts less for a slower tail
        previous_ratio = ratio;
      } else {  // an undershoot dips below the baseline, by more the slower it recovers
        const int lowest = *std::min_element(samples.begin(), samples.end());
        EXPECT_LT(lowest, 0.4 * tail * 500) << tau;
        EXPECT_GT(lowest, tail * 500 - 1) << tau;
        EXPECT_LT(lowest, previous_dip) << tau;
        previous_dip = lowest;
        EXPECT_GT(samples.back(), lowest / 2) << tau;  // and has nearly recovered at the end
      }
    }
  }
}

TEST(FrontEndShape, RecordingsOfOtherOrdersPeakAtTheAmplitude) {
  simulation_options o = quiet(0, 1000);
  o.channels[0] = {100, 500, 200, 800};  // the peak falls on pulse 0's sample 4
  for (double order : {2.5, 3.6, 4.4}) {
    o.channels[0].order = order;
    const std::vector<int> v = values_of(simulate_recording(o));
    EXPECT_EQ(at(v, 11 + 4, 0), 600) << order;
    EXPECT_LT(at(v, 11 + 3, 0), 600) << order;
    EXPECT_LT(at(v, 11 + 5, 0), 600) << order;
  }
}

// The rows first, first + 1, ..., first + count - 1.
std::vector<int> row_range(int first, int count) {
  std::vector<int> rows;
  for (int r = first; r < first + count; ++r) rows.push_back(r);
  return rows;
}

TEST(CommonMode, MovesEveryChannelOfARowAlikeWithTheRequestedSigma) {
  simulation_options o = realistic_options(1, "20mV_delay-all", 4);
  o.leading_rows = 4000;
  const std::vector<int> alone = values_of(simulate_recording(o));
  EXPECT_LT(shared_variance(alone, row_range(0, 4000)), 0.02);
  o.common_mode = 1.5;
  const std::vector<int> shared = values_of(simulate_recording(o));
  EXPECT_NEAR(std::sqrt(shared_variance(shared, row_range(0, 4000))), 1.5, 0.06);
  // The channels' own noise draws stay: within a row, every channel moved by the same amount.
  for (int row = 0; row < 4000; ++row) {
    int low = 1 << 20, high = -(1 << 20);
    for (int c = 0; c < 32; ++c) {
      const int moved = at(shared, row, c) - at(alone, row, c);
      low = std::min(low, moved);
      high = std::max(high, moved);
    }
    ASSERT_LE(high - low, 1) << "row " << row;
  }
  // Gap rows do not take it: they read the gap level as before.
  for (int row = 4000; row < 4010; ++row)
    for (int c = 0; c < 32; ++c) ASSERT_EQ(at(shared, row, c), at(alone, row, c));
}

TEST(Wander, MovesTheBaselinesAlongASlowSinusoid) {
  simulation_options o = quiet(0, 1000);
  o.leading_rows = 6000;
  o.wander = 6;
  o.wander_period = 2000;
  const std::vector<int> v = values_of(simulate_recording(o));
  int low = 1000, high = 0;
  for (int row = 0; row < 6000; ++row) {
    const int d = at(v, row, 5) - 100;
    low = std::min(low, d);
    high = std::max(high, d);
    for (int c = 0; c < 32; ++c) ASSERT_EQ(at(v, row, c), at(v, row, 5));  // every channel alike
    if (row < 4000) {
      ASSERT_NEAR(at(v, row + 2000, 5) - 100, d, 1) << row;   // a period on
      ASSERT_NEAR(at(v, row + 1000, 5) - 100, -d, 1) << row;  // half a period on
    }
  }
  EXPECT_EQ(low, -6);
  EXPECT_EQ(high, 6);
}

TEST(RealisticPreset, DrawsWithinItsDocumentedRanges) {
  const front_end_ranges& r = realistic_front_end;
  std::vector<double> designs;
  for (uint64_t seed = 1; seed <= 30; ++seed) {
    const simulation_options o = realistic_front_end_options(2, "20mV_delay-all", seed);
    double lowest = 10, highest = 0;
    for (const channel_truth& c : o.channels) {
      lowest = std::min(lowest, c.order);
      highest = std::max(highest, c.order);
      EXPECT_LE(std::abs(c.tail), r.tail);
      EXPECT_TRUE(c.tail_time >= r.tail_time_low && c.tail_time <= r.tail_time_high);
      EXPECT_TRUE(c.injection_rise >= 0 && c.injection_rise <= r.injection_rise);
    }
    EXPECT_GE(lowest, 3.5);
    EXPECT_LE(highest, 4.5);
    EXPECT_LE(highest - lowest, 2 * r.order_spread);  // one design, a small spread
    designs.push_back((lowest + highest) / 2);
    EXPECT_TRUE(o.jitter >= 0 && o.jitter <= r.jitter);
    EXPECT_EQ(o.common_mode, o.noise / 2);
    EXPECT_TRUE(o.wander >= 0 && o.wander <= r.wander);
    EXPECT_TRUE(o.wander_period >= r.wander_period_low && o.wander_period <= r.wander_period_high);
    EXPECT_EQ(validation_error(o), "");
    // Only the front end is drawn: the channels' other truths stay the plain preset's.
    const simulation_options plain = realistic_options(2, "20mV_delay-all", seed);
    EXPECT_EQ(o.channels[17].amplitude, plain.channels[17].amplitude);
    EXPECT_EQ(o.channels[17].time_stamp, plain.channels[17].time_stamp);
  }
  const auto [fewest, most] = std::minmax_element(designs.begin(), designs.end());
  EXPECT_GT(*most - *fewest, 0.3);  // designs differ from seed to seed
}

TEST(Truth, NamesTheFrontEndOnlyWhenTheRecordingHasOne) {
  std::ostringstream plain, real;
  write_truth(realistic_options(1, "20mV_delay-all", 2), plain);
  EXPECT_EQ(plain.str().find("order"), std::string::npos);
  const simulation_options o = realistic_front_end_options(1, "20mV_delay-all", 2);
  write_truth(o, real);
  std::istringstream in(real.str());
  std::string header, recording, word;
  std::getline(in, header);
  std::getline(in, recording);
  EXPECT_TRUE(header.ends_with("saturated order tail tail_time injection_rise")) << header;
  std::istringstream fields(recording);
  double jitter = -1, common_mode = -1;
  fields >> word >> word >> jitter >> word >> common_mode;
  EXPECT_EQ(jitter, o.jitter);
  EXPECT_EQ(common_mode, o.common_mode);
  int channel;
  double skip, order, tail, tail_time, rise;
  in >> channel >> skip >> skip >> skip >> skip >> skip >> skip >> order >> tail >> tail_time >>
      rise;
  EXPECT_EQ(channel, 0);
  EXPECT_TRUE(order == o.channels[0].order && tail == o.channels[0].tail &&
              tail_time == o.channels[0].tail_time && rise == o.channels[0].injection_rise);
}

TEST(Validation, RefusesFrontEndsThatCannotBeSimulated) {
  for (int i = 0; i < 6; ++i) {
    simulation_options o = realistic_options(1, "20mV_delay-all", 1);
    if (i == 0) o.channels[3].order = 0;
    if (i == 1) o.channels[3].tail_time = 0;
    if (i == 2) o.channels[3].injection_rise = -1;
    if (i == 3) o.channels[3].tail = NAN;
    if (i == 4) o.common_mode = -1;
    if (i == 5) o.wander_period = 0;
    EXPECT_NE(validation_error(o), "") << i;
  }
}

}  // namespace
