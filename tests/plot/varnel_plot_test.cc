#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "driver/run.h"
#include "driver/run_config.h"
#include "plot/run_figure.h"
#include "plot/run_support.h"
#include "tools/recording_simulator.h"
#include "varnel_version.h"

namespace {

using nlohmann::json;

const std::string log_name = "rise_time_korvi100000_20mV_delay-all";

std::string two_decimals(double v) {
  char s[64];
  std::snprintf(s, sizeof s, "%.2f", v);
  return s;
}

// One successful run of varnel-plot on a recording with a dead channel, shared by the tests
// that only read what it wrote.
class PlotOfARecording : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<temp_dir>();
    recording.channels[dead_channel].dead = true;
    ASSERT_TRUE(write_file((*dir / ("adc.txt")), simulate_recording(recording)));
    result = run_in(VARNEL_PLOT_EXE, {"100000", "20mV_delay-all", (*dir / ("adc.txt"))}, *dir);
    doc = json::parse(file_text((*dir / (log_name + ".json"))), nullptr, false);
  }
  static void TearDownTestSuite() { dir.reset(); }

  static constexpr int dead_channel = 5;
  static inline std::unique_ptr<temp_dir> dir;
  static inline simulation_options recording = realistic_options(60, "20mV_delay-all", 7);
  static inline program_run result;
  static inline json doc;
};

TEST_F(PlotOfARecording, SucceedsAndWritesTheThreeFilesBesideTheLog) {
  EXPECT_EQ(result.status, 0) << result.err;
  std::set<std::string> expected = {"adc.txt", log_name + ".json", log_name + ".log",
                                    log_name + ".pdf", log_name + ".png"};
  EXPECT_EQ(tree(dir->path()), expected);  // and no temporary file is left over
}

TEST_F(PlotOfARecording, JsonHoldsTheLogsNumbers) {
  ASSERT_FALSE(doc.is_discarded());
  auto lines = log_fields(file_text((*dir / (log_name + ".log"))));
  ASSERT_EQ(lines.size(), 32u);
  ASSERT_EQ(doc["channels"].size(), 32u);
  const char* keys[6] = {"rise_time",     "rise_time_err", "amplitude",
                         "amplitude_err", "time_stamp",    "time_stamp_err"};
  for (int ch = 0; ch < 32; ++ch) {
    const json& c = doc["channels"][ch];
    EXPECT_EQ(c["channel"], ch);
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(two_decimals(c[keys[k]].get<double>()), lines[ch][k])
          << "channel " << ch << " " << keys[k];
  }
}

TEST_F(PlotOfARecording, JsonNamesTheRunAndCountsItsEvents) {
  EXPECT_EQ(doc["input"], (*dir / ("adc.txt")));
  EXPECT_EQ(doc["log"], (*dir / (log_name + ".log")));
  EXPECT_EQ(doc["chipstring"], "100000");
  // The first gap only synchronises the framing, so the count is the analysis's own.
  temp_dir other;
  ASSERT_TRUE(write_file((other / ("adc.txt")), simulate_recording(recording)));
  run_outcome direct = run_analysis("100000", "20mV_delay-all", (other / ("adc.txt")));
  EXPECT_EQ(doc["events_completed"], direct.summary.events_completed);
  EXPECT_GE(direct.summary.events_completed, recording.events - 1);
  EXPECT_EQ(doc["events_in_window"], direct.summary.events_in_window);
  run_config rc = choose_run_config("20mV_delay-all");
  const json& cfg = doc["config"];
  EXPECT_EQ(cfg["name"], "20mV_delay-all");
  EXPECT_EQ(cfg["window_offset"], rc.window_offset);
  EXPECT_EQ(cfg["skipped_steps"], rc.skipped_steps);
  EXPECT_EQ(cfg["peak_time_guess"], rc.peak_time_guess);
  EXPECT_EQ(cfg["delay_steps"], delay_steps);
  EXPECT_EQ(cfg["delay_step_ns"], delay_step_ns);
}

TEST_F(PlotOfARecording, PicturesAreCompleteFilesOfThePageSize) {
  auto size = png_size(file_text((*dir / (log_name + ".png"))));
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->first, static_cast<unsigned>(figure_width));
  EXPECT_EQ(size->second, static_cast<unsigned>(figure_height));
  std::string pdf = file_text((*dir / (log_name + ".pdf")));
  ASSERT_GT(pdf.size(), 100u);
  EXPECT_EQ(pdf.compare(0, 5, "%PDF-"), 0);
  EXPECT_NE(pdf.substr(pdf.size() - 8).find("%%EOF"), std::string::npos);
}

TEST_F(PlotOfARecording, WritesTheSameLogAndNotesAsVarnelExe) {
  temp_dir other;
  ASSERT_TRUE(write_file((other / ("adc.txt")), simulate_recording(recording)));
  program_run plain =
      run_in(VARNEL_EXE, {"100000", "20mV_delay-all", (other / ("adc.txt"))}, other);
  EXPECT_EQ(plain.status, result.status);
  EXPECT_EQ(plain.err, result.err);
  EXPECT_EQ(plain.out, result.out);
  EXPECT_EQ(file_text((other / (log_name + ".log"))), file_text((*dir / (log_name + ".log"))));
}

// `text` with the path of `d` replaced by "DIR", to compare messages from two directories.
std::string with_dir(std::string text, const temp_dir& d) {
  for (size_t at; (at = text.find(d.path())) != std::string::npos;)
    text.replace(at, d.path().size(), "DIR");
  return text;
}

// Runs one tool on `input` (no file when null) in a directory of its own.
program_run run_on(const char* exe, const std::string* input, const temp_dir& d) {
  if (input) {
    std::FILE* f = std::fopen((d / ("adc.txt")).c_str(), "w");
    std::fputs(input->c_str(), f);
    std::fclose(f);
  }
  return run_in(exe, {"100000", "20mV_delay-all", (d / ("adc.txt"))}, d);
}

// The last line of `text`, which ends with a newline, without it.
std::string last_line(const std::string& text) {
  const std::string body = text.substr(0, text.size() - 1);
  return body.substr(body.rfind('\n') + 1);  // npos + 1: the whole of a single line
}

// The failure record a failed run leaves where its results belong.
json failure_record(const temp_dir& d) {
  return json::parse(file_text(d / (log_name + ".json")), nullptr, false);
}

TEST(FailedRun, FailsAsVarnelExeDoesAndWritesOnlyARecordOfTheFailure) {
  std::string gap_row;
  for (int ch = 0; ch < 32; ++ch) gap_row += ch ? " 5" : "5";
  std::string empty, gaps_only;
  for (int row = 0; row < 300; ++row) gaps_only += gap_row + "\n";
  const std::string* inputs[] = {nullptr, &empty, &gaps_only};
  for (const std::string* input : inputs) {
    temp_dir plot_dir, plain_dir;
    program_run plot = run_on(VARNEL_PLOT_EXE, input, plot_dir);
    program_run plain = run_on(VARNEL_EXE, input, plain_dir);
    EXPECT_EQ(plot.status, 1);
    EXPECT_EQ(plot.status, plain.status);
    EXPECT_EQ(with_dir(plot.err, plot_dir), with_dir(plain.err, plain_dir));
    EXPECT_NE(plot.err.find(input ? "Corrupt data" : "Cannot open file"), std::string::npos)
        << plot.err;
    // No log, no pictures: only the record, which keeps the status and the reason.
    std::set<std::string> expected = tree(plain_dir.path());
    expected.insert(log_name + ".json");
    EXPECT_EQ(tree(plot_dir.path()), expected);
    const json record = failure_record(plot_dir);
    ASSERT_FALSE(record.is_discarded());
    EXPECT_EQ(record["status"], 1);
    EXPECT_EQ(record["chipstring"], "100000");
    EXPECT_EQ(record["config"]["name"], "20mV_delay-all");
    EXPECT_EQ(record["message"], last_line(plot.err));
    EXPECT_FALSE(record.contains("channels"));
  }
}

TEST(VarnelPlotArguments, UsageErrorsNameTheProgramWithStatusTwo) {
  temp_dir d;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "chipstring is required"},
      {{"1"}, "config is required"},
      {{"1", "cfg"}, "adcfilename is required"},
      {{"1", "cfg", "adc.txt", "extra"}, "The following argument was not expected: extra"},
      {{"--bogus", "1", "cfg", "adc.txt"}, "The following argument was not expected: --bogus"},
  };
  for (const auto& [args, message] : cases) {
    program_run plot = run_in(VARNEL_PLOT_EXE, args, d);
    EXPECT_EQ(plot.status, 2) << message;
    EXPECT_EQ(plot.out, "");
    EXPECT_EQ(plot.err, "varnel-plot: " + message + "\n");
  }
  EXPECT_TRUE(tree(d.path()).empty());
}

TEST(VarnelPlotArguments, HelpAndVersionGoToStandardOutput) {
  temp_dir d;
  program_run version = run_in(VARNEL_PLOT_EXE, {"--version"}, d);
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("varnel-plot ") + varnel_version + "\n");
  program_run help = run_in(VARNEL_PLOT_EXE, {"--help"}, d);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: varnel-plot [OPTIONS] chipstring config adcfilename\n"),
            std::string::npos)
      << help.out;
  EXPECT_TRUE(tree(d.path()).empty());
}

TEST(VarnelPlotOutputs, PictureThatCannotBeWrittenIsReported) {
  temp_dir d;
  simulation_options r = realistic_options(50, "20mV_delay-all", 7);
  ASSERT_TRUE(write_file((d / ("adc.txt")), simulate_recording(r)));
  // A directory where the PNG belongs makes the rename fail.
  std::filesystem::create_directory((d / (log_name + ".png")));
  program_run plot = run_in(VARNEL_PLOT_EXE, {"100000", "20mV_delay-all", (d / ("adc.txt"))}, d);
  EXPECT_EQ(plot.status, 1);
  EXPECT_EQ(plot.err, "Cannot write plot file named " + (d / (log_name + ".png")) + ".\n");
  EXPECT_TRUE(std::filesystem::exists((d / (log_name + ".log"))));
  EXPECT_FALSE(std::filesystem::exists((d / (log_name + ".pdf"))));
  const json record = failure_record(d);
  ASSERT_FALSE(record.is_discarded());
  EXPECT_EQ(record["status"], 1);
  EXPECT_EQ(record["message"], "Cannot write plot file named " + (d / (log_name + ".png")) + ".");
  std::set<std::string> expected = {"adc.txt", log_name + ".log", log_name + ".png/",
                                    log_name + ".json"};
  EXPECT_EQ(tree(d.path()), expected);
}

}  // namespace
