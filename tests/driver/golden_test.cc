// The committed recordings in tests/golden/ give exactly their committed logs and messages; when a
// change of the numbers is intended, scripts/regenerate-golden.sh rewrites them as a visible diff.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/tool_run.h"

namespace {

struct golden_case {
  std::string name, chip, config;
  std::string hash;                      // of a simulated recording: FNV-1a, 64 bits, in hex
  std::vector<std::string> sim_options;  // how varnel-sim writes it
};

std::vector<golden_case> golden_cases(const std::string& file) {
  std::ifstream in(std::string(VARNEL_GOLDEN_DIR) + "/" + file);
  std::vector<golden_case> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    golden_case c;
    fields >> c.name >> c.chip >> c.config >> c.hash;
    for (std::string option; fields >> option;) c.sim_options.push_back(option);
    cases.push_back(c);
  }
  return cases;
}

std::string fnv1a64(const std::string& bytes) {
  uint64_t h = 0xcbf29ce484222325u;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3u;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(h));
  return text;
}

std::string golden(const std::string& file) {
  return read_file(std::string(VARNEL_GOLDEN_DIR) + "/" + file).value_or("(missing " + file + ")");
}

// Runs varnel.exe on `recording` in `dir` and compares its log and messages with the case's.
void expect_golden_run(const golden_case& c, const temp_dir& dir, const std::string& recording) {
  run_options options;
  options.cwd = dir.path();
  program_run r = run_tool({c.chip, c.config, recording}, options);
  EXPECT_EQ(r.status, 0) << c.name;
  EXPECT_EQ(r.out, "") << c.name;
  EXPECT_EQ(r.err, golden(c.name + ".err")) << c.name;
  EXPECT_EQ(read_file(dir / ("rise_time_korvi" + c.chip + "_" + c.config + ".log")),
            golden(c.name + ".log"))
      << c.name;
}

TEST(GoldenLogs, EveryCommittedRecordingGivesItsCommittedLogAndMessages) {
  std::vector<golden_case> cases = golden_cases("cases.txt");
  ASSERT_EQ(cases.size(), 3u);
  for (const golden_case& c : cases) {
    temp_dir dir;
    const std::string recording = c.name + "_adc.txt";
    ASSERT_TRUE(write_file(dir / recording, golden(recording)));
    expect_golden_run(c, dir, recording);
  }
}

// An ordinary recording of 300 events, too large to commit, gives its log without a remark.
TEST(GoldenLogs, EverySimulatedRecordingGivesItsCommittedLogAndMessages) {
  std::vector<golden_case> cases = golden_cases("simulated.txt");
  ASSERT_EQ(cases.size(), 1u);
  for (const golden_case& c : cases) {
    temp_dir dir;
    const std::string recording = c.name + "_adc.txt";
    std::vector<std::string> sim = {VARNEL_SIM_EXE, "--output", dir / recording};
    sim.insert(sim.end(), c.sim_options.begin(), c.sim_options.end());
    ASSERT_EQ(run_program(sim).status, 0) << c.name;
    ASSERT_EQ(fnv1a64(read_file(dir / recording).value_or("")), c.hash)
        << c.name << ": varnel-sim no longer writes the recording the log was made from";
    expect_golden_run(c, dir, recording);
  }
}

}  // namespace
