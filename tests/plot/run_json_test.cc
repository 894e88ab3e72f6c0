#include "plot/run_json.h"

#include <gtest/gtest.h>

#include <cmath>

#include "plot/plot_run.h"

namespace {

using nlohmann::json;

// A run whose values encode channel and point index, so that a mix-up of either shows.
plot_run encoded_run() {
  run_outcome outcome;
  outcome.log_path = "d/rise_time_korvi7_x.log";
  snapshot_table& table = outcome.points;
  table.resize(32);
  for (int ch = 0; ch < 32; ++ch) {
    channel_fit f;
    f.peak_time = 150.0 + ch;
    f.amplitude_err = 0.01 * ch;
    f.time_stamp = 800.0 - ch;
    f.chi2 = 1.5 * ch;
    f.ndf = ch - 1;
    f.xmax = 40.0 + ch;
    f.converged = ch != 7;
    f.verdict = ch == 7 ? fit_verdict::not_converged : fit_verdict::good;
    f.noise = ch == 5 ? std::nan("") : 2.0 + 0.5 * ch;
    outcome.fits.push_back(f);
    for (int i = 0; i < 4; ++i) table[ch].push_back({100.0 * ch + i, {ch + 0.001 * i, 0.1 * i}});
  }
  return make_plot_run("7", "x", "d/adc.txt", outcome);
}

TEST(RunJson, KeepsEachChannelsResultsAndPointsInOrder) {
  json doc = run_json(encoded_run());
  ASSERT_EQ(doc["channels"].size(), 32u);
  for (int ch = 0; ch < 32; ++ch) {
    const json& c = doc["channels"][ch];
    EXPECT_EQ(c["channel"], ch);
    EXPECT_DOUBLE_EQ(c["peak_time"].get<double>(), 150.0 + ch);
    EXPECT_DOUBLE_EQ(c["amplitude_err"].get<double>(), 0.01 * ch);
    EXPECT_DOUBLE_EQ(c["time_stamp"].get<double>(), 800.0 - ch);
    EXPECT_DOUBLE_EQ(c["chi2"].get<double>(), 1.5 * ch);
    EXPECT_EQ(c["ndf"], ch - 1);
    EXPECT_DOUBLE_EQ(c["fit_range"][1].get<double>(), 40.0 + ch);
    EXPECT_EQ(c["converged"].get<bool>(), ch != 7);
    EXPECT_EQ(c["verdict"], ch == 7 ? "not_converged" : "good");
    if (ch == 5)
      EXPECT_TRUE(c["noise"].is_null());
    else
      EXPECT_DOUBLE_EQ(c["noise"].get<double>(), 2.0 + 0.5 * ch);
    ASSERT_EQ(c["points"].size(), 4u);
    for (int i = 0; i < 4; ++i) {
      const json& p = c["points"][i];
      EXPECT_DOUBLE_EQ(p["time"].get<double>(), 100.0 * ch + i);
      EXPECT_DOUBLE_EQ(p["amplitude"].get<double>(), ch + 0.001 * i);
      EXPECT_DOUBLE_EQ(p["error"].get<double>(), 0.1 * i);
      EXPECT_EQ(p["usable"].get<bool>(), i > 0);  // a zero error marks a point left out
    }
  }
}

TEST(OutputPath, ReplacesOnlyTheLogEnding) {
  EXPECT_EQ(output_path("d/rise_time_korvi1_x.log", ".png"), "d/rise_time_korvi1_x.png");
  EXPECT_EQ(output_path("a.log/b.log", ".json"), "a.log/b.json");
  EXPECT_EQ(output_path("d/name", ".pdf"), "d/name.pdf");
}

}  // namespace
