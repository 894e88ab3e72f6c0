// The cost of fitting all 32 channels of a run, on reconstructed points like a real recording's.
#include <benchmark/benchmark.h>

#include <random>

#include "common/processors.h"
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

// 32 channels that need every start: small, narrow, negative pulses far from the specified start
// (peak time 150 ns, time stamp 800 ns), standing only a few errors above the noise, so that the
// search tries the data's own starts and then places pulses across the whole range.
snapshot_table hard_table(unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  snapshot_table table(32);
  for (int ch = 0; ch < 32; ++ch) {
    const double par[] = {30.0 + ch % 5 * 6, 1500.0 + 30 * ch, 0.0, -9.0};
    for (int i = 0; i < 150; ++i) {
      double t = (i / 10 + 1) * 200.0 - (i % 10) * 20.0;
      table[ch].push_back({t, {Fit_Function(&t, par) + noise(rng), 1.0}});
    }
  }
  return table;
}

void fit_table(benchmark::State& state, const snapshot_table& table, int threads) {
  int fits = 0;
  for (auto _ : state) {
    diagnostics notes;
    std::vector<channel_fit> result =
        fit_all_channels(table, 150.0, events_not_counted, notes, threads);
    fits = 0;
    for (const channel_fit& f : result) fits += f.fits_run;
    benchmark::DoNotOptimize(result);
  }
  state.counters["fits per channel"] = fits / 32.0;
  state.counters["threads"] = threads;
}

// On one thread, and on as many as varnel.exe uses here.
void BM_FitAllChannels(benchmark::State& state) {
  fit_table(state, simulated_table(1), static_cast<int>(state.range(0)));
  state.SetLabel("an ordinary recording: 32 channels, 150 points each (goal < 10 ms)");
}
BENCHMARK(BM_FitAllChannels)
    ->Arg(1)
    ->Arg(usable_processors())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_FitAllChannelsEveryStart(benchmark::State& state) {
  fit_table(state, hard_table(1), static_cast<int>(state.range(0)));
  state.SetLabel("every channel needs every start (goal < 30 ms)");
}
BENCHMARK(BM_FitAllChannelsEveryStart)
    ->Arg(1)
    ->Arg(usable_processors())
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
