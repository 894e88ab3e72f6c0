#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/tool_run.h"

namespace {

using args = std::vector<std::string>;

class VarnelSim : public ::testing::Test {
 protected:
  // Runs the program with `a`; returns its exit status and keeps its stderr in errors_.
  int run(const args& a) {
    args argv{VARNEL_SIM_EXE};
    argv.insert(argv.end(), a.begin(), a.end());
    program_run r = run_program(argv);
    errors_ = r.err;
    return r.status;
  }
  static std::string read(const std::string& path) { return read_file(path).value_or(""); }
  std::string output() const { return dir_ / "r.txt"; }

  temp_dir dir_;
  std::string errors_;
};

TEST_F(VarnelSim, WritesTheRecordingAndItsTruth) {
  ASSERT_EQ(
      run({"--events", "2", "--noise", "0", "--amplitude", "3=250", "--all-amplitudes", "400",
           "--dead", "5", "--all-baselines=90", "--values-per-line", "7", "--output", output()}),
      0)
      << errors_;
  std::istringstream truth(read(output() + ".truth"));
  std::string header;
  std::getline(truth, header);
  for (int c = 0; c < 32; ++c) {
    int channel;
    double baseline, amplitude, peak_time, time_stamp;
    bool dead, saturated;
    truth >> channel >> baseline >> amplitude >> peak_time >> time_stamp >> dead >> saturated;
    EXPECT_EQ(channel, c);
    EXPECT_EQ(baseline, 90);
    EXPECT_EQ(amplitude, c == 3 ? 250 : 400) << "channel " << c;  // per channel wins
    EXPECT_EQ(dead, c == 5);
  }
  const std::string recording = read(output());
  EXPECT_EQ(std::count(recording.begin(), recording.end(), '\n'), (2 * 220 * 32 + 6) / 7);
  std::istringstream values(recording);
  int count = 0;
  for (int v; values >> v;) ++count;
  EXPECT_EQ(count, 2 * 220 * 32);
}

TEST_F(VarnelSim, UsageErrorsExitWithTwoAndOneLine) {
  const std::string out = output();
  for (const args& a :
       {args{"--events", "2"}, args{"--bogus", "1", "--output", out},
        args{"--events", "12x", "--output", out}, args{"--dead", "32", "--output", out},
        args{"--baseline", "3", "--output", out}, args{"--events", "0", "--output", out},
        args{"--output", out, "--noise"}}) {
    EXPECT_EQ(run(a), 2) << a[0];
    EXPECT_EQ(std::count(errors_.begin(), errors_.end(), '\n'), 1) << a[0] << ": " << errors_;
  }
  EXPECT_FALSE(read_file(output()));
  EXPECT_EQ(run({"--help"}), 0);
  EXPECT_EQ(run({"--events", "1", "--output", dir_ / "missing/r.txt"}), 1);
}

}  // namespace
