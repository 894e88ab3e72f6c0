#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class VarnelSim : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("varnel-sim-test-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the program with `args`; returns its exit status and keeps its stderr in errors_.
  int run(const std::string& args) {
    const std::string command =
        std::string(VARNEL_SIM_EXE) + " " + args + " >/dev/null 2>" + (dir_ / "stderr").string();
    const int status = std::system(command.c_str());
    errors_ = read(dir_ / "stderr");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  static std::string read(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string output() const { return (dir_ / "r.txt").string(); }

  fs::path dir_;
  std::string errors_;
};

TEST_F(VarnelSim, WritesTheRecordingAndItsTruth) {
  ASSERT_EQ(run("--events 2 --noise 0 --amplitude 3=250 --all-amplitudes 400 --dead 5 "
                "--all-baselines=90 --values-per-line 7 --output " +
                output()),
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
  const std::string out = " --output " + output();
  for (const std::string& args :
       {std::string("--events 2"), "--bogus 1" + out, "--events 12x" + out, "--dead 32" + out,
        "--baseline 3" + out, "--events 0" + out, out + " --noise"}) {
    EXPECT_EQ(run(args), 2) << args;
    EXPECT_EQ(std::count(errors_.begin(), errors_.end(), '\n'), 1) << args << ": " << errors_;
  }
  EXPECT_FALSE(fs::exists(output()));
  EXPECT_EQ(run("--help"), 0);
  EXPECT_EQ(run("--events 1 --output " + (dir_ / "missing" / "r.txt").string()), 1);
}

}  // namespace
