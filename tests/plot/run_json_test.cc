#include "plot/run_json.h"

#include <gtest/gtest.h>

#include <cmath>

#include "plot/plot_run.h"

namespace {

using nlohmann::json;

// A run whose channel ch has points whose values encode (ch, index), so that a mix-up of
// channels or points shows.
plot_run encoded_run(const std::string& config) {
  run_outcome outcome;
  outcome.log_path = "d/rise_time_korvi7_" + config + ".log";
  outcome.summary.events_completed = 41;
  snapshot_table table(32);
  for (int ch = 0; ch < 32; ++ch) {
    channel_fit f;
    f.peak_time = 150.0 + ch;
    f.peak_time_err = 0.01 * ch;
    f.amplitude = 400.0 + 2 * ch;
    f.amplitude_err = 0.5;
    f.time_stamp = 800.0 - ch;
    f.time_stamp_err = 0.25;
    f.usable_points = 3;
    f.fitted_points = 2;
    f.xmin = 20.0;
    f.xmax = 40.0 + ch;
    f.chi2 = 1.5 * ch;
    f.ndf = ch - 1;
    f.minimised = true;
    f.converged = ch != 7;
    outcome.fits.push_back(f);
    for (int i = 0; i < 4; ++i) table[ch].push_back({100.0 * ch + i, {ch + 0.001 * i, 0.1 * i}});
  }
  return make_plot_run("7", config, "d/adc.txt", outcome, table);
}

TEST(RunJson, KeepsEveryChannelsResultsInChannelOrder) {
  json doc = run_json(encoded_run("20mV_delay-all"));
  ASSERT_EQ(doc["channels"].size(), 32u);
  for (int ch = 0; ch < 32; ++ch) {
    const json& c = doc["channels"][ch];
    EXPECT_EQ(c["channel"], ch);
    EXPECT_DOUBLE_EQ(c["peak_time"].get<double>(), 150.0 + ch);
    EXPECT_DOUBLE_EQ(c["peak_time_err"].get<double>(), 0.01 * ch);
    EXPECT_DOUBLE_EQ(c["amplitude"].get<double>(), 400.0 + 2 * ch);
    EXPECT_DOUBLE_EQ(c["time_stamp"].get<double>(), 800.0 - ch);
    EXPECT_DOUBLE_EQ(c["chi2"].get<double>(), 1.5 * ch);
    EXPECT_EQ(c["ndf"], ch - 1);
    EXPECT_EQ(c["fitted_points"], 2);
    EXPECT_EQ(c["converged"].get<bool>(), ch != 7);
    EXPECT_DOUBLE_EQ(c["fit_range"][1].get<double>(), 40.0 + ch);
  }
}

TEST(RunJson, ListsEveryPointInStoredOrderWithItsUsableFlag) {
  json doc = run_json(encoded_run("20mV_delay-all"));
  const json& pts = doc["channels"][9]["points"];
  ASSERT_EQ(pts.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_DOUBLE_EQ(pts[i]["time"].get<double>(), 900.0 + i);
    EXPECT_DOUBLE_EQ(pts[i]["amplitude"].get<double>(), 9 + 0.001 * i);
    EXPECT_DOUBLE_EQ(pts[i]["error"].get<double>(), 0.1 * i);
  }
  // A zero error marks a point the fit left out.
  EXPECT_FALSE(pts[0]["usable"].get<bool>());
  EXPECT_TRUE(pts[1]["usable"].get<bool>());
}

TEST(RunJson, UsableMeansAnErrorAboveTheThreshold) {
  EXPECT_FALSE(is_usable({0.0, {1.0, min_usable_error}}));
  EXPECT_TRUE(is_usable({0.0, {1.0, 2 * min_usable_error}}));
  EXPECT_FALSE(is_usable({0.0, {1.0, -1.0}}));
}

TEST(RunJson, DescribesTheRunAndTheConfigurationItsNameSelects) {
  for (const std::string name : {"4mV_delay-all", "20mV_delay-all"}) {
    json doc = run_json(encoded_run(name));
    run_config rc = choose_run_config(name);
    EXPECT_EQ(doc["input"], "d/adc.txt");
    EXPECT_EQ(doc["log"], "d/rise_time_korvi7_" + name + ".log");
    EXPECT_EQ(doc["chipstring"], "7");
    EXPECT_EQ(doc["events_completed"], 41);
    EXPECT_EQ(doc["config"]["name"], name);
    EXPECT_EQ(doc["config"]["window_offset"], rc.window_offset);
    EXPECT_EQ(doc["config"]["skipped_steps"], rc.skipped_steps);
    EXPECT_EQ(doc["config"]["peak_time_guess"], rc.peak_time_guess);
  }
}

TEST(RunJson, TextWithANonFiniteNumberStillParses) {
  plot_run run = encoded_run("20mV_delay-all");
  run.fits[3].chi2 = NAN;
  run.fits[4].peak_time_err = INFINITY;
  json back = json::parse(run_json_text(run));
  EXPECT_TRUE(back["channels"][3]["chi2"].is_null());
  EXPECT_TRUE(back["channels"][4]["peak_time_err"].is_null());
  EXPECT_EQ(back, run_json(run));
}

TEST(OutputPath, ReplacesOnlyTheLogEnding) {
  EXPECT_EQ(output_path("d/rise_time_korvi1_x.log", ".png"), "d/rise_time_korvi1_x.png");
  EXPECT_EQ(output_path("a.log/b.log", ".json"), "a.log/b.json");
  EXPECT_EQ(output_path("d/name", ".pdf"), "d/name.pdf");
}

}  // namespace
