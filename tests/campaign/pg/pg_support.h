#pragma once

#include <string>
#include <vector>

#include "tools/pg_scratch_server.h"

// The PostgreSQL server these tests use: one scratch server per test process, started by main
// before the tests (the process exits 77, skipped, when it cannot be) and stopped after them.

/// The server of this test process.
pg_scratch_server& test_server();

/// Makes the empty database `name` on the server; its libpq target.
std::string fresh_database(const std::string& name);

/// A varnel-campaign started in the background; killed when destroyed unless finished, so
/// that a test that fails half-way leaves no run behind.
struct background_run {
  int pid = -1;
  std::string log;  ///< its standard output and error, together
  int status = -1;  ///< once it ended: its exit status, or 128 + the signal that ended it
  background_run(int p, std::string l) : pid(p), log(std::move(l)) {}
  background_run(background_run&& other) noexcept;
  background_run& operator=(background_run&&) = delete;
  ~background_run();
};

/// Starts varnel-campaign with `args` in `cwd`, the `environment` entries ("NAME=value") added
/// to this process's (without a settle time), its output into `log`.
background_run start_campaign(const std::vector<std::string>& args, const std::string& cwd,
                              const std::vector<std::string>& environment, const std::string& log);

/// Waits for `r` to end; its exit status, or 128 + the signal that ended it.
int finish(background_run& r);

/// Whether `r` is still running (its status kept once it ended).
bool running(background_run& r);

/// Waits until the session of `application` (PGAPPNAME) has been inside one transaction for
/// half a second without a statement: held at a step of a store. False after 60 s.
bool wait_until_held(const std::string& application);

/// What a campaign is compared by: the export's CSV, and the output of verdicts, chips and
/// characterise, each with its status; the commands run in `cwd` on database `db`.
std::string campaign_outputs(const std::string& db, const std::string& cwd);

/// The rows of `sql` on `target`, each row's columns joined by "|" (NULL as ""); a failure
/// fails the test and gives no rows.
std::vector<std::string> pg_query(const std::string& target, const std::string& sql);
