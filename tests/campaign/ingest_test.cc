// Results made elsewhere: the job-array script's output, ingested, equals a local run's database.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "campaign/campaign_support.h"
#include "tools/campaign_simulator.h"

namespace {

// Runs the job-array script for every line of `list`, as the tasks of an array would.
void run_array_tasks(const temp_dir& d, const std::string& list) {
  std::istringstream lines(read_file(list).value());
  int task = 0;
  for (std::string line; std::getline(lines, line);) {
    run_options o;
    o.cwd = d.path();
    o.environment = {"SLURM_ARRAY_TASK_ID=" + std::to_string(++task),
                     "VARNEL_PLOT=" VARNEL_PLOT_EXE};
    run_program({VARNEL_SLURM_SCRIPT, list}, o);
  }
}

}  // namespace

TEST(CampaignIngest, ArrayResultsIngestedEqualALocalRun) {
  temp_dir d;
  std::filesystem::create_directory(d / "data");
  write_simulated_campaign(d / "data", 4, 40, "20mV_delay-all", true);
  // Empty, so that no note names it by the path given.
  write_file(d / ("data/" + campaign_recording_name("100099", "4mV_delay-all")), "");
  // A recording cut at the end of a row inside its last event: one event started but not
  // completed.
  write_sim(d / ("data/" + campaign_recording_name("100098", "20mV_delay-all")), 40, 98,
            [](simulation_options& o) { o.cut_last_event_rows = 100; });
  program_run list = campaign({"list", "data"}, d.path());
  ASSERT_EQ(list.status, 0);
  EXPECT_EQ(list.out.substr(0, list.out.find('\n')),
            "100000\t20mV_delay-all\t" +
                (d / ("data/" + campaign_recording_name("100000", "20mV_delay-all"))));
  // A task may be given a path relative to its folder, with a folder part.
  std::string runs = list.out;
  std::string failing = "data/" + campaign_recording_name("100099", "4mV_delay-all");
  runs.erase(runs.find(d / failing), d.path().size() + 1);
  write_file(d / "runs.txt", runs);
  run_array_tasks(d, d / "runs.txt");
  program_run r = campaign({"ingest", "--db", "cluster.sqlite", "data"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "6 results: 5 ingested, 1 failed runs; 0 skipped; database cluster.sqlite\n");
  ASSERT_EQ(campaign({"run", "--db", "local.sqlite", "data"}, d.path()).status, 1);
  ASSERT_EQ(query(d / "local.sqlite",
                  "SELECT events_started - events_completed FROM recordings WHERE chip = '100098'"),
            std::vector<std::string>{"1"});
  program_run same = run_program({"sqlite3", "-cmd", "ATTACH '" + (d / "cluster.sqlite") + "' AS b",
                                  d / "local.sqlite", ".read '" VARNEL_SAME_RESULTS_SQL "'"});
  EXPECT_EQ(same.out, "0|0|0\n") << same.err;
  EXPECT_EQ(query(d / "cluster.sqlite", "SELECT count(*), sum(source = 'ingest') FROM recordings"),
            std::vector<std::string>{"6|6"});
  // A rerun over ingested results has nothing to do.
  r = campaign({"run", "--db", "cluster.sqlite", "data"}, d.path());
  EXPECT_EQ(r.out,
            "6 recordings: 0 analysed, 0 failed, 6 unchanged (1 failed before); 0 skipped; "
            "database cluster.sqlite\n");
}

TEST(CampaignIngest, FilesThatAreNotResultsAreSkippedWithTheReason) {
  temp_dir d;
  write_file(d / "a.json", "{\"input\": \"x_adc.txt\"}\n");
  program_run r = campaign({"ingest", "a.json", "none.json"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "skipped a.json: not a result: [json.exception.out_of_range.403] key 'chipstring' not "
            "found\nskipped none.json: cannot read it\n");
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT count(*) FROM recordings"),
            std::vector<std::string>{"0"});
}
