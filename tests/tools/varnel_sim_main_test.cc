#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "support/tool_run.h"
#include "varnel_version.h"

namespace {

program_run sim(std::vector<std::string> args) {
  args.insert(args.begin(), VARNEL_SIM_EXE);
  return run_program(args);
}

TEST(VarnelSim, WritesTheRecordingAndItsTruth) {
  temp_dir d;
  const std::string output = d / "r.txt";
  program_run run =
      sim({"--events", "2", "--noise", "0", "--amplitude", "3=250", "--all-amplitudes", "400",
           "--dead", "5", "--all-baselines=90", "--values-per-line", "7", "--output", output});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out + run.err, "");
  std::istringstream truth(read_file(output + ".truth").value_or(""));
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
  const std::string recording = read_file(output).value_or("");
  EXPECT_EQ(std::count(recording.begin(), recording.end(), '\n'), (2 * 220 * 32 + 6) / 7);
  std::istringstream values(recording);
  int count = 0;
  for (int v; values >> v;) ++count;
  EXPECT_EQ(count, 2 * 220 * 32);
}

TEST(VarnelSim, UsageErrorsAreOneLineNamingTheProgramWithStatusTwo) {
  temp_dir d;
  const std::string out = d / "r.txt";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--events", "2"}, "--output is required"},
      {{"--bogus", "--output", out}, "The following argument was not expected: --bogus"},
      {{"--events", "12x", "--output", out}, "Could not convert: --events = 12x"},
      {{"--dead", "32", "--output", out}, "--dead: Value 32 not in range 0 to 31"},
      {{"--baseline", "3", "--output", out}, "--baseline: expected CH=V with CH in 0..31, got 3"},
      {{"--baseline", "32=1", "--output", out},
       "--baseline: expected CH=V with CH in 0..31, got 32=1"},
      {{"--peak-time", "3=x", "--output", out},
       "--peak-time: expected CH=V with CH in 0..31, got 3=x"},
      {{"--events", "0", "--output", out}, "events must be >= 1"},
      {{"--output", out, "--noise"}, "--noise: 1 required FLOAT missing"},
  };
  for (const auto& [args, message] : cases) {
    program_run run = sim(args);
    EXPECT_EQ(run.status, 2) << message;
    EXPECT_EQ(run.err, "varnel-sim: " + message + "\n");
    EXPECT_EQ(run.out, "");
  }
  EXPECT_TRUE(tree(d.path()).empty());
}

TEST(VarnelSim, HelpAndVersionGoToStandardOutput) {
  program_run help = sim({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Writes a simulated delay-scan recording", 0), 0u) << help.out;
  EXPECT_NE(help.out.find("--dead"), std::string::npos);
  program_run version = sim({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("varnel-sim ") + varnel_version + "\n");
}

// --realistic draws the front end from the seed; options given still win.
TEST(VarnelSim, RealisticDrawsTheFrontEndButWhatIsGiven) {
  temp_dir d;
  auto truth_of = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--events", "1", "--seed", "3", "--output", d / "r.txt"});
    program_run run = sim(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return read_file(d / "r.txt.truth").value_or("");
  };
  const std::string plain = truth_of({}), drawn = truth_of({"--realistic"});
  EXPECT_EQ(plain.find("order"), std::string::npos);
  EXPECT_NE(drawn.find("order tail tail_time injection_rise"), std::string::npos) << drawn;
  EXPECT_EQ(truth_of({"--realistic"}), drawn);  // from the seed alone
  const std::string given =
      truth_of({"--realistic", "--jitter", "0", "--common-mode", "2.5", "--order", "4=2.75"});
  EXPECT_NE(given.find("# jitter 0 common_mode 2.5 wander "), std::string::npos) << given;
  std::istringstream lines(given);
  std::string line;
  for (int i = 0; i < 7 && std::getline(lines, line);) i += 1;  // two "#" lines, channels 0-4
  EXPECT_TRUE(line.starts_with("4 ")) << line;
  std::istringstream fields(line);
  std::string field;
  for (int i = 0; i < 8; ++i) fields >> field;
  EXPECT_EQ(field, "2.75");
  program_run help = sim({"--help"});
  EXPECT_NE(help.out.find("shaping order: one per design, 3.6 to 4.4"), std::string::npos);
}

TEST(VarnelSim, UnwritableOutputFailsWithStatusOne) {
  temp_dir d;
  const std::string output = d / "missing/r.txt";
  program_run run = sim({"--events", "1", "--output", output});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "varnel-sim: cannot write " + output + " or its truth file\n");
}

}  // namespace
