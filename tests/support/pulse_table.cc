#include "support/pulse_table.h"

#include <random>

#include "fit/shaper_model.h"

snapshot_table clean_pulse_table() {
  std::mt19937 rng(4);
  std::normal_distribution<double> noise(0.0, 1.0);
  snapshot_table table(32);
  for (int ch = 0; ch < 32; ++ch) {
    const double par[] = {150.0, 800.0, 0.0, 400.0 + ch};
    for (int i = 0; i < 150; ++i) {
      double t = (i / 10 + 1) * 200.0 - (i % 10) * 20.0;
      table[ch].push_back({t, {Fit_Function(&t, par) + noise(rng), 1.0}});
    }
  }
  return table;
}
