#include "results/run_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "results/plot_run.h"

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
    f.misfit = ch == 9 ? std::nan("") : 0.001 * ch;
    f.pedestal = 100.25 + ch;
    f.headroom = 3000.5 - 2 * ch;
    outcome.fits.push_back(f);
    for (int i = 0; i < 4; ++i) table[ch].push_back({100.0 * ch + i, {ch + 0.001 * i, 0.1 * i}});
  }
  outcome.summary.common_mode_noise = 0.75;
  outcome.summary.window_gap_events = 3;
  outcome.config_check = {"4mV_delay-all", 0.0125, 0.0031};
  return make_plot_run("7", "x", "d/adc.txt", outcome);
}

TEST(RunJson, KeepsEachChannelsResultsAndPointsInOrder) {
  json doc = run_json(encoded_run());
  ASSERT_EQ(doc["channels"].size(), 32u);
  for (int ch = 0; ch < 32; ++ch) {
    const json& c = doc["channels"][ch];
    EXPECT_EQ(c["channel"], ch);
    EXPECT_DOUBLE_EQ(c["rise_time"].get<double>(), 150.0 + ch);
    EXPECT_DOUBLE_EQ(c["amplitude_err"].get<double>(), 0.01 * ch);
    EXPECT_DOUBLE_EQ(c["time_stamp"].get<double>(), 800.0 - ch);
    EXPECT_DOUBLE_EQ(c["chi2"].get<double>(), 1.5 * ch);
    EXPECT_EQ(c["ndf"], ch - 1);
    EXPECT_DOUBLE_EQ(c["fit_max"].get<double>(), 40.0 + ch);
    EXPECT_EQ(c["converged"].get<bool>(), ch != 7);
    EXPECT_EQ(c["verdict"], ch == 7 ? "not_converged" : "good");
    EXPECT_EQ(c["note"], ch == 7 ? "Fit of channel 7 did not converge." : "");
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

stored_run read_back(const std::string& text) {
  std::istringstream in(text);
  stored_run run;
  std::string error;
  EXPECT_TRUE(read_run_json(in, run, error)) << error;
  return run;
}

// Floats compare equal as doubles, NaN to NaN.
bool same(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

TEST(RunJson, ReadsBackWhatItWrote) {
  const plot_run written = encoded_run();
  const stored_run run = read_back(run_json_text(written));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.input, "d/adc.txt");
  EXPECT_EQ(run.log_path, "d/rise_time_korvi7_x.log");
  EXPECT_EQ(run.chipstring, "7");
  EXPECT_EQ(run.config, "x");
  ASSERT_EQ(run.fits.size(), 32u);
  ASSERT_EQ(run.points.size(), 32u);
  EXPECT_EQ(run.summary.common_mode_noise, 0.75);
  EXPECT_EQ(run.summary.window_gap_events, 3);
  EXPECT_EQ(run.config_check, written.config_check);
  for (int ch = 0; ch < 32; ++ch) {
    const channel_fit &w = written.fits[ch], &r = run.fits[ch];
    EXPECT_EQ(r.peak_time, w.peak_time);
    EXPECT_EQ(r.amplitude_err, w.amplitude_err);
    EXPECT_EQ(r.time_stamp, w.time_stamp);
    EXPECT_EQ(r.chi2, w.chi2);
    EXPECT_EQ(r.ndf, w.ndf);
    EXPECT_EQ(r.xmax, w.xmax);
    EXPECT_EQ(r.converged, w.converged);
    EXPECT_EQ(r.verdict, w.verdict);
    EXPECT_TRUE(same(r.noise, w.noise)) << ch;
    EXPECT_TRUE(same(r.misfit, w.misfit)) << ch;
    EXPECT_EQ(r.pedestal, w.pedestal);
    EXPECT_EQ(r.headroom, w.headroom);
    EXPECT_EQ(run.points[ch], written.points[ch]) << ch;
  }
}

// A channel as an earlier build wrote it: the rise time as "peak_time", no verdict, no noise.
const char* const earlier_result = R"({"input": "x_adc.txt", "log": "x.log", "chipstring": "1",
  "config": {"name": "20mV_delay-all"}, "events_completed": 40, "channels": [
  {"peak_time": 151, "peak_time_err": 1.5, "amplitude": 500, "amplitude_err": 2,
   "time_stamp": 800, "time_stamp_err": 1, "usable_points": 150, "fitted_points": 40,
   "fit_range": [700, 1200], "chi2": 40, "ndf": 37, "minimised": true, "converged": true,
   "points": [{"time": 700, "amplitude": 3, "error": null}]}]})";

TEST(RunJson, ReadsResultsOfEarlierBuilds) {
  const stored_run run = read_back(earlier_result);
  ASSERT_EQ(run.fits.size(), 1u);
  EXPECT_EQ(run.fits[0].peak_time, 151);
  EXPECT_EQ(run.fits[0].peak_time_err, 1.5);
  EXPECT_EQ(run.fits[0].verdict, fit_verdict::good);
  EXPECT_EQ(run.fits[0].xmin, 700);  // "fit_range": [min, max]
  EXPECT_EQ(run.fits[0].xmax, 1200);
  EXPECT_TRUE(std::isnan(run.fits[0].noise));
  EXPECT_TRUE(std::isnan(run.fits[0].misfit));
  EXPECT_TRUE(std::isnan(run.fits[0].headroom));
  EXPECT_TRUE(std::isnan(run.summary.common_mode_noise));
  EXPECT_EQ(run.summary.window_gap_events, 0);
  EXPECT_EQ(run.config_check.looks_like, "");
  EXPECT_TRUE(std::isnan(run.config_check.own_misfit));
  EXPECT_EQ(run.summary.events_completed, 40);
  EXPECT_EQ(run.summary.values_read, 0u);
  ASSERT_EQ(run.points[0].size(), 1u);
  EXPECT_TRUE(std::isnan(run.points[0][0].second.second));
}

TEST(RunJson, FailureRecordKeepsStatusAndEveryNoteTheLastAsItsMessage) {
  const stored_run run =
      read_back(failure_json_text("100001", "4mV_delay-all", "d/a_adc.txt", 1,
                                  {"Reading stopped at value 7 of d/a_adc.txt: not a number.",
                                   "Corrupt data, likely due to "
                                   "connection problems."}));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.input, "d/a_adc.txt");
  EXPECT_EQ(run.chipstring, "100001");
  EXPECT_EQ(run.config, "4mV_delay-all");
  EXPECT_EQ(run.message, "Corrupt data, likely due to connection problems.");
  EXPECT_EQ(run.notes.size(), 2u);
  EXPECT_TRUE(run.fits.empty());
}

TEST(RunJson, RefusesWhatIsNotAResult) {
  for (const std::string& text :
       {std::string("not json"), std::string(R"({"input": "a"})"),
        std::string(earlier_result)
            .replace(std::string(earlier_result).find("\"ndf\": 37"), 9, "\"ndf\": \"x\"")}) {
    std::istringstream in(text);
    stored_run run;
    std::string error;
    EXPECT_FALSE(read_run_json(in, run, error)) << text;
    EXPECT_EQ(error.rfind("not a result: ", 0), 0u) << error;
  }
}

TEST(OutputPath, ReplacesOnlyTheLogEnding) {
  EXPECT_EQ(output_path("d/rise_time_korvi1_x.log", ".png"), "d/rise_time_korvi1_x.png");
  EXPECT_EQ(output_path("a.log/b.log", ".json"), "a.log/b.json");
  EXPECT_EQ(output_path("d/name", ".pdf"), "d/name.pdf");
}

}  // namespace
