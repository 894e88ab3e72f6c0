#include "campaign/pg/pg_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "campaign/campaign_support.h"
#include "campaign/store/pg_connection.h"

namespace {

std::unique_ptr<pg_scratch_server>& server() {
  static std::unique_ptr<pg_scratch_server> s;
  return s;
}

}  // namespace

pg_scratch_server& test_server() {
  return *server();
}

std::string fresh_database(const std::string& name) {
  std::string error;
  EXPECT_TRUE(test_server().execute("CREATE DATABASE " + name, error, "postgres")) << error;
  return test_server().target(name);
}

std::vector<std::string> pg_query(const std::string& target, const std::string& sql) {
  std::string error;
  std::optional<pg_connection> c = pg_connection::connect(target, error);
  std::optional<pg_rows> rows;
  if (c) rows = c->query(sql, {});
  EXPECT_TRUE(c && rows) << (c ? c->last_error() : error);
  std::vector<std::string> out;
  for (int r = 0; rows && r < rows->size(); ++r) {
    std::string line;
    for (int col = 0; col < rows->columns(); ++col)
      line.append(col ? "|" : "").append(rows->text(r, col));
    out.push_back(line);
  }
  return out;
}

background_run start_campaign(const std::vector<std::string>& args, const std::string& cwd,
                              const std::vector<std::string>& environment, const std::string& log) {
  std::vector<std::string> argv = {VARNEL_CAMPAIGN_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> p;
  for (std::string& a : argv) p.push_back(a.data());
  p.push_back(nullptr);
  std::vector<std::string> env = environment;
  env.push_back("VARNEL_CAMPAIGN_SETTLE=0");
  int pid = ::fork();
  if (pid == 0) {
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(p[0], p.data());
    ::_exit(127);
  }
  return background_run(pid, log);
}

background_run::background_run(background_run&& other) noexcept
    : pid(std::exchange(other.pid, -1)), log(std::move(other.log)), status(other.status) {}

background_run::~background_run() {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

namespace {

// Waits for `r` (or only looks, unless `block`); false while it runs.
bool reaped(background_run& r, bool block) {
  if (r.pid <= 0) return true;
  int status = 0;
  pid_t got = ::waitpid(r.pid, &status, block ? 0 : WNOHANG);
  if (got == 0) return false;
  r.status = got != r.pid ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.pid = -1;
  return true;
}

}  // namespace

int finish(background_run& r) {
  reaped(r, true);
  return r.status;
}

bool running(background_run& r) {
  return !reaped(r, false);
}

bool wait_until_held(const std::string& application) {
  const std::string sql =
      "SELECT count(*) FROM pg_stat_activity WHERE application_name = '" + application +
      "' AND state = 'idle in transaction' AND state_change < now() - interval '0.5 s'";
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < until) {
    if (pg_query(test_server().target("postgres"), sql) == std::vector<std::string>{"1"})
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

std::string campaign_outputs(const std::string& db, const std::string& cwd) {
  program_run e = campaign({"export", "--db", db, "--csv", "export.csv"}, cwd);
  std::string all = "export " + std::to_string(e.status) + e.err + "\n" +
                    read_file(cwd + "/export.csv").value_or("(none)");
  for (const char* command : {"verdicts", "chips", "characterise"}) {
    program_run r = campaign({command, "--db", db}, cwd);
    all += std::string(command) + " " + std::to_string(r.status) + "\n" + r.out + r.err;
  }
  return all;
}

// Lists the tests without a server; otherwise starts one first, or exits 77 (skipped) when the
// machine cannot run one.
int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!GTEST_FLAG_GET(list_tests)) {
    std::string error;
    server() = pg_scratch_server::start(error);
    if (!server()) {
      std::fprintf(stderr, "skipped: cannot start a PostgreSQL server: %s\n", error.c_str());
      return 77;
    }
  }
  int status = RUN_ALL_TESTS();
  server().reset();
  return status;
}
