// Several benches writing one campaign on a server at once, with a writer killed, the server
// restarted and the campaign moved back to a file: what is left equals one run into SQLite.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "campaign/campaign_support.h"
#include "campaign/pg/pg_support.h"

namespace fs = std::filesystem;

namespace {

// A realistic simulated campaign of 12 chips in two configurations, faults planted, its
// recordings dealt into the folders a, b, c and d.
void write_benches_campaign(const temp_dir& d) {
  program_run sim =
      run_program({VARNEL_SIM_CAMPAIGN_EXE, "--output", d / "sim", "--chips", "12", "--events",
                   "30", "--configs", "4mV_delay-all,20mV_delay-all", "--realistic", "--faults"});
  ASSERT_EQ(sim.status, 0) << sim.err;
  std::vector<fs::path> found;
  for (const auto& e : fs::recursive_directory_iterator(d / "sim"))
    if (e.path().string().ends_with("_adc.txt")) found.push_back(e.path());
  std::sort(found.begin(), found.end());
  ASSERT_EQ(found.size(), 24u);
  for (const char* f : {"a", "b", "c", "d"}) fs::create_directory(d / f);
  for (size_t i = 0; i < found.size(); ++i)
    fs::rename(found[i], fs::path(d / std::string(1, "abcd"[i % 4])) / found[i].filename());
}

std::vector<std::string> bench_environment(int bench, const std::string& hold = {}) {
  std::string name = "bench" + std::to_string(bench);
  std::vector<std::string> env = {"VARNEL_CAMPAIGN_MACHINE=" + name, "PGAPPNAME=" + name};
  if (!hold.empty()) env.push_back("VARNEL_CAMPAIGN_HOLD=store:" + hold);
  return env;
}

// The folders each bench analyses: two pairs overlap (b and c), d is one bench's alone.
const std::vector<std::vector<std::string>> bench_folders = {
    {"a", "b"}, {"b", "c"}, {"c", "d"}, {"d"}};

std::vector<std::string> run_args(const std::string& db, int bench) {
  std::vector<std::string> args = {"run", "--db", db, "--jobs", "1"};
  for (const std::string& f : bench_folders[static_cast<size_t>(bench - 1)]) args.push_back(f);
  return args;
}

}  // namespace

TEST(PgBenches, FourWritersAKillAndARestartLeaveWhatOneSqliteRunLeavesAndCopyTakesItBack) {
  temp_dir d;
  write_benches_campaign(d);
  std::string pg = fresh_database("benches");
  for (const char* fifo : {"hold1", "hold3"}) ASSERT_EQ(::mkfifo((d / fifo).c_str(), 0600), 0);
  std::vector<background_run> runs;
  for (int b = 1; b <= 4; ++b) {
    std::string hold = b == 1 ? d / "hold1" : b == 3 ? d / "hold3" : "";
    runs.push_back(start_campaign(run_args(pg, b), d.path(), bench_environment(b, hold),
                                  d / ("bench" + std::to_string(b) + ".log")));
  }
  // Bench 3 stores two recordings, then is killed inside the transaction of its third.
  int hold3 = ::open((d / "hold3").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(hold3, 0);
  ASSERT_EQ(::write(hold3, "..", 2), 2);
  ASSERT_TRUE(wait_until_held("bench3"));
  ASSERT_EQ(::kill(runs[2].pid, SIGKILL), 0);
  EXPECT_EQ(finish(runs[2]), 128 + SIGKILL);
  ::close(hold3);
  // The server restarts while bench 1 is inside the transaction of its second recording.
  int hold1 = ::open((d / "hold1").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(hold1, 0);
  ASSERT_EQ(::write(hold1, ".", 1), 1);
  ASSERT_TRUE(wait_until_held("bench1"));
  ASSERT_TRUE(test_server().stop());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::string error;
  ASSERT_TRUE(test_server().start_again(error)) << error;
  ::close(hold1);
  for (int b : {1, 2, 4}) {
    int status = finish(runs[static_cast<size_t>(b - 1)]);
    std::string log = read_file(runs[static_cast<size_t>(b - 1)].log).value_or("");
    EXPECT_TRUE(status == 0 || status == 1) << "bench" << b << ": " << log;
    EXPECT_EQ(log.find("cannot use database"), std::string::npos) << log;
  }
  // Nothing half-stored: every analysed recording has all its channels and points.
  EXPECT_EQ(pg_query(pg,
                     "SELECT count(*) FROM recordings r WHERE status = 0 AND ("
                     "(SELECT count(*) FROM channels c WHERE c.recording_id = r.id) <> 32 OR "
                     "(SELECT count(*) FROM points p WHERE p.recording_id = r.id) <> 32)"),
            std::vector<std::string>{"0"});
  // The rerun stores what the killed bench left, each file once however many benches saw it.
  for (int b = 1; b <= 4; ++b) {
    run_options as_bench;
    as_bench.environment = bench_environment(b);
    program_run again = campaign(run_args(pg, b), d.path(), as_bench);
    EXPECT_TRUE(again.status == 0 || again.status == 1) << again.err;
  }
  EXPECT_EQ(pg_query(pg, "SELECT count(*), count(DISTINCT path) FROM recordings"),
            std::vector<std::string>{"24|24"});
  program_run one = campaign({"run", "--db", "one.sqlite", "a", "b", "c", "d"}, d.path());
  ASSERT_TRUE(one.status == 0 || one.status == 1) << one.err;
  const std::string expected = campaign_outputs("one.sqlite", d.path());
  EXPECT_EQ(campaign_outputs(pg, d.path()), expected);

  // Back to a file, unchanged; a second copy onto it is refused unless told.
  program_run back = campaign({"copy", "--from", pg, "--to", "back.sqlite"}, d.path());
  EXPECT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(campaign_outputs("back.sqlite", d.path()), expected);
  program_run refused = campaign({"copy", "--from", pg, "--to", "back.sqlite"}, d.path());
  EXPECT_EQ(refused.status, 3);
  ASSERT_EQ(refused.err_lines().size(), 1u) << refused.err;
  EXPECT_NE(refused.err.find("it holds a campaign already (24 recordings); give --replace"),
            std::string::npos)
      << refused.err;
  program_run replaced =
      campaign({"copy", "--from", pg, "--to", "back.sqlite", "--replace"}, d.path());
  EXPECT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_EQ(campaign_outputs("back.sqlite", d.path()), expected);
  // And from the file to another server database.
  std::string moved = fresh_database("moved");
  program_run up = campaign({"copy", "--from", "one.sqlite", "--to", moved}, d.path());
  EXPECT_EQ(up.status, 0) << up.err;
  EXPECT_EQ(campaign_outputs(moved, d.path()), expected);
  // A copy continues as a campaign of its own: a run adds to it with new ids.
  write_sim(d / ("a/" + bench_name("200001")), 30, 3);
  program_run added = campaign({"run", "--db", moved, "a"}, d.path());
  EXPECT_NE(added.status, 3) << added.err;
  EXPECT_EQ(pg_query(moved, "SELECT count(*) FROM recordings"), std::vector<std::string>{"25"});
}

TEST(PgFaults, AServerGoneLongerThanTheRetriesStopsTheRunWithStatus3AndTheNextRunStoresTheRest) {
  temp_dir d;
  fs::create_directory(d / "data");
  for (const char* chip : {"100001", "100002", "100003"})
    write_sim(d / ("data/" + bench_name(chip)), 30, std::stoull(chip) % 89);
  std::string pg = fresh_database("gone");
  ASSERT_EQ(::mkfifo((d / "hold").c_str(), 0600), 0);
  background_run r = start_campaign(
      {"run", "--db", pg, "--jobs", "1", "data"}, d.path(),
      {"VARNEL_CAMPAIGN_RETRY=1", "PGAPPNAME=gone", "VARNEL_CAMPAIGN_HOLD=store:" + (d / "hold")},
      d / "run.log");
  int hold = ::open((d / "hold").c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(hold, 0);
  ASSERT_EQ(::write(hold, ".", 1), 1);
  ASSERT_TRUE(wait_until_held("gone"));
  ASSERT_TRUE(test_server().stop());
  ::close(hold);
  EXPECT_EQ(finish(r), 3);
  std::string log = read_file(r.log).value_or("");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("varnel-campaign: cannot use database " + pg +
                     ": no answer after retrying for 1 s: "),
            std::string::npos)
      << log;
  std::string error;
  ASSERT_TRUE(test_server().start_again(error)) << error;
  // The recording in flight is not there; the one before it is, whole.
  EXPECT_EQ(pg_query(pg, "SELECT count(*), (SELECT count(*) FROM channels) FROM recordings"),
            std::vector<std::string>{"1|32"});
  program_run next = campaign({"run", "--db", pg, "data"}, d.path());
  EXPECT_NE(next.out.find("1 unchanged"), std::string::npos) << next.out;
  program_run file = campaign({"run", "--db", "one.sqlite", "data"}, d.path());
  EXPECT_EQ(next.status, file.status);
  EXPECT_EQ(campaign_outputs(pg, d.path()), campaign_outputs("one.sqlite", d.path()));
}

// Readers while two benches write: every export seen is of whole recordings, each analysed
// one with all its 32 channels, and a later export never has fewer recordings.
TEST(PgBenches, ReadersWhileBenchesWriteSeeOnlyWholeRecordings) {
  temp_dir d;
  write_benches_campaign(d);
  std::string pg = fresh_database("readers");
  ASSERT_NE(campaign({"run", "--db", pg, "a"}, d.path()).status, 3);
  std::vector<background_run> writers;
  for (int b : {2, 4})
    writers.push_back(start_campaign(run_args(pg, b), d.path(), bench_environment(b),
                                     d / ("bench" + std::to_string(b) + ".log")));
  size_t seen = 0;
  int exports = 0;
  auto whole = [](const std::string& csv, size_t& recordings) {
    std::map<std::string, int> rows;  // path to its channel rows
    std::istringstream in(csv);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) ++rows[line.substr(0, line.find(','))];
    recordings = rows.size();
    return std::all_of(rows.begin(), rows.end(),
                       [](const auto& r) { return r.second == 1 || r.second == 32; });
  };
  for (bool writing = true; writing; ++exports) {
    writing = running(writers[0]) || running(writers[1]);
    program_run e = campaign({"export", "--db", pg, "--csv", "seen.csv"}, d.path());
    ASSERT_EQ(e.status, 0) << e.err;
    size_t now = 0;
    ASSERT_TRUE(whole(read_file(d / "seen.csv").value_or(""), now)) << "export " << exports;
    EXPECT_GE(now, seen);
    seen = now;
  }
  for (background_run& w : writers) EXPECT_NE(finish(w), 3);
  EXPECT_GT(exports, 1);
}
