// varnel-campaign run: what it analyses, stores, skips and prints, and its exit statuses.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

#include "campaign/campaign_support.h"
#include "campaign/store/campaign_db.h"

namespace fs = std::filesystem;

namespace {

std::string log_of(const std::string& folder, const std::string& chip) {
  return folder + "/rise_time_korvi" + chip + "_20mV_delay-all.log";
}

// Whether a run holds the database's write lock: a transaction that would write cannot begin.
bool write_locked(const std::string& db) {
  sqlite3* h = nullptr;
  bool locked = sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                sqlite3_exec(h, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_BUSY;
  sqlite3_close(h);
  return locked;
}

}  // namespace

TEST(CampaignRun, EachRecordingGetsVarnelsLogAndNotesAndFailuresAreStoredWithTheirMessage) {
  temp_dir d, ref;
  fs::create_directory(d / "data");
  write_campaign(d / "data", 2);
  // One recording cut short in a row: analysed, with a note.
  write_file(d / ("data/" + bench_name("100002")),
             read_file(d / ("data/" + bench_name("100001"))).value() + "1 2 3\n");
  write_file(d / ("data/" + bench_name("100003")), "garbage\n");
  write_file(d / "data/notes.txt", "not a recording\n");
  program_run r = campaign({"run", "--jobs", "2", "data"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "4 recordings: 3 analysed, 1 failed, 0 unchanged; 0 skipped; database "
            "campaign.sqlite\n");
  // The failure and the recording that needs a retest, in the order they were stored.
  std::string bad = d / ("data/" + bench_name("100003"));
  std::string failed = "failed " + bad + ": Corrupt data, likely due to connection problems.\n";
  std::string cut = "retest " + (d / ("data/" + bench_name("100002"))) +
                    ": last row incomplete (3 of 32 values)\n";
  EXPECT_TRUE(r.err == failed + cut || r.err == cut + failed) << r.err;
  for (const char* chip : {"100000", "100002"}) {
    std::string src = d / ("data/" + bench_name(chip));
    fs::copy_file(src, ref / bench_name(chip));
    program_run v = run_program({VARNEL_EXE, chip, "20mV_delay-all", ref / bench_name(chip)});
    EXPECT_EQ(read_file(log_of(d / "data", chip)), read_file(log_of(ref.path(), chip))) << chip;
    std::string stored =
        query(d / "campaign.sqlite",
              "SELECT notes FROM recordings WHERE chip = '" + std::string(chip) + "'")
            .at(0);
    std::string expected = v.err;
    size_t at;
    while ((at = expected.find(ref.path())) != std::string::npos)
      expected.replace(at, ref.path().size(), d / "data");
    EXPECT_EQ(stored + (stored.empty() ? "" : "\n"), expected) << chip;
  }
  EXPECT_EQ(
      query(d / "campaign.sqlite",
            "SELECT chip, config, status, message, events_completed > 0, size, "
            "length(content_hash) FROM recordings ORDER BY chip"),
      (std::vector<std::string>{
          "100000|20mV_delay-all|0||1|" +
              std::to_string(fs::file_size(d / ("data/" + bench_name("100000")))) + "|16",
          "100001|20mV_delay-all|0||1|" +
              std::to_string(fs::file_size(d / ("data/" + bench_name("100001")))) + "|16",
          "100002|20mV_delay-all|0||1|" +
              std::to_string(fs::file_size(d / ("data/" + bench_name("100002")))) + "|16",
          "100003|20mV_delay-all|1|Corrupt data, likely due to connection problems.|0|8|16"}));
  EXPECT_EQ(
      query(d / "campaign.sqlite", "SELECT count(*), count(DISTINCT recording_id) FROM channels"),
      std::vector<std::string>{"96|3"});
}

TEST(CampaignRun, NamesWithoutChipAreListedAsSkippedAndManifestEntriesNeedNoBenchName) {
  temp_dir d;
  fs::create_directory(d / "data");
  write_sim(d / "data/odd name 'x'_adc.txt");
  write_sim(d / ("data/" + bench_name("100000")));
  write_file(d / "list.txt", "777 4mV_delay-all data/odd name 'x'_adc.txt\n");
  program_run r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "skipped " + (d / "data/odd name 'x'_adc.txt") +
                       ": the name does not begin with a time of digits and \"_\"\n");
  // A 20 mV recording analysed as the manifest's 4 mV configuration looks like a 20 mV one: a
  // retest.
  r = campaign({"run", "--manifest", "list.txt", "data"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("retest " + (d / "data/odd name 'x'_adc.txt") +
                                ": this recording looks like 20mV_delay-all"))
      << r.err;
  EXPECT_EQ(r.out,
            "2 recordings: 1 analysed, 0 failed, 1 unchanged; 0 skipped; database "
            "campaign.sqlite\n");
  EXPECT_EQ(
      query(d / "campaign.sqlite", "SELECT chip, config, path FROM recordings ORDER BY chip"),
      (std::vector<std::string>{"100000|20mV_delay-all|" + (d / ("data/" + bench_name("100000"))),
                                "777|4mV_delay-all|" + (d / "data/odd name 'x'_adc.txt")}));
  EXPECT_TRUE(fs::exists(d / "data/rise_time_korvi777_4mV_delay-all.log"));
}

TEST(CampaignRun, AManifestEntryRenamesABenchNamedRecordingsChipAndConfiguration) {
  temp_dir d;
  fs::create_directory(d / "data");
  const std::string name = bench_name("100000");
  write_sim(d / ("data/" + name));
  // The bench wrote the wrong chip number into the name; the manifest says which chip it was.
  write_file(d / "list.txt", "100042 20mV_delay-all data/" + name + "\n");
  program_run r = campaign({"run", "--manifest", "list.txt", "data"}, d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT chip, config FROM recordings"),
            std::vector<std::string>{"100042|20mV_delay-all"});
  EXPECT_TRUE(fs::exists(d / "data/rise_time_korvi100042_20mV_delay-all.log"));
  EXPECT_EQ(campaign({"list", "--manifest", "list.txt", "data"}, d.path()).out,
            "100042\t20mV_delay-all\t" + (d / ("data/" + name)) + "\n");
}

TEST(CampaignRun, ARerunReadsOnlyNewOrChangedRecordings) {
  temp_dir d;
  fs::create_directory(d / "data");
  std::vector<std::string> paths = write_campaign(d / "data", 3);
  ASSERT_EQ(campaign({"run", "data"}, d.path()).status, 0);
  // Same size and time but other bytes: not read again, so its stored result stays.
  struct stat before {};
  ::stat(paths[0].c_str(), &before);
  write_file(paths[0], std::string(fs::file_size(paths[0]), 'x'));
  timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, paths[0].c_str(), times, 0), 0);
  // A newer time: analysed again (and now fails); a new recording: analysed.
  write_file(paths[1], "garbage\n");
  write_sim(d / ("data/" + bench_name("100009")));
  // Rewritten at the same size within the same second, a nanosecond later: changed too.
  ::stat(paths[2].c_str(), &before);
  write_file(paths[2], std::string(fs::file_size(paths[2]), 'y'));
  times[1] = before.st_mtim;
  times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
  ASSERT_EQ(::utimensat(AT_FDCWD, paths[2].c_str(), times, 0), 0);
  program_run r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "4 recordings: 1 analysed, 2 failed, 1 unchanged; 0 skipped; database "
            "campaign.sqlite\n");
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT chip, status FROM recordings ORDER BY chip"),
            (std::vector<std::string>{"100000|0", "100001|1", "100002|1", "100009|0"}));
  // The failures were this run's news; the next rerun meets nothing new, and still counts them.
  r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "4 recordings: 0 analysed, 0 failed, 4 unchanged (2 failed before); 0 skipped; "
            "database campaign.sqlite\n");
}

TEST(CampaignRun, AProgressLineOnATerminalOnly) {
  temp_dir d;
  fs::create_directory(d / "data");
  write_campaign(d / "data", 2);
  // On a pipe, only the summary (checked exactly by the tests above); on a terminal, the progress
  // line rewritten in place and cleared before the summary.
  program_run r = run_program(
      {"script", "-qec", "'" VARNEL_CAMPAIGN_EXE "' run --settle 0 --jobs 1 data", "/dev/null"},
      [&] {
        run_options o;
        o.cwd = d.path();
        return o;
      }());
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\r\033[K[1/2] 0 failed, 0:00 left"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\r\033[K[2/2] 0 failed\r\033[K2 recordings: 2 analysed"), std::string::npos)
      << r.out;
}

TEST(CampaignRun, UsageErrorsHelpAndVersion) {
  temp_dir d;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "varnel-campaign: A subcommand is required\n"},
      {{"frobnicate", "--db", "x"},
       "varnel-campaign: unknown subcommand \"frobnicate\"; it is one of run, export, "
       "characterise, limits, verdicts, chips, report, ingest, watch, serve, copy, list\n"},
      {{"run"}, "varnel-campaign: run: give at least one PATH or --manifest\n"},
      {{"run", "--jobs", "0", "x"}, "varnel-campaign: --jobs: Value 0 not in range 1 to 1024\n"},
      {{"run", "--bogus", "x"},
       "varnel-campaign: The following argument was not expected: --bogus\n"},
      {{"run", "--manifest", "none.txt"}, "varnel-campaign: cannot read manifest none.txt\n"},
      {{"run", "--settle", "-1", "x"},
       "varnel-campaign: --settle: not a number of seconds >= 0: -1\n"},
  };
  for (const auto& [args, err] : cases) {
    program_run r = campaign(args, d.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, err);
  }
  run_options soon;
  soon.environment = {"VARNEL_CAMPAIGN_SETTLE=soon"};
  program_run r = campaign({"run", "x"}, d.path(), soon);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "varnel-campaign: VARNEL_CAMPAIGN_SETTLE: not a number of seconds >= 0: soon\n");
  // A mistyped folder finds nothing and leaves no database behind (checked below).
  program_run typo = campaign({"run", "nosuchdir"}, d.path());
  EXPECT_EQ(typo.status, 1);
  EXPECT_NE(
      typo.err.find("varnel-campaign: run: no recording found; campaign.sqlite not created\n"),
      std::string::npos)
      << typo.err;
  program_run help = campaign({"run", "--help"}, d.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--manifest"), std::string::npos);
  program_run version = campaign({"--version"}, d.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("varnel-campaign ", 0), 0u);
  EXPECT_FALSE(fs::exists(d / "campaign.sqlite"));
}

TEST(CampaignDatabase, AFileOfAnotherKindIsRefusedAndLeftUntouched) {
  temp_dir d;
  write_sim(d / bench_name("100000"));
  write_file(d / "text.sqlite", "just some text, not a database at all\n");
  ASSERT_EQ(
      run_program({"sqlite3", d / "other.sqlite", "CREATE TABLE t (x); PRAGMA user_version = 7"})
          .status,
      0);
  std::string other_before = read_file(d / "other.sqlite").value();
  const std::pair<const char*, const char*> cases[] = {
      {"text.sqlite", "it is not a campaign database (file is not a database)"},
      {"other.sqlite", "it is not a campaign database"},
  };
  for (auto [db, detail] : cases) {
    program_run r = campaign({"run", "--db", db, "."}, d.path());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err,
              "varnel-campaign: cannot use database " + std::string(db) + ": " + detail + "\n");
  }
  EXPECT_EQ(read_file(d / "text.sqlite"), "just some text, not a database at all\n");
  EXPECT_EQ(read_file(d / "other.sqlite"), other_before);
  EXPECT_EQ(tree(d.path()),
            (std::set<std::string>{bench_name("100000"), "other.sqlite", "text.sqlite"}));
  // An empty database is what a run started at the same moment leaves on disk before its schema
  // is committed: it is taken over, not refused.
  ASSERT_EQ(run_program({"sqlite3", d / "blank.sqlite", "PRAGMA journal_mode = WAL"}).status, 0);
  program_run blank = campaign({"run", "--db", "blank.sqlite", "."}, d.path());
  EXPECT_EQ(blank.status, 0) << blank.err;
  EXPECT_EQ(query(d / "blank.sqlite", "SELECT count(*) FROM recordings"),
            std::vector<std::string>{"1"});
  // A campaign database of a later schema version.
  ASSERT_EQ(campaign({"run", "--db", "new.sqlite", "."}, d.path()).status, 0);
  ASSERT_EQ(run_program({"sqlite3", d / "new.sqlite", "PRAGMA user_version = 5"}).status, 0);
  program_run r = campaign({"run", "--db", "new.sqlite", "."}, d.path());
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err,
            "varnel-campaign: cannot use database new.sqlite: its schema version is 5, this "
            "build uses version 4\n");
}

// The database keeps a channel's fit as the analysis made it: every figure, the verdict, the one
// few_events replaced and the evidence, so that a chip's verdict can be traced from it; and the
// recording's own figures, a NaN as NaN.
TEST(CampaignDatabase, AChannelStoredAndLoadedEqualsTheOneFitted) {
  temp_dir d;
  std::string error;
  std::optional<campaign_db> db = campaign_db::open(d / "c.sqlite", error);
  ASSERT_TRUE(db) << error;
  recording_record r;
  r.path = d / "100000_adc.txt", r.chip = "100000", r.config = "20mV_delay-all", r.status = 0;
  r.points = snapshot_table(32);
  for (int ch = 0; ch < 32; ++ch) {
    channel_fit f;
    f.peak_time = 150.25 + ch, f.peak_time_err = 0.5 + ch, f.amplitude = -300.125 + ch;
    f.amplitude_err = 1.0 / (ch + 3), f.time_stamp = 800.5 - ch, f.time_stamp_err = 0.03 * ch;
    f.usable_points = 40 + ch, f.fitted_points = 30 + ch, f.clipped_points = ch % 3;
    f.xmin = 100.0 + ch, f.xmax = 1900.0 - ch, f.chi2 = 37.5 * ch, f.ndf = 27 + ch;
    f.seen_height = 290.0 + ch, f.scatter = 1.5 + 0.1 * ch, f.significance = 44.0 - ch;
    f.pulse_points = 12 + ch, f.fits_run = 1 + ch % 6, f.minimised = ch != 4;
    f.converged = ch % 5 != 0, f.noise = 2.0 + 0.25 * ch;
    f.misfit = 0.0005 * ch, f.pedestal = 97.5 + ch, f.headroom = 3500.25 - 3 * ch;
    f.verdict = static_cast<fit_verdict>(ch % (static_cast<int>(fit_verdict::few_events) + 1));
    if (f.verdict == fit_verdict::few_events) f.replaced_verdict = fit_verdict::poor_fit;
    r.fits.push_back(f);
  }
  r.summary.common_mode_noise = 1.375;
  r.summary.window_gap_events = 17;
  r.config_check = {"4mV_delay-all", 0.0625, 0.0075};
  ASSERT_TRUE(db->store(r, error)) << error;
  recording_record unmeasured = r;
  unmeasured.path = d / "100001_adc.txt", unmeasured.chip = "100001";
  unmeasured.summary.common_mode_noise = NAN;
  unmeasured.summary.window_gap_events = 0;
  unmeasured.config_check = {"", 0.002, NAN};
  ASSERT_TRUE(db->store(unmeasured, error)) << error;
  std::vector<stored_recording> loaded;
  ASSERT_TRUE(db->load_recordings(loaded, error)) << error;
  ASSERT_EQ(loaded.size(), 2u);
  ASSERT_EQ(loaded[0].channels.size(), 32u);
  for (int ch = 0; ch < 32; ++ch) {
    EXPECT_EQ(loaded[0].channels[ch].channel, ch);
    EXPECT_TRUE(loaded[0].channels[ch].fit == r.fits[ch]) << "channel " << ch;
  }
  EXPECT_EQ(loaded[0].common_mode_noise, 1.375);
  EXPECT_EQ(loaded[0].window_gap_events, 17);
  EXPECT_EQ(loaded[0].config_check, r.config_check);
  EXPECT_TRUE(std::isnan(loaded[1].common_mode_noise));
  EXPECT_EQ(loaded[1].window_gap_events, 0);
  EXPECT_EQ(loaded[1].config_check.looks_like, "");
  EXPECT_EQ(loaded[1].config_check.own_misfit, 0.002);
  EXPECT_TRUE(std::isnan(loaded[1].config_check.other_misfit));
}

TEST(CampaignDatabase, SchemaIsVersionedAndWrittenAheadForConcurrentRuns) {
  temp_dir d;
  write_sim(d / bench_name("100000"));
  ASSERT_EQ(campaign({"run", "."}, d.path()).status, 0);
  std::string db = d / "campaign.sqlite";
  EXPECT_EQ(query(db, "PRAGMA user_version"), std::vector<std::string>{"4"});
  EXPECT_EQ(
      query(db, "SELECT value FROM meta WHERE key IN ('schema', 'schema_version') ORDER BY key"),
      (std::vector<std::string>{"varnel-campaign", "4"}));
  EXPECT_EQ(query(db, "PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

TEST(CampaignDatabase, AFullDiskFailsTheRecordingWholeAndKeepsWhatWasStored) {
  temp_dir d;
  fs::create_directory(d / "data");
  write_campaign(d / "data", 1);
  ASSERT_EQ(campaign({"run", "data"}, d.path()).status, 0);
  write_sim(d / ("data/" + bench_name("100005")), 40, 5);
  run_options limited;
  limited.file_size_limit = 65536;  // room for the shared-memory index, not for the points
  program_run r = campaign({"run", "data"}, d.path(), limited);
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.err, "varnel-campaign: cannot use database campaign.sqlite: disk I/O error\n");
  std::string db = d / "campaign.sqlite";
  EXPECT_EQ(query(db, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  EXPECT_EQ(query(db,
                  "SELECT chip, (SELECT count(*) FROM channels WHERE recording_id = id) "
                  "FROM recordings"),
            std::vector<std::string>{"100000|32"});
  r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "2 recordings: 1 analysed, 0 failed, 1 unchanged; 0 skipped; database "
            "campaign.sqlite\n");
}

namespace {

// Starts `varnel-campaign run --jobs 2 data` in `dir` holding inside each recording's
// transaction until a byte is written to the FIFO `hold`, made here; its output is dropped and
// SIGXFSZ ignored. The child's pid, or -1.
pid_t start_held_run(const std::string& dir, const std::string& hold) {
  if (::mkfifo(hold.c_str(), 0600) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    chdir(dir.c_str());
    int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    ::signal(SIGXFSZ, SIG_IGN);
    setenv("VARNEL_CAMPAIGN_HOLD", ("store:" + hold).c_str(), 1);
    execl(VARNEL_CAMPAIGN_EXE, VARNEL_CAMPAIGN_EXE, "run", "--settle", "0", "--jobs", "2", "data",
          nullptr);
    _exit(127);
  }
  return pid;
}

}  // namespace

// The workers analyse ahead of the store by a few results only: with the store held, two
// workers stop after the four results waiting and the two in their hands (each one's log is
// written first), however many recordings are left. When the store then fails they are let go,
// not left waiting for room, and the run ends at once with the one line.
TEST(CampaignDatabase, TheWorkersWaitForTheStoreAndAFailedStoreLetsThemGo) {
  temp_dir d;
  fs::create_directory(d / "data");
  write_campaign(d / "data", 1);
  ASSERT_EQ(campaign({"run", "data"}, d.path()).status, 0);
  for (int chip = 100010; chip < 100030; ++chip)
    write_sim(d / ("data/" + bench_name(std::to_string(chip))), 40, chip);
  std::string hold = d / "hold";
  pid_t pid = start_held_run(d.path(), hold);
  ASSERT_GT(pid, 0);
  int go = ::open(hold.c_str(), O_WRONLY);  // the first store is held from here
  ASSERT_GE(go, 0);
  auto logs = [&] {
    int n = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(d / "data"))
      n += e.path().extension() == ".log";
    return n - 1;  // the first run's
  };
  // The one being stored, four waiting, two in the workers' hands.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (logs() < 7 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(logs(), 7);
  // The held store's commit cannot be written.
  rlimit small{65536, RLIM_INFINITY};
  ASSERT_EQ(::prlimit(pid, RLIMIT_FSIZE, &small, nullptr), 0);
  ASSERT_EQ(::write(go, ".", 1), 1);
  ::close(go);
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the run did not end after its store failed";
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT count(*) FROM recordings"),
            std::vector<std::string>{"1"});
}

TEST(CampaignDatabase, AFullFileSystemFailsTheRecordingWholeWithAClearLine) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  temp_dir d;
  fs::create_directory(d / "data");
  fs::create_directory(d / "small");
  write_campaign(d / "data", 1);
  // In a mount namespace of its own, so the small file system goes away with the shell: one run
  // fills it to the brim but for room to open the database, the next one cannot store.
  std::string script =
      "mount -t tmpfs -o size=1m tmpfs small || exit 99\n"
      "set -e\n"
      "'" VARNEL_CAMPAIGN_EXE
      "' run --settle 0 --db small/c.sqlite data >/dev/null\n"
      "cp '" +
      (d / ("data/" + bench_name("100000"))) + "' data/" + bench_name("100001") +
      "\n"
      "dd if=/dev/zero of=small/room bs=4k count=16 2>/dev/null\n"
      "dd if=/dev/zero of=small/fill bs=4k 2>/dev/null || true\n"
      "rm small/room\n"
      "set +e\n"
      "'" VARNEL_CAMPAIGN_EXE
      "' run --settle 0 --db small/c.sqlite data\n"
      "echo status=$?\n"
      "rm small/fill\n"
      "sqlite3 small/c.sqlite 'PRAGMA integrity_check; SELECT chip FROM recordings'\n";
  run_options in_dir;
  in_dir.cwd = d.path();
  program_run r = run_program({"unshare", "-m", "sh", "-c", script}, in_dir);
  // A chroot or a container may refuse a mount namespace of its own; then there is no tmpfs to
  // fill, and the file-size limit test above covers the full disk.
  if (r.status == 99 || r.err.rfind("unshare:", 0) == 0) GTEST_SKIP() << "no tmpfs here: " << r.err;
  EXPECT_EQ(r.err,
            "varnel-campaign: cannot use database small/c.sqlite: database or disk is full\n");
  EXPECT_EQ(r.out, "status=3\nok\n100000\n");
}

TEST(CampaignDatabase, ARunKilledMidwayLeavesAConsistentDatabaseAndTheNextRunResumes) {
  temp_dir d;
  fs::create_directory(d / "data");
  const int count = 40;
  write_campaign(d / "data", count, 120);
  // The run holds inside each recording's transaction until the test lets it go on.
  std::string hold = d / "hold";
  pid_t pid = start_held_run(d.path(), hold);
  ASSERT_GT(pid, 0);
  // Three results go in; the fourth is killed inside its transaction, while the workers are
  // still analysing.
  int go = ::open(hold.c_str(), O_WRONLY);
  ASSERT_GE(go, 0);
  ASSERT_EQ(::write(go, "...", 3), 3);
  std::string db = d / "campaign.sqlite";
  auto stored_now = [&] {
    try {
      return query(db, "SELECT count(*) FROM recordings").at(0);
    } catch (const std::exception&) {
      return std::string();  // not created yet
    }
  };
  while (stored_now() != "3" || !write_locked(db))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(pid, SIGKILL);
  ::close(go);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(query(db, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  int stored = std::stoi(query(db, "SELECT count(*) FROM recordings").at(0));
  EXPECT_EQ(stored, 3);
  EXPECT_EQ(query(db,
                  "SELECT count(*) FROM recordings WHERE "
                  "(SELECT count(*) FROM channels WHERE recording_id = id) != 32"),
            std::vector<std::string>{"0"});
  program_run r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::to_string(count) + " recordings: " + std::to_string(count - stored) +
                       " analysed, 0 failed, " + std::to_string(stored) +
                       " unchanged; 0 skipped; database campaign.sqlite\n");
}

TEST(CampaignDatabase, TwoRunsAtOnceLoseNoResult) {
  temp_dir d;
  fs::create_directory(d / "a");
  fs::create_directory(d / "b");
  for (int i = 0; i < 10; ++i) {
    write_sim(d / ("a/" + bench_name(std::to_string(200000 + i))), 40, i + 1);
    write_sim(d / ("b/" + bench_name(std::to_string(300000 + i))), 40, i + 11);
  }
  // A run creating the database holds the new file's write lock while it switches the file to
  // WAL. The test holds it as such a run would while the two runs start and reach their own
  // switch, which must wait for it: SQLite answers "busy" there without waiting.
  sqlite3* creating = nullptr;
  ASSERT_EQ(sqlite3_open((d / "campaign.sqlite").c_str(), &creating), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(creating, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  std::thread created([&] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    sqlite3_close(creating);
  });
  program_run second;
  std::thread t([&] { second = campaign({"run", "--jobs", "1", "b", "a"}, d.path()); });
  program_run first = campaign({"run", "--jobs", "1", "a", "b"}, d.path());
  t.join();
  created.join();
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(second.status, 0) << second.err;
  std::string db = d / "campaign.sqlite";
  EXPECT_EQ(query(db, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  EXPECT_EQ(query(db, "SELECT count(*), count(DISTINCT path) FROM recordings"),
            std::vector<std::string>{"20|20"});
  EXPECT_EQ(query(db, "SELECT count(*) FROM channels"), std::vector<std::string>{"640"});
}
