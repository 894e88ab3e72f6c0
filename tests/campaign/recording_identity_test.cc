// A recording is told apart by the machine that analysed it and its path; one file seen by
// several machines (a shared folder) is stored once.

#include <gtest/gtest.h>

#include <filesystem>

#include "campaign/campaign_support.h"
#include "campaign/store/retry_policy.h"

namespace fs = std::filesystem;

namespace {

run_options on_machine(const std::string& name) {
  run_options o;
  o.environment = {"VARNEL_CAMPAIGN_MACHINE=" + name};
  return o;
}

}  // namespace

TEST(RecordingIdentity, TheSamePathOnTwoMachinesIsTwoRecordingsAndEachReplacesOnlyItsOwn) {
  temp_dir d;
  std::string path = d / bench_name("100001");
  write_sim(path, 30, 1);
  ASSERT_NE(campaign({"run", "--db", "c.sqlite", path}, d.path(), on_machine("bench1")).status, 3);
  // Another bench's file of the same path, with other content.
  write_sim(path, 30, 2);
  ASSERT_NE(campaign({"run", "--db", "c.sqlite", path}, d.path(), on_machine("bench2")).status, 3);
  std::string db = d / "c.sqlite";
  EXPECT_EQ(query(db, "SELECT analysed_on FROM recordings ORDER BY analysed_on"),
            (std::vector<std::string>{"bench1", "bench2"}));
  std::vector<std::string> hashes = query(db, "SELECT DISTINCT content_hash FROM recordings");
  EXPECT_EQ(hashes.size(), 2u);
  // bench2 rewrites its file: its own row is replaced, bench1's is kept.
  write_sim(path, 30, 3);
  ASSERT_NE(campaign({"run", "--db", "c.sqlite", path}, d.path(), on_machine("bench2")).status, 3);
  EXPECT_EQ(query(db, "SELECT count(*), count(DISTINCT analysed_on) FROM recordings"),
            std::vector<std::string>{"2|2"});
}

TEST(RecordingIdentity, OneFileOnASharedFolderIsStoredOnceAndNotAnalysedAgain) {
  temp_dir d;
  std::string path = d / bench_name("100001");
  write_sim(path, 30, 1);
  program_run first = campaign({"run", "--db", "c.sqlite", path}, d.path(), on_machine("bench1"));
  ASSERT_NE(first.status, 3) << first.err;
  program_run second = campaign({"run", "--db", "c.sqlite", path}, d.path(), on_machine("bench2"));
  ASSERT_NE(second.status, 3) << second.err;
  EXPECT_NE(second.out.find("1 recordings: 0 analysed, 0 failed, 1 unchanged"), std::string::npos)
      << second.out;
  // Touched, the same content is analysed again by the other bench and replaces the row.
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::hours(1));
  program_run again = campaign({"run", "--db", "c.sqlite", path}, d.path(), on_machine("bench2"));
  EXPECT_NE(again.out.find("1 analysed"), std::string::npos) << again.out;
  EXPECT_EQ(query(d / "c.sqlite", "SELECT count(*), min(analysed_on) FROM recordings"),
            std::vector<std::string>{"1|bench2"});
}

TEST(RetryPolicy, WaitsDoubleUpToTheLongestAndStopWhenTheBudgetIsSpent) {
  double now = 0;
  std::vector<double> waits;
  retry_policy p{.budget_s = 3.0, .first_wait_s = 0.5, .longest_wait_s = 1.0};
  retry_clock clock(
      p, [&] { return now; },
      [&](double s) {
        waits.push_back(s);
        now += s;
      });
  int tries = 0;
  while (clock.wait_before_next()) ++tries;
  // 0.5, 1, 1, then the 0.5 left of the budget; then nothing.
  EXPECT_EQ(waits, (std::vector<double>{0.5, 1.0, 1.0, 0.5}));
  EXPECT_EQ(tries, 4);
  EXPECT_EQ(clock.retries(), 4);
}

TEST(RetryPolicy, TheEnvironmentSetsTheBudgetAndBadValuesAreRefused) {
  std::string error;
  ::setenv(retry_budget_variable, "2.5", 1);
  std::optional<retry_policy> p = retry_policy_in_force(error);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->budget_s, 2.5);
  for (const char* bad : {"", "-1", "soon", "inf"}) {
    ::setenv(retry_budget_variable, bad, 1);
    EXPECT_FALSE(retry_policy_in_force(error)) << bad;
    EXPECT_EQ(error, std::string("VARNEL_CAMPAIGN_RETRY: not a number of seconds >= 0: ") + bad);
  }
  ::unsetenv(retry_budget_variable);
  EXPECT_EQ(retry_policy_in_force(error)->budget_s, retry_policy{}.budget_s);
}
