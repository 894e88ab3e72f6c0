// The chip identifier and the configuration name go into the log's name as they are given.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "support/bench_recording.h"
#include "support/tool_run.h"

namespace {

const std::string& recording() {
  static const std::string text = recording_text(bench_rows(30));
  return text;
}

run_options in_dir(const std::string& dir) {
  run_options o;
  o.cwd = dir;
  return o;
}

// The log of the recording under the default names, for comparison.
const std::string& reference_log() {
  static const std::string log = [] {
    temp_dir dir;
    EXPECT_TRUE(write_file(dir / "rec.txt", recording()));
    EXPECT_EQ(run_tool({"1", "c", "rec.txt"}, in_dir(dir.path())).status, 0);
    return read_file(dir / "rise_time_korvi1_c.log").value_or("no log");
  }();
  return log;
}

struct named_run {
  program_run run;
  std::set<std::string> files;  // what the directory holds afterwards
  std::string log;              // the log at the expected name, if any
};

named_run run_named(const std::string& chip, const std::string& config,
                    const std::vector<std::string>& subdirs = {}) {
  temp_dir dir;
  EXPECT_TRUE(write_file(dir / "rec.txt", recording()));
  for (const std::string& d : subdirs) EXPECT_EQ(::mkdir((dir / d).c_str(), 0755), 0);
  named_run n;
  n.run = run_tool({chip, config, "rec.txt"}, in_dir(dir.path()));
  n.files = tree(dir.path());
  n.log = read_file(dir / ("rise_time_korvi" + chip + "_" + config + ".log")).value_or("");
  return n;
}

TEST(LogName, OddButValidNamesAreCopiedAsTheyAre) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"chip with spaces", "config  two spaces"},
      {"ünïcødé-芯片", "конфиг-✓"},
      {"%s%n%x%%", "%n%s%99999999d"},
      {"", ""},
      {"-h", "--help"},
      {"tab\tand\nnewline", "'quote\"double\\back"},
      {"..", "."},
  };
  for (const auto& [chip, config] : names) {
    SCOPED_TRACE(chip + " / " + config);
    named_run n = run_named(chip, config);
    std::string log_name = "rise_time_korvi" + chip + "_" + config + ".log";
    EXPECT_EQ(n.run.status, 0);
    EXPECT_EQ(n.run.err, "");
    EXPECT_EQ(n.run.out, "");
    EXPECT_EQ(n.files, (std::set<std::string>{"rec.txt", log_name}));
    EXPECT_EQ(n.log, reference_log());
  }
}

TEST(LogName, ASlashLeadsIntoAnExistingFolder) {
  named_run n = run_named("sub/x", "c", {"rise_time_korvisub"});
  EXPECT_EQ(n.run.status, 0);
  EXPECT_EQ(n.run.err, "");
  EXPECT_EQ(n.files, (std::set<std::string>{"rec.txt", "rise_time_korvisub/",
                                            "rise_time_korvisub/x_c.log"}));
  EXPECT_EQ(n.log, reference_log());
}

TEST(LogName, ASlashIntoAMissingFolderFailsAndWritesNothing) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"a/b", "c"},
      {"7", "20mV/delay-all"},
      {"7", "x/../../../../../../tmp/escape"},
      {"/", "/"},
  };
  for (const auto& [chip, config] : names) {
    SCOPED_TRACE(chip + " / " + config);
    named_run n = run_named(chip, config);
    EXPECT_EQ(n.run.status, 1);
    EXPECT_EQ(n.run.err_lines(),
              std::vector<std::string>{"Cannot open log file named ./rise_time_korvi" + chip + "_" +
                                       config + ".log."});
    EXPECT_EQ(n.files, std::set<std::string>{"rec.txt"});
  }
}

TEST(LogName, ALogNameOfTheLongestLengthAFileMayHaveIsWritten) {
  // 255 bytes, the longest name a directory entry takes: the temporary file must fit beside it.
  std::string chip(255 - std::string("rise_time_korvi_c.log").size(), 'k');
  named_run n = run_named(chip, "c");
  EXPECT_EQ(n.run.status, 0);
  EXPECT_EQ(n.run.err, "");
  EXPECT_EQ(n.files, (std::set<std::string>{"rec.txt", "rise_time_korvi" + chip + "_c.log"}));
  EXPECT_EQ(n.log, reference_log());
}

TEST(LogName, ALogNameTooLongForAFileFailsAndWritesNothing) {
  std::string chip(256 - std::string("rise_time_korvi_c.log").size(), 'k');
  named_run n = run_named(chip, "c");
  EXPECT_EQ(n.run.status, 1);
  EXPECT_EQ(
      n.run.err_lines(),
      std::vector<std::string>{"Cannot open log file named ./rise_time_korvi" + chip + "_c.log."});
  EXPECT_EQ(n.files, std::set<std::string>{"rec.txt"});
}

TEST(LogName, TheLogGoesBesideTheRecording) {
  temp_dir dir;
  ASSERT_EQ(::mkdir((dir / "in").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir / "in/rec.txt", recording()));
  program_run relative = run_tool({"1", "c", "in/rec.txt"}, in_dir(dir.path()));
  EXPECT_EQ(relative.status, 0);
  program_run absolute = run_tool({"2", "c", dir / "in/rec.txt"}, in_dir("/"));
  EXPECT_EQ(absolute.status, 0);
  EXPECT_EQ(tree(dir.path()),
            (std::set<std::string>{"in/", "in/rec.txt", "in/rise_time_korvi1_c.log",
                                   "in/rise_time_korvi2_c.log"}));
}

}  // namespace
