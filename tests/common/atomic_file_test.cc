#include "common/atomic_file.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>

#include "support/tool_run.h"

namespace {

int entries(const std::string& dir) {
  int n = 0;
  DIR* d = opendir(dir.c_str());
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

TEST(AtomicFile, ReplacesAnEarlierFileWhole) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  std::ofstream(dir + "/x.log") << "an earlier, much longer log text\n";
  atomic_file f(dir + "/x.log");
  ASSERT_TRUE(f.open());
  EXPECT_EQ(read_file(dir + "/x.log"), "an earlier, much longer log text\n");
  ASSERT_TRUE(f.commit("new\n"));
  EXPECT_EQ(read_file(dir + "/x.log"), "new\n");
  EXPECT_EQ(entries(dir), 1);
}

TEST(AtomicFile, GivesTheUsualPermissions) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  mode_t old = umask(022);
  atomic_file f(dir + "/x.log");
  ASSERT_TRUE(f.open() && f.commit("x"));
  umask(old);
  struct stat st;
  ASSERT_EQ(stat((dir + "/x.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(AtomicFile, LeavesNothingBehindWhenNotCommitted) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  std::ofstream(dir + "/x.log") << "earlier\n";
  {
    atomic_file f(dir + "/x.log");
    ASSERT_TRUE(f.open());
    EXPECT_EQ(entries(dir), 2);
  }
  EXPECT_EQ(entries(dir), 1);
  EXPECT_EQ(read_file(dir + "/x.log"), "earlier\n");
}

TEST(AtomicFile, FailsToOpenInAMissingDirectory) {
  temp_dir scratch;
  atomic_file f(scratch / "no/such/x.log");
  EXPECT_FALSE(f.open());
  EXPECT_FALSE(f.commit("x"));
}

TEST(AtomicFile, FailsAndCleansUpWhenTheRenameFails) {
  temp_dir scratch;
  const std::string& dir = scratch.path();
  ASSERT_EQ(mkdir((dir + "/x.log").c_str(), 0755), 0);  // a directory in the way
  ASSERT_EQ(mkdir((dir + "/x.log/inside").c_str(), 0755), 0);
  atomic_file f(dir + "/x.log");
  ASSERT_TRUE(f.open());
  EXPECT_FALSE(f.commit("x"));
  EXPECT_EQ(entries(dir), 1);
}

TEST(AtomicFile, FailsAndKeepsTheEarlierFileWhenAWriteFails) {
  // A file size limit makes write() fail as a full disk would.
  temp_dir scratch;
  const std::string& dir = scratch.path();
  std::ofstream(dir + "/x.log") << "earlier\n";
  atomic_file f(dir + "/x.log");
  ASSERT_TRUE(f.open());
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit small = old;
  small.rlim_cur = 16;
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  bool committed = f.commit(std::string(100, 'x'));
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, SIG_DFL);
  EXPECT_FALSE(committed);
  EXPECT_EQ(read_file(dir + "/x.log"), "earlier\n");
  EXPECT_EQ(entries(dir), 1);
}

}  // namespace
