// varnel-campaign run on a live bench folder: files that are not recordings, links, recordings
// still being written, failures that are not the recording's, logs kept elsewhere, and what a
// killed run leaves behind.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "campaign/campaign_support.h"

namespace fs = std::filesystem;

namespace {

// A run that is killed instead of hanging, should a FIFO ever be opened or a loop followed.
run_options bounded() {
  run_options o;
  o.prefix = {"timeout", "-s", "KILL", "60"};
  return o;
}

std::string log_name(const std::string& chip) {
  return "rise_time_korvi" + chip + "_20mV_delay-all.log";
}

void set_age(const std::string& path, int seconds) {
  timespec t{};
  clock_gettime(CLOCK_REALTIME, &t);
  t.tv_sec -= seconds;
  timespec times[2] = {t, t};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// The log varnel.exe writes for a copy of `recording` of `chip`.
std::optional<std::string> reference_log(const std::string& recording, const std::string& chip) {
  temp_dir ref;
  fs::copy_file(recording, ref / "rec_adc.txt");
  run_program({VARNEL_EXE, chip, "20mV_delay-all", ref / "rec_adc.txt"});
  return read_file(ref / log_name(chip));
}

}  // namespace

TEST(CampaignHygiene, FifosSocketsAndDevicesAreSkippedUnopenedAndLinksToFilesKeepTheirPath) {
  temp_dir d;
  fs::create_directories(d / "data");
  fs::create_directories(d / "elsewhere");
  write_sim(d / ("data/" + bench_name("100000")));
  write_sim(d / "elsewhere/real.txt", 40, 2);
  fs::create_symlink(d / "elsewhere/real.txt", d / ("data/" + bench_name("100002")));
  std::string fifo = d / ("data/" + bench_name("100001"));
  std::string given_fifo = d / bench_name("100003");
  std::string listed_fifo = d / "listed_adc.txt";
  for (const std::string& f : {fifo, given_fifo, listed_fifo})
    ASSERT_EQ(::mkfifo(f.c_str(), 0644), 0);
  // A socket's inode made directly: binding one needs its path in 108 bytes, which a long
  // $TMPDIR exceeds, and the run only ever looks at the file's type.
  std::string socket_path = d / ("data/" + bench_name("100004"));
  ASSERT_EQ(::mknod(socket_path.c_str(), S_IFSOCK | 0644, 0), 0) << std::strerror(errno);
  write_file(d / "list.txt", "777 20mV_delay-all listed_adc.txt\n");
  program_run r = campaign({"run", "--manifest", "list.txt", "data", given_fifo, "/dev/null"},
                           d.path(), bounded());
  ASSERT_EQ(r.signal, 0) << "the run hung";
  EXPECT_EQ(r.status, 1);
  for (const std::string& line : {"skipped " + fifo + ": not a regular file (a FIFO)",
                                  "skipped " + given_fifo + ": not a regular file (a FIFO)",
                                  "skipped " + listed_fifo + ": not a regular file (a FIFO)",
                                  "skipped " + socket_path + ": not a regular file (a socket)",
                                  std::string("skipped /dev/null: not a regular file (a device)")})
    EXPECT_NE(r.err.find(line + "\n"), std::string::npos) << line << "\nin\n" << r.err;
  EXPECT_EQ(r.out,
            "2 recordings: 2 analysed, 0 failed, 0 unchanged; 5 skipped; database "
            "campaign.sqlite\n");
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT path, status FROM recordings ORDER BY path"),
            (std::vector<std::string>{d / ("data/" + bench_name("100000")) + "|0",
                                      d / ("data/" + bench_name("100002")) + "|0"}));
  EXPECT_TRUE(fs::exists(d / ("data/" + log_name("100002"))));
}

TEST(CampaignHygiene, LinkedFoldersAreSearchedOnceAndLinkLoopsEnd) {
  temp_dir d;
  fs::create_directories(d / "data/sub");
  fs::create_directories(d / "real");
  write_sim(d / ("data/" + bench_name("100000")));
  write_sim(d / ("real/" + bench_name("100001")), 40, 2);
  fs::create_directory_symlink(d / "real", d / "data/a_link");
  fs::create_directory_symlink(".", d / "data/self");
  fs::create_directory_symlink("..", d / "data/sub/up");
  fs::create_directory_symlink(d / "real", d / "data/sub/again");
  program_run r = campaign({"run", "data"}, d.path(), bounded());
  ASSERT_EQ(r.signal, 0) << "the run did not end";
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "2 recordings: 2 analysed, 0 failed, 0 unchanged; 0 skipped; database "
            "campaign.sqlite\n");
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT path FROM recordings ORDER BY path"),
            (std::vector<std::string>{d / ("data/" + bench_name("100000")),
                                      d / ("data/a_link/" + bench_name("100001"))}));
  // A folder reached both ways keeps the path without the link, whichever is named first.
  r = campaign({"run", "--db", "both.sqlite", "data", "real"}, d.path(), bounded());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(query(d / "both.sqlite", "SELECT path FROM recordings ORDER BY path"),
            (std::vector<std::string>{d / ("data/" + bench_name("100000")),
                                      d / ("real/" + bench_name("100001"))}));
}

TEST(CampaignHygiene, ARecordingJustWrittenIsWaitedForAndOneStillChangingIsLeft) {
  temp_dir d;
  fs::create_directory(d / "data");
  std::string rec = d / ("data/" + bench_name("100000"));
  write_sim(rec);
  // Written a moment ago: the run waits until it has been left alone for --settle, then
  // analyses it rather than leaving it for a next run.
  auto start = std::chrono::steady_clock::now();
  program_run r = campaign({"run", "--settle", "1", "data"}, d.path());
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "1 recordings: 1 analysed, 0 failed, 0 unchanged; 0 skipped; database "
            "campaign.sqlite\n");
  EXPECT_GE(waited, 0.5);
  // A second recording still growing a second after its last change seen: left, with its line.
  std::string growing = d / ("data/" + bench_name("100001"));
  write_sim(growing);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    int fd = ::open(growing.c_str(), O_WRONLY | O_APPEND);
    for (int i = 0; !done && i < 400; ++i) {
      (void)!::write(fd, "\n", 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::close(fd);
  });
  r = campaign({"run", "--settle", "1", "data"}, d.path());
  done = true;
  writer.join();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "waiting " + growing +
                       ": still being written 1 s after its last change, left for the next run\n");
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT count(*) FROM recordings"),
            std::vector<std::string>{"1"});
  // Dated in the future: left at once, not waited for.
  set_age(growing, -3600);
  r = campaign({"run", "--settle", "10", "data"}, d.path());
  EXPECT_EQ(r.err, "waiting " + growing +
                       ": its modification time is in the future, left for the next run\n");
}

TEST(CampaignHygiene, ARecordingWrittenToWhileItIsReadIsNotStored) {
  temp_dir d;
  fs::create_directory(d / "data");
  std::string rec = d / ("data/" + bench_name("100000"));
  write_sim(rec, 400);
  std::string row;
  for (int c = 0; c < 32; ++c) row += "0 ";
  row.back() = '\n';
  // The run is held once it has analysed the recording and before it looks at it again; a row
  // is appended then, as an acquisition still writing would, and the run let go. Timing alone
  // would seldom catch the write inside the analysis on a busy machine.
  const std::string hold = d / "hold";
  ASSERT_EQ(::mkfifo(hold.c_str(), 0600), 0);
  std::thread writer([&] {
    int go = ::open(hold.c_str(), O_WRONLY);  // opens once the run holds
    int fd = ::open(rec.c_str(), O_WRONLY | O_APPEND);
    (void)!::write(fd, row.data(), row.size());
    ::close(fd);
    (void)!::write(go, "x", 1);
    ::close(go);
  });
  run_options held;
  held.environment = {"VARNEL_CAMPAIGN_HOLD=analysed:" + hold};
  program_run r = campaign({"run", "data"}, d.path(), held);
  // A run that never held leaves the writer waiting for it: a reader lets it go.
  int unblock = ::open(hold.c_str(), O_RDONLY | O_NONBLOCK);
  writer.join();
  ::close(unblock);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "waiting " + rec + ": modified while it was read, left for the next run\n");
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT count(*) FROM recordings"),
            std::vector<std::string>{"0"});
  // Finished now: the next run stores it.
  r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT status FROM recordings"),
            std::vector<std::string>{"0"});
}

TEST(CampaignHygiene, FailuresOutsideTheRecordingAreRetriedCorruptDataOnlyWhenAsked) {
  temp_dir d;
  fs::create_directory(d / "data");
  write_campaign(d / "data", 1);
  std::string good = d / ("data/" + bench_name("100000"));
  std::string bad = d / ("data/" + bench_name("100009"));
  write_file(bad, "garbage\n");
  // A folder where the log goes: it cannot be written, whoever runs.
  std::string log = d / ("data/" + log_name("100000"));
  fs::create_directory(log);
  program_run r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("failed " + good + ": Cannot write log file named " + log + ".\n"),
            std::string::npos)
      << r.err;
  std::string db = d / "campaign.sqlite";
  EXPECT_EQ(query(db, "SELECT chip, status, retry FROM recordings ORDER BY chip"),
            (std::vector<std::string>{"100000|1|1", "100009|1|0"}));
  // Unchanged, yet analysed again: it still fails, and that is this run's trouble.
  r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "2 recordings: 0 analysed, 1 failed, 1 unchanged (1 failed before); 0 skipped; "
            "database campaign.sqlite\n");
  fs::remove(log);
  if (geteuid() != 0) {
    // A folder that is not writable fails the log's creation instead.
    fs::permissions(d / "data", fs::perms::owner_write, fs::perm_options::remove);
    r = campaign({"run", "data"}, d.path());
    fs::permissions(d / "data", fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("failed " + good + ": Cannot open log file named " + log + ".\n"),
              std::string::npos)
        << r.err;
  }
  r = campaign({"run", "data"}, d.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "2 recordings: 1 analysed, 0 failed, 1 unchanged (1 failed before); 0 skipped; "
            "database campaign.sqlite\n");
  EXPECT_EQ(query(db, "SELECT chip, status, retry FROM recordings ORDER BY chip"),
            (std::vector<std::string>{"100000|0|0", "100009|1|0"}));
  EXPECT_EQ(read_file(log), reference_log(good, "100000"));
  // The corrupt recording is read again only when asked.
  r = campaign({"run", "--retry-failed", "data"}, d.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "failed " + bad + ": Corrupt data, likely due to connection problems.\n");
  EXPECT_EQ(r.out,
            "2 recordings: 0 analysed, 1 failed, 1 unchanged; 0 skipped; database "
            "campaign.sqlite\n");
}

TEST(CampaignHygiene, LogDirTakesTheLogsOfAReadOnlyArchive) {
  temp_dir d;
  fs::create_directory(d / "archive");
  write_campaign(d / "archive", 1);
  std::string rec = d / ("archive/" + bench_name("100000"));
  // Beside the recording there is no room for the log: a folder holds its name, and the archive
  // is read-only for whoever root is not.
  fs::create_directory(d / ("archive/" + log_name("100000")));
  fs::permissions(d / "archive", fs::perms::owner_write, fs::perm_options::remove);
  std::set<std::string> before = tree(d / "archive");
  program_run r = campaign({"run", "--log-dir", "logs", "archive"}, d.path());
  fs::permissions(d / "archive", fs::perms::owner_write, fs::perm_options::add);
  EXPECT_EQ(r.status, 0) << r.err;
  std::string log = d / ("logs" + d / ("archive/" + log_name("100000")));
  EXPECT_EQ(read_file(log), reference_log(rec, "100000"));
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT log_path FROM recordings"),
            std::vector<std::string>{log});
  EXPECT_EQ(tree(d / "archive"), before);
}

TEST(CampaignHygiene, OnlyStaleTemporaryLogsOfTheRecordingsAnalysedAreRemoved) {
  temp_dir d;
  fs::create_directory(d / "data");
  write_campaign(d / "data", 1);
  std::string log = d / ("data/" + log_name("100000"));
  const std::string stale = log + ".tmpAb3dE9";
  const std::string kept[] = {
      log + ".tmpXy12Zq",                                 // its writer at work now
      log + ".tmpAb3dE",                                  // five letters
      log + ".tmpAb3dE9x",                                // seven
      log + ".tmpAb-dE9",                                 // not mkstemp's alphabet
      log + ".bak",                                       // another file
      d / ("data/" + log_name("999999") + ".tmpAb3dE9"),  // the log of no recording here
  };
  for (const std::string& f : kept) write_file(f, "partial\n");
  write_file(stale, "partial\n");
  for (const std::string& f : kept) set_age(f, 120);
  // Not its age but its writer being gone makes a file stale: a writer's lock keeps an old one.
  set_age(stale, 5);
  int writer = ::open(kept[0].c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::flock(writer, LOCK_EX), 0);
  program_run r = campaign({"run", "data"}, d.path());
  ::close(writer);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(stale));
  for (const std::string& f : kept) EXPECT_TRUE(fs::exists(f)) << f;
  EXPECT_TRUE(fs::exists(log));
}
