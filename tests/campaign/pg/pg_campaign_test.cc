// The campaign on a PostgreSQL server: the same results as in an SQLite file, the targets it
// refuses, the roles of a bench and a reader, and a server gone for longer than the retries.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "campaign/campaign_support.h"
#include "campaign/pg/pg_support.h"
#include "campaign/serve_support.h"

namespace fs = std::filesystem;

namespace {

// A small campaign: two chips, each in two configurations.
void write_small_campaign(const std::string& folder) {
  fs::create_directories(folder);
  for (const char* chip : {"100001", "100002"})
    for (const char* config : {"4mV_delay-all", "20mV_delay-all"})
      write_sim(folder + "/" + bench_name(chip, config), 30, std::stoull(chip) % 97);
}

}  // namespace

TEST(PgCampaign, ARunStoresWhatTheSameRunStoresInSqlite) {
  temp_dir d;
  write_small_campaign(d / "data");
  std::string pg = fresh_database("same_results");
  program_run on_server = campaign({"run", "--db", pg, "data"}, d.path());
  program_run in_file = campaign({"run", "--db", "file.sqlite", "data"}, d.path());
  EXPECT_EQ(on_server.status, in_file.status) << on_server.err;
  EXPECT_NE(on_server.status, 3) << on_server.err;
  EXPECT_EQ(campaign_outputs(pg, d.path()), campaign_outputs("file.sqlite", d.path()));
  // A rerun finds every recording stored and analyses none again.
  program_run again = campaign({"run", "--db", pg, "data"}, d.path());
  EXPECT_NE(again.out.find("4 unchanged"), std::string::npos) << again.out;
}

TEST(PgCampaign, TheEnvironmentNamesTheDatabaseWhenDbIsNotGiven) {
  temp_dir d;
  write_small_campaign(d / "data");
  std::string pg = fresh_database("from_environment");
  run_options env;
  env.environment = {"VARNEL_CAMPAIGN_DB=" + pg};
  program_run r = campaign({"run", "data"}, d.path(), env);
  EXPECT_NE(r.status, 3) << r.err;
  EXPECT_FALSE(fs::exists(d / "campaign.sqlite"));
  EXPECT_EQ(pg_query(pg, "SELECT count(*) FROM recordings"), std::vector<std::string>{"4"});
  program_run v = campaign({"verdicts"}, d.path(), env);
  program_run given = campaign({"verdicts", "--db", pg}, d.path());
  EXPECT_EQ(v.out, given.out);
  // --db wins over the environment.
  program_run file = campaign({"run", "--db", "local.sqlite", "data"}, d.path(), env);
  EXPECT_TRUE(fs::exists(d / "local.sqlite")) << file.err;
}

TEST(PgCampaign, UnusableTargetsAreRefusedInOneLineWithStatus3) {
  temp_dir d;
  write_small_campaign(d / "data");
  std::string error;
  std::string other = fresh_database("other_application");
  ASSERT_TRUE(
      test_server().execute("CREATE TABLE accounts (id integer); "
                            "INSERT INTO accounts VALUES (7)",
                            error, "other_application"))
      << error;
  const std::string socket = test_server().socket_dir();
  struct refusal {
    std::string target, says;
  };
  const std::vector<refusal> cases = {
      {"host=/nonexistent-varnel dbname=x",
       "cannot use database host=/nonexistent-varnel dbname=x: connection to server on socket "
       "\"/nonexistent-varnel/.s.PGSQL.5432\" failed: No such file or directory"},
      {test_server().target("varnel", "nobody_here"), "role \"nobody_here\" does not exist"},
      {test_server().target("no_such_db"), "database \"no_such_db\" does not exist"},
      {other, "cannot use database " + other + ": it is not a campaign database"},
      {"postgresql://varnel:secret@" + fs::path(socket).filename().string() + "/varnel",
       "the target holds a password; give it in ~/.pgpass, PGPASSWORD or a service file instead"}};
  for (const refusal& c : cases) {
    for (const char* command : {"run", "verdicts"}) {
      std::vector<std::string> args = {command, "--db", c.target};
      if (std::string(command) == "run") args.push_back("data");
      program_run r = campaign(args, d.path());
      EXPECT_EQ(r.status, 3) << c.target << " " << command;
      ASSERT_EQ(r.err_lines().size(), 1u) << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
      EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;
    }
  }
  // The other application's database is left as it was.
  EXPECT_EQ(pg_query(other, "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"),
            std::vector<std::string>{"1"});
}

// The roles of docs/campaign-server.md: the owner makes the schema, a bench writes, a reader
// only reads.
TEST(PgCampaign, ABenchRoleWritesAndAReaderRoleOnlyReads) {
  temp_dir d;
  write_small_campaign(d / "first");
  fs::create_directory(d / "second");
  write_sim(d / ("second/" + bench_name("100003", "4mV_delay-all")), 30, 4);
  std::string owner = fresh_database("roles");
  ASSERT_NE(campaign({"run", "--db", owner, "first"}, d.path()).status, 3);
  std::string error;
  ASSERT_TRUE(test_server().execute(
      "CREATE ROLE campaign_bench LOGIN; CREATE ROLE campaign_reader LOGIN; "
      "GRANT CONNECT ON DATABASE roles TO campaign_bench, campaign_reader; "
      "GRANT USAGE ON SCHEMA public TO campaign_bench, campaign_reader; "
      "GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA public TO campaign_bench; "
      "GRANT USAGE ON ALL SEQUENCES IN SCHEMA public TO campaign_bench; "
      "GRANT SELECT ON ALL TABLES IN SCHEMA public TO campaign_reader;",
      error, "roles"))
      << error;
  std::string bench = test_server().target("roles", "campaign_bench");
  std::string reader = test_server().target("roles", "campaign_reader");
  program_run wrote = campaign({"run", "--db", bench, "second"}, d.path());
  EXPECT_NE(wrote.status, 3) << wrote.err;
  EXPECT_EQ(pg_query(owner, "SELECT count(*) FROM recordings"), std::vector<std::string>{"5"});
  program_run read = campaign({"verdicts", "--db", reader}, d.path());
  EXPECT_NE(read.status, 3) << read.err;
  EXPECT_EQ(read.out, campaign({"verdicts", "--db", owner}, d.path()).out);
  fs::remove(d / ("second/" + bench_name("100003", "4mV_delay-all")));
  write_sim(d / ("second/" + bench_name("100004", "4mV_delay-all")), 30, 5);
  program_run refused = campaign({"run", "--db", reader, "second"}, d.path());
  EXPECT_EQ(refused.status, 3);
  ASSERT_EQ(refused.err_lines().size(), 1u) << refused.err;
  EXPECT_NE(refused.err.find("permission denied for table"), std::string::npos) << refused.err;
  EXPECT_EQ(pg_query(owner, "SELECT count(*) FROM recordings"), std::vector<std::string>{"5"});
}

// serve on the server, as a reader: a recording another bench stores comes on the page within a
// second, through the change counter every write transaction moves.
TEST(PgCampaign, ServeAsAReaderShowsWhatABenchStoresWithinASecond) {
  temp_dir d;
  write_small_campaign(d / "data");
  std::string owner = fresh_database("served");
  ASSERT_NE(campaign({"run", "--db", owner, "data"}, d.path()).status, 3);
  std::string error;
  ASSERT_TRUE(
      test_server().execute("CREATE ROLE served_reader LOGIN; "
                            "GRANT SELECT ON ALL TABLES IN SCHEMA public TO served_reader",
                            error, "served"))
      << error;
  running_server s(test_server().target("served", "served_reader"), d.path());
  ASSERT_TRUE(s.ok());
  fs::create_directory(d / "later");
  write_sim(d / ("later/" + bench_name("100042")), 20, 42);
  ASSERT_NE(campaign({"run", "--db", owner, "later"}, d.path()).status, 3);
  auto stored = std::chrono::steady_clock::now();
  std::string latest;
  while (std::chrono::steady_clock::now() - stored < std::chrono::seconds(3)) {
    latest = s.get("/api/latest").body;
    if (latest.find("\"chip\":\"100042\"") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(latest.find("\"chip\":\"100042\""), std::string::npos) << latest;
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - stored).count(), 1.0);
  EXPECT_EQ(s.stop(), 0);
}
