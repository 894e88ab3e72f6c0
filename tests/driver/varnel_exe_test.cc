// Runs of the real executable: its command line, exit statuses, standard streams and log.
#include <gtest/gtest.h>

#include "support/process.h"
#include "support/rows.h"

namespace {

const std::string exe = VARNEL_EXE;
const std::string usage_tail =
    "Syntax should be:\n./varnel.exe chipstring config adcfilename\nExample:\n./varnel.exe 100000 "
    "20mV_delay-all /home/frell/robot/20180725/123510_korvi100000/"
    "123510_korvi100000_dessel00_link00_20mV_delay-all_adc.txt\n";

// Flat events: every channel constant, so every point has the error 0 and every line is zeros.
std::string flat_recording(int events = 3) {
  row_stream s;
  s.gap(10).data(5);
  for (int e = 0; e < events; ++e) s.gap(10).data(220);
  return s.text();
}

std::string zero_log() {
  std::string log = "Channel #  Rise time (ns)         Amplitude (ADC)          Timestamp (ns)\n";
  for (int ch = 0; ch < 32; ++ch) {
    char line[100];
    std::snprintf(line, sizeof line,
                  "%2d          0.00 +/- 0.00           0.00 +/- 0.00           0.00 +/- 0.00\n",
                  ch);
    log += line;
  }
  return log;
}

TEST(VarnelExe, PrintsTheUsageWithTooFewArguments) {
  std::string dir = fresh_dir("usage");
  process_result none = run_process({exe}, dir);
  EXPECT_EQ(none.status, 255);
  EXPECT_EQ(none.out, "Not enough arguments: argc = 1\n" + usage_tail);
  EXPECT_EQ(none.err, "");
  process_result two = run_process({exe, "100000", dir + "/x.txt"}, dir);
  EXPECT_EQ(two.status, 255);
  EXPECT_EQ(two.out, "Not enough arguments: argc = 3\n" + usage_tail);
  EXPECT_TRUE(list_dir(dir).empty());
}

TEST(VarnelExe, WritesTheLogBesideTheRecordingAndSaysNothing) {
  std::string dir = fresh_dir("success");
  write_file(dir + "/rec.txt", flat_recording());
  process_result r = run_process({exe, "100000", "20mV_delay-all", dir + "/rec.txt", "extra"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read_file(dir + "/rise_time_korvi100000_20mV_delay-all.log"), zero_log());
  EXPECT_EQ(list_dir(dir),
            (std::vector<std::string>{"rec.txt", "rise_time_korvi100000_20mV_delay-all.log"}));
}

TEST(VarnelExe, ReplacesAnEarlierLogRatherThanAppending) {
  std::string dir = fresh_dir("replace");
  write_file(dir + "/rec.txt", flat_recording());
  write_file(dir + "/rise_time_korvi1_cfg.log", std::string(5000, 'x'));
  EXPECT_EQ(run_process({exe, "1", "cfg", dir + "/rec.txt"}).status, 0);
  EXPECT_EQ(read_file(dir + "/rise_time_korvi1_cfg.log"), zero_log());
}

TEST(VarnelExe, LeavesAnEarlierLogWhenReconstructionFails) {
  std::string dir = fresh_dir("fail");
  write_file(dir + "/rec.txt", row_stream().data(1000).text());
  write_file(dir + "/rise_time_korvi1_cfg.log", "earlier\n");
  process_result r = run_process({exe, "1", "cfg", dir + "/rec.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Corrupt data, likely due to connection problems.\n");
  EXPECT_EQ(read_file(dir + "/rise_time_korvi1_cfg.log"), "earlier\n");

  process_result missing = run_process({exe, "1", "cfg", dir + "/none.txt"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Cannot open file named " + dir + "/none.txt.\n");
  EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"rec.txt", "rise_time_korvi1_cfg.log"}));
}

TEST(VarnelExe, NamesTheLogAfterChipAndConfigurationVerbatim) {
  std::string dir = fresh_dir("names");
  write_file(dir + "/rec.txt", flat_recording());
  for (const char* config : {"4mV_delay-all", "4mV_delay-all ", "14mV_delay-all", "%s%d"}) {
    EXPECT_EQ(run_process({exe, "7", config, dir + "/rec.txt"}).status, 0) << config;
    EXPECT_TRUE(file_exists(dir + "/rise_time_korvi7_" + config + ".log")) << config;
  }
}

TEST(VarnelExe, WritesTheLogOfABareFileNameInTheCurrentDirectory) {
  std::string dir = fresh_dir("bare");
  write_file(dir + "/rec.txt", flat_recording());
  EXPECT_EQ(run_process({exe, "9", "cfg", "rec.txt"}, dir).status, 0);
  EXPECT_EQ(read_file(dir + "/rise_time_korvi9_cfg.log"), zero_log());
}

TEST(VarnelExe, FailsWhenTheLogCannotBeCreated) {
  std::string dir = fresh_dir("nolog");
  write_file(dir + "/rec.txt", flat_recording());
  process_result r = run_process({exe, "a/b", "cfg", dir + "/rec.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open log file named " + dir + "/rise_time_korvia/b_cfg.log.\n");
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{"rec.txt"});
}

}  // namespace
