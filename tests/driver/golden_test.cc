// The committed recordings in tests/golden/ give exactly their committed logs and messages; when a
// change of the numbers is intended, scripts/regenerate-golden.sh rewrites them as a visible diff.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/tool_run.h"

namespace {

struct golden_case {
  std::string name, chip, config;
};

std::vector<golden_case> golden_cases() {
  std::ifstream in(std::string(VARNEL_GOLDEN_DIR) + "/cases.txt");
  std::vector<golden_case> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    golden_case c;
    fields >> c.name >> c.chip >> c.config;
    cases.push_back(c);
  }
  return cases;
}

std::string golden(const std::string& file) {
  return read_file(std::string(VARNEL_GOLDEN_DIR) + "/" + file).value_or("(missing " + file + ")");
}

TEST(GoldenLogs, EveryCommittedRecordingGivesItsCommittedLogAndMessages) {
  std::vector<golden_case> cases = golden_cases();
  ASSERT_EQ(cases.size(), 3u);
  for (const golden_case& c : cases) {
    temp_dir dir;
    const std::string recording = c.name + "_adc.txt";
    ASSERT_TRUE(write_file(dir / recording, golden(recording)));
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
}

}  // namespace
