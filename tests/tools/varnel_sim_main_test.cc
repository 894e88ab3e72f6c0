#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

std::vector<std::vector<std::string>> truth_rows(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("#")) continue;
    std::istringstream fields(line);
    rows.emplace_back();
    for (std::string f; fields >> f;) rows.back().push_back(f);
  }
  return rows;
}

TEST_F(VarnelSim, WritesTheRecordingAndItsTruth) {
  ASSERT_EQ(run("--events 2 --noise 0 --amplitude 3=250 --all-amplitudes 400 --dead 5 "
                "--all-baselines=90 --values-per-line 7 --output " +
                output()),
            0)
      << errors_;
  const auto truth = truth_rows(read(output() + ".truth"));
  ASSERT_EQ(truth.size(), 32u);
  for (int c = 0; c < 32; ++c) {
    ASSERT_EQ(truth[c].size(), 7u);
    EXPECT_EQ(truth[c][1], "90");
    EXPECT_EQ(truth[c][2], c == 3 ? "250" : "400") << "channel " << c;
    EXPECT_EQ(truth[c][5], c == 5 ? "1" : "0");
  }
  std::istringstream recording(read(output()));
  size_t values = 0, lines = 0;
  for (std::string line; std::getline(recording, line); ++lines) {
    std::istringstream in(line);
    for (int v; in >> v;) ++values;
  }
  EXPECT_EQ(values, 2u * 220 * 32);
  EXPECT_EQ(lines, (values + 6) / 7);
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
