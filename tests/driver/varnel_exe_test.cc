// Runs of the real executable: its command line, exit statuses, standard streams and log.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/bench_recording.h"
#include "support/rows.h"
#include "support/tool_run.h"

namespace {

const std::string exe = VARNEL_EXE;

run_options in(const std::string& dir) {
  run_options o;
  o.cwd = dir;
  return o;
}

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

// What a flat recording makes varnel.exe say: every channel has no point to fit.
std::string no_points_notes() {
  std::string notes;
  for (int ch = 0; ch < 32; ++ch)
    notes += "Channel " + std::to_string(ch) + " has no point to fit.\n";
  return notes;
}

TEST(VarnelExe, WritesTheLogBesideTheRecordingAndNamesEveryChannelItCouldNotFit) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  write_file(dir + "/rec.txt", flat_recording());
  program_run r = run_program({exe, "100000", "20mV_delay-all", dir + "/rec.txt", "extra"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, no_points_notes());
  EXPECT_EQ(read_file(dir + "/rise_time_korvi100000_20mV_delay-all.log"), zero_log());
  EXPECT_EQ(tree(dir),
            (std::set<std::string>{"rec.txt", "rise_time_korvi100000_20mV_delay-all.log"}));
}

TEST(VarnelExe, ReplacesAnEarlierLogRatherThanAppending) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  write_file(dir + "/rec.txt", flat_recording());
  write_file(dir + "/rise_time_korvi1_cfg.log", std::string(5000, 'x'));
  EXPECT_EQ(run_program({exe, "1", "cfg", dir + "/rec.txt"}).status, 0);
  EXPECT_EQ(read_file(dir + "/rise_time_korvi1_cfg.log"), zero_log());
}

TEST(VarnelExe, LeavesAnEarlierLogWhenReconstructionFails) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  write_file(dir + "/rec.txt", row_stream().data(1000).text());
  write_file(dir + "/rise_time_korvi1_cfg.log", "earlier\n");
  program_run r = run_program({exe, "1", "cfg", dir + "/rec.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Corrupt data, likely due to connection problems.\n");
  EXPECT_EQ(read_file(dir + "/rise_time_korvi1_cfg.log"), "earlier\n");

  program_run missing = run_program({exe, "1", "cfg", dir + "/none.txt"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "Cannot open file named " + dir + "/none.txt.\n");
  EXPECT_EQ(tree(dir), (std::set<std::string>{"rec.txt", "rise_time_korvi1_cfg.log"}));
}

TEST(VarnelExe, NamesTheLogAfterChipAndConfigurationVerbatim) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  write_file(dir + "/rec.txt", flat_recording());
  for (const char* config : {"4mV_delay-all", "4mV_delay-all ", "14mV_delay-all", "%s%d"}) {
    EXPECT_EQ(run_program({exe, "7", config, dir + "/rec.txt"}).status, 0) << config;
    EXPECT_TRUE(read_file(dir + "/rise_time_korvi7_" + config + ".log").has_value()) << config;
  }
}

TEST(VarnelExe, WritesTheLogOfABareFileNameInTheCurrentDirectory) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  write_file(dir + "/rec.txt", flat_recording());
  EXPECT_EQ(run_program({exe, "9", "cfg", "rec.txt"}, in(dir)).status, 0);
  EXPECT_EQ(read_file(dir + "/rise_time_korvi9_cfg.log"), zero_log());
}

// Memory does not grow with the recording: each bin keeps sums, not its samples. A run over a
// recording twenty times as long (about 55 MB) peaks within a few MiB of a short one's.
TEST(VarnelExe, NeedsNoMoreMemoryForALongerRecording) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer holds freed memory back";
#endif
  if (access("/usr/bin/time", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/time";
  temp_dir d;
  auto peak_kib = [&](int events) {
    write_file(d / "rec.txt", recording_text(bench_rows(events)));
    run_options o = in(d.path());
    o.prefix = {"/usr/bin/time", "-f", "%M", "-o", d / "peak"};
    program_run r = run_tool({"7", "20mV_delay-all", "rec.txt"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    return std::stol(read_file(d / "peak").value_or("0"));
  };
  long short_run = peak_kib(100), long_run = peak_kib(2000);
  EXPECT_LT(long_run, short_run + 4096) << short_run << " KiB for 100 events";
}

}  // namespace
