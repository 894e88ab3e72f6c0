// The cost of fitting all 32 channels of a run, on reconstructed points like a real recording's.
#include <benchmark/benchmark.h>

#include <random>

#include "fit/channel_fits.h"
#include "fit/shaper_model.h"
#include "reconstruction/snapshots.h"

namespace {

// 32 channels on the 20 ns grid: pulses of different heights and peak times with noise.
snapshot_table simulated_table(unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 0.3);
  snapshot_table table(32);
  for (int ch = 0; ch < 32; ++ch) {
    const double par[] = {145.0 + ch % 7, 790.0 + ch % 5 * 4, 0.0, 300.0 + 15 * ch};
    for (int i = 0; i < 150; ++i) {
      double t = (i / 10 + 1) * 200.0 - (i % 10) * 20.0;
      table[ch].push_back({t, {Fit_Function(&t, par) + noise(rng), 0.3}});
    }
  }
  return table;
}

void BM_FitAllChannels(benchmark::State& state) {
  snapshot_table table = simulated_table(1);
  for (auto _ : state) {
    diagnostics notes;
    benchmark::DoNotOptimize(fit_all_channels(table, 150.0, notes));
  }
  state.SetLabel("32 channels, 150 points each");
}
BENCHMARK(BM_FitAllChannels)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
