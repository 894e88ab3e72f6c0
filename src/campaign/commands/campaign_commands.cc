// The subcommands of varnel-campaign, from the command line to the exit status.

#include "campaign/commands/campaign_commands.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "campaign/judge/acceptance.h"
#include "campaign/judge/acceptance_limits.h"
#include "campaign/judge/characterisation.h"
#include "campaign/judge/limits_derivation.h"
#include "campaign/judge/reason_text.h"
#include "campaign/model/campaign_version.h"
#include "campaign/report/campaign_api.h"
#include "campaign/report/campaign_report.h"
#include "campaign/report/csv_export.h"
#include "campaign/report/serve.h"
#include "campaign/report/vega_bundle.h"
#include "campaign/run/campaign_run.h"
#include "campaign/run/campaign_text.h"
#include "campaign/run/campaign_upkeep.h"
#include "campaign/run/manifest.h"
#include "campaign/run/recording_discovery.h"
#include "campaign/run/result_ingest.h"
#include "campaign/run/stored_verdicts.h"
#include "campaign/run/watch.h"
#include "campaign/store/campaign_copy.h"
#include "campaign/store/campaign_db.h"
#include "campaign/store/pg_connection.h"
#include "cli/command_line.h"
#include "common/atomic_file.h"

namespace {

// The database every command uses unless --db names another: $VARNEL_CAMPAIGN_DB, else the
// file campaign.sqlite here.
constexpr const char* database_variable = "VARNEL_CAMPAIGN_DB";
std::string default_database() {
  const char* given = std::getenv(database_variable);
  return given && *given ? given : "campaign.sqlite";
}

// The help of every --db option.
const std::string db_help =
    "Campaign database: an SQLite file, or a postgresql:// URI or libpq's \"host=... "
    "dbname=...\" (campaign.sqlite, or $" +
    std::string(database_variable) + ")";

enum campaign_status { status_ok = 0, status_failed = 1, status_usage = 2, status_database = 3 };

struct run_options {
  std::string db = default_database();
  int jobs = 0;
  std::string limits, manifest, log_dir;
  std::optional<std::string> settle;
  bool retry_failed = false;
  std::vector<std::string> paths;
};

// The environment's word on the settle time, for tests and scripts that analyse recordings they
// have just written; --settle wins over it.
constexpr const char* settle_variable = "VARNEL_CAMPAIGN_SETTLE";

// Lines end in one line end: the names in them have their control characters escaped.
void print_error(const std::string& message) {
  std::fprintf(stderr, "varnel-campaign: %s\n", escaped(message).c_str());
}

// Writes `line` as it is, a line end after it.
void print_raw_line(std::FILE* f, const std::string& line) {
  std::fputs(line.c_str(), f);
  std::fputc('\n', f);
  std::fflush(f);
}

void print_line(std::FILE* f, const std::string& line) {
  print_raw_line(f, escaped(line));
}

// One of many lines written at once (a verdict of each chip): the stream's buffer writes them,
// not a call to the system for each; the command flushes once they are all written.
void print_bulk_line(std::FILE* f, const std::string& line) {
  std::fputs(escaped(line).c_str(), f);
  std::fputc('\n', f);
}

// The progress line lives on a terminal only; it is rewritten in place and cleared before any
// other line.
class progress_display {
 public:
  progress_display() : shown_(isatty(STDERR_FILENO) == 1) {}
  void show(const run_progress& p) {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K%s", progress_text(p).c_str());
    std::fflush(stderr);
  }
  void clear() {
    if (shown_) std::fputs("\r\033[K", stderr);
  }

 private:
  bool shown_;
};

// The settle time in force: --settle, else the environment's, else the default.
bool settle_time(const std::optional<std::string>& given, double& settle_s, std::string& error) {
  const char* env = std::getenv(settle_variable);
  std::string source = given ? "--settle" : settle_variable;
  const char* text = given ? given->c_str() : env;
  settle_s = default_settle_s;
  if (!text) return true;
  char* end = nullptr;
  settle_s = std::strtod(text, &end);
  if (end != text && *end == '\0' && settle_s >= 0 && std::isfinite(settle_s)) return true;
  error = source + ": not a number of seconds >= 0: " + text;
  return false;
}

// The analyses' settings shared by run and watch: the version, the jobs (one per core unless
// given) and the log folder.
run_settings analysis_settings(int jobs, const std::string& log_dir) {
  run_settings s;
  s.version = campaign_version();
  s.jobs = jobs > 0 ? jobs : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (!log_dir.empty()) s.log_dir = absolute_path(log_dir);
  return s;
}

int run_command(const run_options& o) {
  if (o.paths.empty() && o.manifest.empty()) {
    print_error("run: give at least one PATH or --manifest");
    return status_usage;
  }
  std::vector<manifest_entry> manifest;
  std::string error;
  if (!o.manifest.empty() && !read_manifest(o.manifest, manifest, error)) {
    print_error(error);
    return status_usage;
  }
  acceptance_limits limits;
  if (!o.limits.empty() && !read_limits(o.limits, limits, error)) {
    print_error(error);
    return status_usage;
  }
  run_settings settings;
  if (!settle_time(o.settle, settings.settle_s, error)) {
    print_error(error);
    return status_usage;
  }
  discovery found = find_recordings(o.paths, manifest);
  for (const skipped_path& s : found.skipped) print_line(stderr, skipped_line(s));
  // A mistyped folder must not leave an empty database behind to be found later.
  if (found.found.empty() && !is_postgresql_target(o.db) && access(o.db.c_str(), F_OK) != 0) {
    print_error("run: no recording found; " + o.db + " not created");
    return status_failed;
  }
  std::optional<campaign_db> db = campaign_db::open(o.db, error);
  if (!db) {
    print_error(error);
    return status_database;
  }
  if (!o.limits.empty() && !store_limits(*db, o.limits, error)) {
    print_error(error);
    return status_database;
  }
  double settle_s = settings.settle_s;
  settings = analysis_settings(o.jobs, o.log_dir);
  settings.settle_s = settle_s;
  settings.retry_failed = o.retry_failed;
  progress_display progress;
  size_t to_retest = 0;
  std::set<std::string> stored_chips;
  run_tally t = run_campaign(
      *db, found.found, settings,
      [&](const recording_record& r, const run_progress& p) {
        stored_chips.insert(r.chip);
        if (r.status != 0) {
          progress.clear();
          print_line(stderr, failed_line(r.path, r.message));
        } else if (std::vector<std::string> problems = problem_words(own_problems(r));
                   !problems.empty()) {
          progress.clear();
          print_line(stderr, retest_line(r.path, problems));
          ++to_retest;
        }
        progress.show(p);
      },
      [&](const waiting_recording& w) {
        progress.clear();
        print_line(stderr, waiting_line(w));
      });
  progress.clear();
  if (!t.database_error.empty()) {
    print_error(t.database_error);
    return status_database;
  }
  // The figures across configurations follow what the run stored.
  // A run, on a bench or a cluster's node, stays within a few tens of megabytes whatever the
  // campaign's size: the statistics it makes again are made from values on a spill file.
  acceptance_limits in_force;
  population_cache populations;
  populations.spill_values(true);
  bool characterised = true;
  try {
    characterised = t.analysed + t.failed == 0 ||
                    (load_limits(*db, o.limits, in_force, error) &&
                     update_characterisation(*db, in_force, stored_chips, populations, error));
  } catch (const std::runtime_error& e) {
    error = e.what();
    characterised = false;
  }
  if (!characterised) {
    print_error(error);
    return status_database;
  }
  print_line(stdout, summary_line(t, found.skipped.size(), o.db));
  // The status speaks of this run: failures stored before and unchanged since were reported by
  // the run that met them, and recordings left for the next run are not in trouble.
  bool complete = t.failed == 0 && to_retest == 0 && found.skipped.empty();
  return complete ? status_ok : status_failed;
}

struct watch_options {
  std::string db = default_database(), limits, log_dir;
  int jobs = 0;
  std::optional<std::string> settle;
  double poll_s = 0;
  std::vector<std::string> paths;
};

int watch_command(const watch_options& o) {
  watch_settings s;
  s.run = analysis_settings(o.jobs, o.log_dir);
  std::string error;
  if (!settle_time(o.settle, s.mode.settle_s, error)) {
    print_error(error);
    return status_usage;
  }
  s.mode.poll_s = o.poll_s;
  for (const std::string& p : o.paths.empty() ? std::vector<std::string>{"."} : o.paths)
    s.roots.push_back(absolute_path(p));
  s.limits_path = o.limits.empty() ? std::string() : absolute_path(o.limits);
  acceptance_limits limits;
  if (!s.limits_path.empty() && !read_limits(s.limits_path, limits, error)) {
    print_error(error);
    return status_usage;
  }
  std::optional<campaign_db> db = campaign_db::open(o.db, error);
  if (!db) {
    print_error(error);
    return status_database;
  }
  watch_output out{[](const std::string& line) { print_line(stdout, line); },
                   [](const std::string& note) { print_error(note); }};
  return watch_campaign(*db, s, out) == 0 ? status_ok : status_usage;
}

bool write_whole(const std::string& path, const std::string& text) {
  atomic_file out(path);
  return out.open() && out.commit(text);
}

// Opens the existing database at `db_path` and loads every stored recording; nothing, with the
// reason printed, when either fails.
std::optional<campaign_db> load_campaign(const std::string& db_path,
                                         std::vector<stored_recording>& recordings) {
  std::string error;
  std::optional<campaign_db> db = campaign_db::open_read_only(db_path, error);
  if (db && db->load_recordings(recordings, error)) return db;
  print_error(error);
  return std::nullopt;
}

// A campaign loaded and judged under the limits in force.
struct judged_campaign {
  std::optional<campaign_db> db;
  std::vector<stored_recording> recordings;
  acceptance_limits limits;
  campaign_judgement judgement;
};

// Loads the database at `db_path` and judges every chip under the limits in force, printing the
// limits' warnings; on failure `status` says why (the reason printed) and `db` is empty.
judged_campaign load_judged(const std::string& db_path, const std::string& limits_path,
                            int& status) {
  judged_campaign c;
  std::optional<campaign_db> db = load_campaign(db_path, c.recordings);
  if (!db) {
    status = status_database;
    return c;
  }
  std::string error;
  if (!load_limits(*db, limits_path, c.limits, error)) {
    print_error(error);
    status = status_usage;
    return c;
  }
  c.db.emplace(std::move(*db));
  c.judgement = judge_campaign(c.recordings, c.limits);
  for (const std::string& w : c.judgement.warnings) print_error(w);
  return c;
}

// The CSV of every stored channel result with its chip's verdict, as export writes it.
std::string export_text(const judged_campaign& c) {
  return csv_header() + csv_rows(c.recordings, c.judgement.verdicts);
}

int export_command(const std::string& db_path, const std::string& csv_path,
                   const std::string& limits_path) {
  int status = status_ok;
  judged_campaign c = load_judged(db_path, limits_path, status);
  if (!c.db) return status;
  if (!write_whole(csv_path, export_text(c))) {
    print_error("cannot write " + csv_path);
    return status_failed;
  }
  return status_ok;
}

// The database at `db_path` opened to be judged chip by chip under the limits in force, with
// its outline, the limits' warnings printed; on failure `status` says why (the reason printed)
// and `db` is empty.
struct stored_campaign {
  std::optional<campaign_db> db;
  acceptance_limits limits;
  campaign_outline outline;
  population_cache populations;
};

stored_campaign open_stored(const std::string& db_path, const std::string& limits_path,
                            int& status) {
  stored_campaign c;
  std::string error;
  std::optional<campaign_db> db = campaign_db::open_read_only(db_path, error);
  if (!db || !db->load_outline(c.outline, error)) {
    print_error(error);
    status = status_database;
    return c;
  }
  if (!load_limits(*db, limits_path, c.limits, error)) {
    print_error(error);
    status = status_usage;
    return c;
  }
  std::vector<std::string> configs = configurations_of(c.outline);
  for (const std::string& w :
       limits_warnings(c.limits, std::set<std::string>(configs.begin(), configs.end())))
    print_error(w);
  c.db.emplace(std::move(*db));
  return c;
}

int verdicts_command(const std::string& db_path, const std::string& limits_path) {
  int status = status_ok;
  stored_campaign c = open_stored(db_path, limits_path, status);
  if (!c.db) return status;
  print_line(stdout, rule_text(c.limits));
  bool all_pass = true;
  std::string error;
  if (!judge_stored(
          *c.db, c.limits, c.populations, c.outline, "",
          [&](chip_verdict&& v) {
            print_bulk_line(stdout, verdict_line(v));
            all_pass = all_pass && v.outcome == chip_outcome::pass;
          },
          error)) {
    std::fflush(stdout);
    print_error(error);
    return status_database;
  }
  std::fflush(stdout);
  return all_pass ? status_ok : status_failed;
}

int chips_command(const std::string& db_path, const std::string& limits_path,
                  const std::string& csv_path) {
  int status = status_ok;
  stored_campaign c = open_stored(db_path, limits_path, status);
  if (!c.db) return status;
  const std::vector<std::string> required =
      required_configurations(c.outline.chips_in, c.outline.chips, c.limits);
  std::vector<chip_summary> chips;
  std::string error;
  if (!judge_stored_by_chip(
          *c.db, c.limits, c.populations, c.outline,
          [&](std::vector<chip_verdict>&& own) {
            chips.push_back(summarise_chips(own, required).front());
          },
          error)) {
    print_error(error);
    return status_database;
  }
  if (!csv_path.empty() && !write_whole(csv_path, chips_csv(chips))) {
    print_error("cannot write " + csv_path);
    return status_failed;
  }
  bool all_pass = true;
  for (const chip_summary& s : chips) {
    print_bulk_line(stdout, chip_line(s));
    all_pass = all_pass && s.outcome == chip_outcome::pass;
  }
  std::fflush(stdout);
  return all_pass ? status_ok : status_failed;
}

int characterise_command(const std::string& db_path, const std::string& limits_path,
                         const std::string& csv_path) {
  int status = status_ok;
  judged_campaign c = load_judged(db_path, limits_path, status);
  if (!c.db) return status;
  // Only read: the database's characterisation is the one the last run stored.
  std::optional<campaign_characterisation> k = characterise(c.recordings, c.limits);
  std::vector<chip_verdict> verdicts = judge_characterisation(k->channels, c.limits);
  if (!csv_path.empty() && !write_whole(csv_path, characterisation_csv(k->channels, verdicts))) {
    print_error("cannot write " + csv_path);
    return status_failed;
  }
  for (const std::string& note : k->notes) print_line(stdout, note);
  print_line(stdout, characterisation_heading());
  for (const channel_characterisation& ch : k->channels)
    print_line(stdout, characterisation_row(ch));
  bool all_pass = true;
  for (const chip_verdict& v : verdicts) {
    print_line(stdout, verdict_line(v));
    all_pass = all_pass && v.outcome == chip_outcome::pass;
  }
  return all_pass ? status_ok : status_failed;
}

int limits_command(const std::string& db_path, double k, const std::string& out) {
  std::vector<stored_recording> recordings;
  std::optional<campaign_db> db = load_campaign(db_path, recordings);
  if (!db) return status_database;
  if (!write_whole(out, derived_limits(recordings, k, db_path))) {
    print_error("cannot write " + out);
    return status_failed;
  }
  return status_ok;
}

struct report_options {
  std::string db = default_database(), out, limits, recording, vega_dir = default_vega_dir;
};

// The chip of the recording asked for, which the page opens; "" when none was asked for.
std::optional<std::string> asked_chip(const std::vector<stored_recording>& recordings,
                                      const std::string& asked) {
  if (asked.empty()) return std::string();
  for (const stored_recording& r : recordings)
    if (r.path == absolute_path(asked) && r.status == 0) return r.chip;
  return std::nullopt;
}

int report_command(const report_options& o) {
  int status = status_ok;
  judged_campaign c = load_judged(o.db, o.limits, status);
  if (!c.db) return status;
  std::vector<stored_recording>& recordings = c.recordings;
  std::string error;
  report_input in;
  in.title = o.db;
  in.rule = rule_text(c.limits);
  in.limits = c.limits;
  in.verdicts = std::move(c.judgement.verdicts);
  std::optional<std::string> chip = asked_chip(recordings, o.recording);
  if (!chip) {
    print_error("no analysed recording " + o.recording + " in " + o.db);
    return status_usage;
  }
  in.opened_chip = *chip;
  if (!vega_scripts(o.vega_dir, in.vega, error) ||
      !load_recording_details(*c.db, recordings, openable_recordings(in.verdicts, in.opened_chip),
                              in.limits, in.details, error)) {
    print_error(error);
    return status_failed;
  }
  if (!write_whole(o.out, report_html(recordings, in))) {
    print_error("cannot write " + o.out);
    return status_failed;
  }
  return status_ok;
}

int ingest_command(const std::string& db_path, const std::vector<std::string>& paths,
                   const std::string& manifest_path) {
  std::vector<manifest_entry> manifest;
  std::string error;
  if (!manifest_path.empty() && !read_manifest(manifest_path, manifest, error)) {
    print_error(error);
    return status_usage;
  }
  std::vector<std::pair<std::string, std::string>> skipped;
  std::vector<std::string> files = find_results(paths, skipped);
  std::optional<campaign_db> db = campaign_db::open(db_path, error);
  if (!db) {
    print_error(error);
    return status_database;
  }
  size_t ingested = 0, failed_runs = 0;
  for (const std::string& file : files) {
    recording_record r;
    if (!read_result(file, campaign_version(), manifest, r, error)) {
      skipped.push_back({file, error});
      continue;
    }
    if (!db->store(r, error)) {
      print_error(error);
      return status_database;
    }
    ++(r.status == 0 ? ingested : failed_runs);
  }
  for (const auto& [path, reason] : skipped) print_line(stderr, skipped_line({path, reason}));
  print_line(stdout, std::to_string(files.size()) + " results: " + std::to_string(ingested) +
                         " ingested, " + std::to_string(failed_runs) + " failed runs; " +
                         std::to_string(skipped.size()) + " skipped; database " + db_path);
  return skipped.empty() && failed_runs == 0 ? status_ok : status_failed;
}

// "5 recordings, 160 channels, ...": the rows of each table.
std::string counts_text(const table_counts& counts) {
  std::string text;
  for (const auto& [table, rows] : counts)
    text += (text.empty() ? "" : ", ") + std::to_string(rows) + " " + table;
  return text;
}

// Copies the campaign `from` into `to`, then checks the copy: the rows of every table, and the
// export of either judged under its stored limits.
int copy_command(const std::string& from, const std::string& to, bool replace) {
  if (from == to) {
    print_error("copy: --from and --to name the same database " + from);
    return status_usage;
  }
  std::string error;
  std::optional<campaign_db> source = campaign_db::open_read_only(from, error);
  if (!source) {
    print_error(error);
    return status_database;
  }
  std::optional<campaign_db> target = campaign_db::open(to, error);
  table_counts copied, landed;
  if (!target || !copy_campaign(*source, *target, replace, copied, error) ||
      !count_tables(*target, landed, error)) {
    print_error(error);
    return status_database;
  }
  if (landed != copied) {
    print_error("copy: " + to + " holds " + counts_text(landed) + " where " + from + " holds " +
                counts_text(copied));
    return status_failed;
  }
  int status = status_ok;
  judged_campaign a = load_judged(from, "", status);
  judged_campaign b = a.db ? load_judged(to, "", status) : judged_campaign{};
  if (!b.db) return status;
  if (export_text(a) != export_text(b)) {
    print_error("copy: the export of " + to + " differs from that of " + from);
    return status_failed;
  }
  print_line(stdout, "Copied " + counts_text(copied) + " from " + from + " to " + to +
                         "; the counts and the exports agree");
  return status_ok;
}

int serve_command(const serve_options& o) {
  std::string error;
  serve_end end = serve_campaign(
      o,
      [&](const std::string& url) {
        print_line(stdout, "Serving " + o.db + " at " + url + ", the bench view at " + url +
                               "bench; Ctrl-C stops");
      },
      error);
  if (end == serve_end::stopped) return status_ok;
  print_error(error);
  return end == serve_end::database ? status_database
         : end == serve_end::usage  ? status_usage
                                    : status_failed;
}

// The manifest lines of the recordings found, for a job array over them: chip, configuration and
// path, tab-separated, each escaped() so a record stays one line; with `null_separated` each
// field as it is, ended by a NUL byte.
int list_command(const std::vector<std::string>& paths, const std::string& manifest_path,
                 bool null_separated) {
  std::vector<manifest_entry> manifest;
  std::string error;
  if (!manifest_path.empty() && !read_manifest(manifest_path, manifest, error)) {
    print_error(error);
    return status_usage;
  }
  discovery found = find_recordings(paths, manifest);
  for (const skipped_path& s : found.skipped) print_line(stderr, skipped_line(s));
  for (const found_recording& r : found.found) {
    if (null_separated) {
      for (const std::string* f : {&r.identity.chip, &r.identity.config, &r.path})
        std::fwrite(f->c_str(), 1, f->size() + 1, stdout);
    } else {
      print_raw_line(stdout, escaped(r.identity.chip) + "\t" + escaped(r.identity.config) + "\t" +
                                 escaped(r.path));
    }
  }
  std::fflush(stdout);
  return found.skipped.empty() ? status_ok : status_failed;
}

// CLI11 reports a first word that names no subcommand as a missing subcommand; the word
// itself, when it is one, and the subcommands there are.
std::optional<std::string> unknown_subcommand(const CLI::App& app, int argc, char** argv) {
  if (argc < 2 || argv[1][0] == '-') return std::nullopt;
  const std::string word = argv[1];
  std::string names;
  for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    if (sub->get_name() == word) return std::nullopt;
    names += (names.empty() ? "" : ", ") + sub->get_name();
  }
  return "unknown subcommand \"" + word + "\"; it is one of " + names;
}

}  // namespace

int campaign_command(int argc, char** argv) {
  CLI::App app{
      "Analyses every recording of a test campaign into one database, judges each chip "
      "and reports.",
      "varnel-campaign"};
  add_version_flag(app);
  app.require_subcommand(1);
  run_options ro;
  CLI::App* run =
      app.add_subcommand("run", "Analyse the recordings under PATH... into the database");
  run->add_option("--db", ro.db, db_help);
  run->add_option("--jobs", ro.jobs, "Recordings analysed at a time (one per core)")
      ->check(CLI::Range(1, 1024));
  run->add_option("--limits", ro.limits, "Acceptance limits (TOML)");
  run->add_option("--manifest", ro.manifest, "Lines of \"chip config path\" for other naming");
  run->add_option("--settle", ro.settle,
                  "Seconds a recording must be left unmodified before it is analysed (" +
                      std::to_string(std::lround(default_settle_s)) + ", or $" + settle_variable +
                      ")")
      ->type_name("SECONDS");
  run->add_flag("--retry-failed", ro.retry_failed,
                "Analyse again every stored failure, the unchanged ones too");
  run->add_option("--log-dir", ro.log_dir,
                  "Write the logs under DIR, in the recordings' absolute folders, not beside them")
      ->type_name("DIR");
  run->add_option("PATH", ro.paths, "Recordings, or folders searched for *_adc.txt");
  std::string export_db = default_database(), csv, export_limits;
  CLI::App* exp = app.add_subcommand("export", "Write every stored channel result as CSV");
  exp->add_option("--db", export_db, db_help);
  exp->add_option("--csv", csv, "The CSV file to write")->required();
  exp->add_option("--limits", export_limits,
                  "Acceptance limits (TOML) instead of the stored ones, for the verdicts");
  std::string characterise_db = default_database(), characterise_limits, characterise_csv;
  CLI::App* chr = app.add_subcommand(
      "characterise", "Gain, linearity, noise and shape of each channel across configurations");
  chr->add_option("--db", characterise_db, db_help);
  chr->add_option("--limits", characterise_limits,
                  "Acceptance limits (TOML) instead of the stored ones");
  chr->add_option("--csv", characterise_csv, "Also write the figures as CSV");
  std::string limits_db = default_database(), limits_out;
  double limits_k = 5.0;
  CLI::App* lim = app.add_subcommand(
      "limits", "Write limits derived from the campaign, for review and later runs (TOML)");
  lim->add_option("--db", limits_db, db_help);
  lim->add_option("--k", limits_k, "Robust standard deviations around the median (5)")
      ->check(CLI::Validator(
          [](std::string& text) {
            char* end = nullptr;
            double k = std::strtod(text.c_str(), &end);
            return end != text.c_str() && *end == '\0' && valid_k(k)
                       ? std::string()
                       : "expected a number above 0 and at most " +
                             std::to_string(static_cast<int>(max_k)) + ": " + text;
          },
          "K"));
  lim->add_option("--out", limits_out, "The TOML file to write")->required();
  std::string verdicts_db = default_database(), verdicts_limits;
  CLI::App* ver = app.add_subcommand("verdicts", "Print the rule in force and each chip's verdict");
  ver->add_option("--db", verdicts_db, db_help);
  ver->add_option("--limits", verdicts_limits,
                  "Acceptance limits (TOML) instead of the stored ones");
  std::string chips_db = default_database(), chips_limits, chips_csv_path;
  CLI::App* chp = app.add_subcommand(
      "chips", "Print one verdict per chip over the configurations it must pass");
  chp->add_option("--db", chips_db, db_help);
  chp->add_option("--limits", chips_limits, "Acceptance limits (TOML) instead of the stored ones");
  chp->add_option("--csv", chips_csv_path, "Also write the verdicts as CSV");
  report_options rep;
  CLI::App* rp = app.add_subcommand("report", "Write the campaign's report as one HTML file");
  rp->add_option("--db", rep.db, db_help);
  rp->add_option("--out", rep.out, "The HTML file to write")->required();
  rp->add_option("--limits", rep.limits, "Acceptance limits (TOML) instead of the stored ones");
  rp->add_option("--recording", rep.recording,
                 "A recording whose chip the page opens when it loads");
  rp->add_option("--vega-dir", rep.vega_dir, "Where the Vega modules are")->capture_default_str();
  std::string ingest_db = default_database();
  std::vector<std::string> results;
  CLI::App* ing = app.add_subcommand("ingest", "Store results made elsewhere (varnel-plot's JSON)");
  ing->add_option("--db", ingest_db, db_help);
  ing->add_option("RESULT", results, "Result files, or folders searched for *.json")->required();
  std::string ingest_manifest;
  ing->add_option("--manifest", ingest_manifest,
                  "Lines of \"chip config path\" for recordings named otherwise");
  watch_options wo;
  CLI::App* wat = app.add_subcommand(
      "watch", "Analyse each recording under PATH... as its writer closes it, and say its verdict");
  wat->add_option("--db", wo.db, db_help);
  wat->add_option("--jobs", wo.jobs, "Recordings analysed at a time (one per core)")
      ->check(CLI::Range(1, 1024));
  wat->add_option("--limits", wo.limits, "Acceptance limits (TOML), re-read on SIGHUP");
  wat->add_option("--settle", wo.settle,
                  "Seconds a recording found by a scan must be left unmodified (" +
                      std::to_string(std::lround(default_settle_s)) + ", or $" + settle_variable +
                      ")")
      ->type_name("SECONDS");
  wat->add_option("--poll", wo.poll_s,
                  "Scan the folders every SECONDS instead of inotify (NFS and the like)")
      ->type_name("SECONDS")
      ->check(CLI::PositiveNumber);
  wat->add_option("--log-dir", wo.log_dir, "Write the logs under DIR, as run does")
      ->type_name("DIR");
  wat->add_option("PATH", wo.paths, "Folders to follow, with the folders below them (.)");
  serve_options srv;
  srv.db = default_database();
  srv.vega_dir = default_vega_dir;
  CLI::App* sv = app.add_subcommand(
      "serve", "Serve the campaign's page live over HTTP, with a bench view of the latest chip");
  sv->add_option("--db", srv.db, db_help + ", only read");
  sv->add_option("--limits", srv.limits, "Acceptance limits (TOML) instead of the stored ones");
  sv->add_option("--bind", srv.bind,
                 "The address to listen on; others than 127.0.0.1 are "
                 "reachable from the network")
      ->capture_default_str();
  sv->add_option("--port", srv.port, "The TCP port; 0 for any free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  sv->add_option("--vega-dir", srv.vega_dir, "Where the Vega modules are")->capture_default_str();
  std::string copy_from, copy_to;
  bool copy_replace = false;
  CLI::App* cpy = app.add_subcommand(
      "copy", "Copy a whole campaign from one database to another, either engine, and check it");
  cpy->add_option("--from", copy_from, "The campaign database to copy")->required();
  cpy->add_option("--to", copy_to, "The database to copy it into, empty or new")->required();
  cpy->add_flag("--replace", copy_replace, "Overwrite a campaign the target holds already");
  std::vector<std::string> list_paths;
  std::string list_manifest;
  CLI::App* lst = app.add_subcommand(
      "list", "Print chip, configuration and path, tab-separated, for every recording found");
  lst->add_option("--manifest", list_manifest, "Lines of \"chip config path\" for other naming");
  lst->add_option("PATH", list_paths, "Recordings, or folders searched for *_adc.txt");
  bool list_null = false;
  lst->add_flag("--null", list_null,
                "End each field with a NUL byte, unescaped, instead of tabs and a line end");
  if (std::optional<std::string> unknown = unknown_subcommand(app, argc, argv)) {
    print_error(*unknown);
    return status_usage;
  }
  if (const auto stop = parse_command_line(app, argc, argv)) {
    std::fputs(stop->out.c_str(), stdout);
    std::fputs(stop->err.c_str(), stderr);
    return stop->status;
  }
  if (run->parsed()) return run_command(ro);
  if (exp->parsed()) return export_command(export_db, csv, export_limits);
  if (lim->parsed()) return limits_command(limits_db, limits_k, limits_out);
  if (chr->parsed())
    return characterise_command(characterise_db, characterise_limits, characterise_csv);
  if (ver->parsed()) return verdicts_command(verdicts_db, verdicts_limits);
  if (chp->parsed()) return chips_command(chips_db, chips_limits, chips_csv_path);
  if (rp->parsed()) return report_command(rep);
  if (ing->parsed()) return ingest_command(ingest_db, results, ingest_manifest);
  if (lst->parsed()) return list_command(list_paths, list_manifest, list_null);
  if (cpy->parsed()) return copy_command(copy_from, copy_to, copy_replace);
  if (wat->parsed()) return watch_command(wo);
  if (sv->parsed()) return serve_command(srv);
  return status_usage;
}
