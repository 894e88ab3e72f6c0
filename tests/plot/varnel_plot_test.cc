#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>

#include "driver/run.h"
#include "driver/run_config.h"
#include "plot/run_figure.h"
#include "plot/run_support.h"
#include "plot/test_recording.h"

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
    dir = std::make_unique<scratch_dir>();
    recording.dead_channels = {dead_channel};
    ASSERT_TRUE(write_recording_file(recording, dir->file("adc.txt")));
    result = run_program(VARNEL_PLOT_EXE, {"100000", "20mV_delay-all", dir->file("adc.txt")}, *dir);
    doc = json::parse(file_text(dir->file(log_name + ".json")), nullptr, false);
  }
  static void TearDownTestSuite() { dir.reset(); }

  static constexpr int dead_channel = 5;
  static inline std::unique_ptr<scratch_dir> dir;
  static inline test_recording recording;
  static inline program_result result;
  static inline json doc;
};

TEST_F(PlotOfARecording, SucceedsAndWritesTheThreeFilesBesideTheLog) {
  EXPECT_EQ(result.status, 0) << result.err;
  std::vector<std::string> expected = {"adc.txt", log_name + ".json", log_name + ".log",
                                       log_name + ".pdf", log_name + ".png"};
  EXPECT_EQ(dir->entries(), expected);  // and no temporary file is left over
}

TEST_F(PlotOfARecording, JsonHoldsTheLogsNumbers) {
  ASSERT_FALSE(doc.is_discarded());
  auto lines = log_fields(file_text(dir->file(log_name + ".log")));
  ASSERT_EQ(lines.size(), 32u);
  ASSERT_EQ(doc["channels"].size(), 32u);
  const char* keys[6] = {"peak_time",     "peak_time_err", "amplitude",
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
  EXPECT_EQ(doc["input"], dir->file("adc.txt"));
  EXPECT_EQ(doc["log"], dir->file(log_name + ".log"));
  EXPECT_EQ(doc["chipstring"], "100000");
  // The first gap only synchronises the framing, so the count is the analysis's own.
  scratch_dir other;
  ASSERT_TRUE(write_recording_file(recording, other.file("adc.txt")));
  run_outcome direct = run_analysis("100000", "20mV_delay-all", other.file("adc.txt"));
  EXPECT_EQ(doc["events_completed"], direct.summary.events_completed);
  EXPECT_GE(direct.summary.events_completed, recording.events - 1);
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
  auto size = png_size(file_text(dir->file(log_name + ".png")));
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->first, static_cast<unsigned>(figure_width));
  EXPECT_EQ(size->second, static_cast<unsigned>(figure_height));
  std::string pdf = file_text(dir->file(log_name + ".pdf"));
  ASSERT_GT(pdf.size(), 100u);
  EXPECT_EQ(pdf.compare(0, 5, "%PDF-"), 0);
  EXPECT_NE(pdf.substr(pdf.size() - 8).find("%%EOF"), std::string::npos);
}

TEST_F(PlotOfARecording, WritesTheSameLogAndNotesAsVarnelExe) {
  scratch_dir other;
  ASSERT_TRUE(write_recording_file(recording, other.file("adc.txt")));
  program_result plain =
      run_program(VARNEL_EXE, {"100000", "20mV_delay-all", other.file("adc.txt")}, other);
  EXPECT_EQ(plain.status, result.status);
  EXPECT_EQ(plain.err, result.err);
  EXPECT_EQ(plain.out, result.out);
  EXPECT_EQ(file_text(other.file(log_name + ".log")), file_text(dir->file(log_name + ".log")));
}

// `text` with the path of `d` replaced by "DIR", to compare messages from two directories.
std::string with_dir(std::string text, const scratch_dir& d) {
  for (size_t at; (at = text.find(d.path())) != std::string::npos;)
    text.replace(at, d.path().size(), "DIR");
  return text;
}

// Runs one tool on `input` (no file when null) in a directory of its own.
program_result run_on(const char* exe, const std::string* input, const scratch_dir& d) {
  if (input) {
    std::FILE* f = std::fopen(d.file("adc.txt").c_str(), "w");
    std::fputs(input->c_str(), f);
    std::fclose(f);
  }
  return run_program(exe, {"100000", "20mV_delay-all", d.file("adc.txt")}, d);
}

TEST(FailedRun, FailsAsVarnelExeDoesAndWritesNoPictures) {
  std::string gap_row;
  for (int ch = 0; ch < 32; ++ch) gap_row += ch ? " 5" : "5";
  std::string empty, gaps_only;
  for (int row = 0; row < 300; ++row) gaps_only += gap_row + "\n";
  const std::string* inputs[] = {nullptr, &empty, &gaps_only};
  for (const std::string* input : inputs) {
    scratch_dir plot_dir, plain_dir;
    program_result plot = run_on(VARNEL_PLOT_EXE, input, plot_dir);
    program_result plain = run_on(VARNEL_EXE, input, plain_dir);
    EXPECT_EQ(plot.status, 1);
    EXPECT_EQ(plot.status, plain.status);
    EXPECT_EQ(with_dir(plot.err, plot_dir), with_dir(plain.err, plain_dir));
    EXPECT_NE(plot.err.find(input ? "Corrupt data" : "Cannot open file"), std::string::npos)
        << plot.err;
    EXPECT_EQ(plot_dir.entries(), plain_dir.entries());  // no log, no pictures
  }
}

TEST(VarnelPlotArguments, TooFewGiveTheUsageOfVarnelExe) {
  scratch_dir d;
  for (std::vector<std::string> args : {std::vector<std::string>{}, {"1"}, {"1", "cfg"}}) {
    program_result plot = run_program(VARNEL_PLOT_EXE, args, d);
    program_result plain = run_program(VARNEL_EXE, args, d);
    EXPECT_EQ(plot.status, 255);
    EXPECT_EQ(plot.out, plain.out);
    EXPECT_EQ(plot.err, plain.err);
  }
  EXPECT_TRUE(d.entries().empty());
}

TEST(VarnelPlotOutputs, PictureThatCannotBeWrittenIsReported) {
  scratch_dir d;
  test_recording r;
  r.events = 50;
  ASSERT_TRUE(write_recording_file(r, d.file("adc.txt")));
  // A directory where the PNG belongs makes the rename fail.
  std::filesystem::create_directory(d.file(log_name + ".png"));
  program_result plot =
      run_program(VARNEL_PLOT_EXE, {"100000", "20mV_delay-all", d.file("adc.txt")}, d);
  EXPECT_EQ(plot.status, 1);
  EXPECT_EQ(plot.err, "Cannot write plot file named " + d.file(log_name + ".png") + ".\n");
  EXPECT_TRUE(exists(d.file(log_name + ".log")));
  EXPECT_FALSE(exists(d.file(log_name + ".pdf")));
  EXPECT_FALSE(exists(d.file(log_name + ".json")));
  std::vector<std::string> expected = {"adc.txt", log_name + ".log", log_name + ".png"};
  EXPECT_EQ(d.entries(), expected);
}

}  // namespace
