// varnel-store-bench: what storing one analysed recording costs in a campaign database on a
// PostgreSQL server of this machine (over its Unix socket, commits synced), against an SQLite
// file (WAL, every commit synced); a program that prints the figures, not a test.
//
//   varnel-store-bench [--recordings N]      (200)
//
// One realistic simulated recording is analysed for real; its result is stored N times under N
// paths into each database in turns of N/10, and the median time of one store of each engine,
// their ratio and the goal (the server's at most 1.5 times the file's) are printed. A second
// row does the same with neither engine waiting for the disk at a commit (SQLite's synchronous
// off, the server's synchronous_commit off): the engines' own work, without the sync that
// dominates the first row when the disk syncs slowly.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "campaign/run/recording_analysis.h"
#include "campaign/store/campaign_db.h"
#include "campaign/store/sql_engine.h"
#include "tools/pg_scratch_server.h"
#include "tools/recording_simulator.h"

namespace {

namespace fs = std::filesystem;

constexpr double goal_ratio = 1.5;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// Stores `r` under `count` new paths into `db`, `prefix` telling them apart; each store's
// seconds, appended to `times`. False with the reason printed on a failure.
bool store_turn(campaign_db& db, recording_record r, const std::string& prefix, int count,
                std::vector<double>& times) {
  std::string error;
  for (int i = 0; i < count; ++i) {
    r.path = prefix + std::to_string(i) + "_adc.txt";
    auto start = std::chrono::steady_clock::now();
    if (!db.store(r, error)) {
      std::fprintf(stderr, "varnel-store-bench: %s\n", error.c_str());
      return false;
    }
    times.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return true;
}

// Stores `r` `count` times into each of `file` and `pg`, in turns of count/10 under paths that
// begin with `prefix`, and prints the row `what` with each engine's median and their ratio, and
// the goal when `goal`. False with the reason printed on a failure.
bool compare(campaign_db& file, campaign_db& pg, const recording_record& r,
             const std::string& prefix, int count, const char* what, bool goal) {
  std::vector<double> file_s, pg_s;
  const int turn = count / 10;
  for (int t = 0; t < 10; ++t) {
    std::string turn_prefix = prefix + "turn" + std::to_string(t) + "_";
    if (!store_turn(file, r, turn_prefix, turn, file_s) ||
        !store_turn(pg, r, turn_prefix, turn, pg_s))
      return false;
  }
  double f = median(file_s) * 1e3, p = median(pg_s) * 1e3;
  std::printf("%s (%zu channels, median of %d): SQLite %.2f ms, PostgreSQL %.2f ms, ratio %.2f",
              what, r.fits.size(), 10 * turn, f, p, p / f);
  if (goal) std::printf(" (goal <= %.1f)", goal_ratio);
  std::printf("\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 200;
  if (argc == 3 && std::strcmp(argv[1], "--recordings") == 0) count = std::atoi(argv[2]);
  if (count < 10 || (argc != 1 && argc != 3)) {
    std::fprintf(stderr, "usage: varnel-store-bench [--recordings N]  (N >= 10)\n");
    return 2;
  }
  std::string error;
  std::unique_ptr<pg_scratch_server> server =
      pg_scratch_server::start(error, pg_scratch_options{.durable = true});
  if (!server) {
    std::printf("Store cost: skipped, no PostgreSQL server: %s\n", error.c_str());
    return 0;
  }
  fs::path dir = fs::path(server->socket_dir()) / "bench";
  fs::create_directories(dir);
  std::string recording = (dir / "korvi100001_20mV_delay-all_adc.txt").string();
  {
    std::ofstream out(recording);
    write_recording(realistic_options(200, "20mV_delay-all", 7), out);
  }
  found_recording found{recording, {"100001", "20mV_delay-all"}};
  recording_record r = analyse_recording(found, "bench");
  std::optional<campaign_db> file = campaign_db::open((dir / "bench.sqlite").string(), error);
  std::optional<campaign_db> pg = file ? campaign_db::open(server->target(), error) : std::nullopt;
  if (!file || !pg) {
    std::fprintf(stderr, "varnel-store-bench: %s\n", error.c_str());
    return 1;
  }
  if (!compare(*file, *pg, r, (dir / "synced_").string(), count, "Store cost of one recording",
               true))
    return 1;
  if (!file->engine().exec("PRAGMA synchronous = OFF") ||
      !pg->engine().exec("SET synchronous_commit = off")) {
    std::fprintf(stderr, "varnel-store-bench: cannot leave the sync out\n");
    return 1;
  }
  if (!compare(*file, *pg, r, (dir / "unsynced_").string(), count,
               "  the same without waiting for the disk", false))
    return 1;
  return 0;
}
