// `varnel-campaign watch` as a real process fed by writers that take their time, and the faults
// a watch meets over weeks at a bench.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "campaign/campaign_support.h"
#include "campaign/watch_support.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Long enough for an analysis on a loaded machine; the figures of latency are the bench's.
constexpr auto line_timeout = 15s;

std::string verdict_prefix(const std::string& chip, const std::string& config = "20mV_delay-all") {
  return chip + " " + config + " ";
}

// The content of a small realistic recording, to be written in pieces.
std::string recording_text(const temp_dir& d, int events = 40, uint64_t seed = 7) {
  write_sim(d / "source.txt", events, seed);
  return *read_file(d / "source.txt");
}

// The chip's own lines: those that begin with the chip and name no configuration next.
size_t chip_lines(const std::string& out, const std::string& chip) {
  std::istringstream in(out);
  size_t n = 0;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string first, second;
    words >> first >> second;
    n += first == chip && second.find("_delay-all") == std::string::npos;
  }
  return n;
}

// Ends the watch with `sig`; its status, or -2 when it had not ended 2 s later.
int stop_within_2s(background_campaign& w, int sig = SIGTERM) {
  w.signal(sig);
  return w.wait_exit(2s);
}

// Writes chip 100001's recording `text` into data/ in `pieces` with `pause` after each but the
// last, the file held open throughout, while `w` watches: no line before the close, exactly one
// analysis of the whole file after it.
void expect_one_analysis_after_the_close(const background_campaign& w, const temp_dir& d,
                                         const std::string& text, int pieces,
                                         std::chrono::milliseconds pause) {
  std::string rec = d / ("data/" + bench_name("100001"));
  std::thread writer([&] { write_in_pieces(rec, text, pieces, pause); });
  std::this_thread::sleep_for(pause * (pieces - 1) - 300ms);
  EXPECT_EQ(occurrences(w.out(), "100001 "), 0u) << "taken before its close: " << w.out();
  writer.join();
  ASSERT_TRUE(w.wait_for(verdict_prefix("100001"), line_timeout)) << w.err();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(occurrences(w.out(), verdict_prefix("100001")), 1u) << w.out();
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT size FROM recordings WHERE path = '" + rec + "'"),
            std::vector<std::string>{std::to_string(text.size())});
}

}  // namespace

// Tests with a watch on data/ that has caught up on chip 100000's recording there.
class CampaignWatch : public ::testing::Test {
 protected:
  ~CampaignWatch() override {
    if (w_ && w_->wait_exit(0ms) == -2) {
      w_->signal(SIGTERM);
      w_->wait_exit(2s);
    }
  }
  // Starts the watch with `options` before --settle 1 data; throws, failing the test, when it
  // does not say chip 100000's verdict.
  background_campaign& watch(std::vector<std::string> options = {}) {
    fs::create_directories(d / "data");
    write_sim(rec);
    options.insert(options.begin(), "watch");
    options.insert(options.end(), {"--settle", "1", "data"});
    w_ = std::make_unique<background_campaign>(options, d.path());
    if (!w_->wait_for(verdict_prefix("100000"), line_timeout))
      throw std::runtime_error("no catching up: " + w_->err());
    return *w_;
  }
  temp_dir d;
  std::string rec = d / ("data/" + bench_name("100000"));

 private:
  std::unique_ptr<background_campaign> w_;
};

TEST_F(CampaignWatch, ARecordingWrittenInPiecesIsAnalysedOnceAfterItsWriterClosesIt) {
  std::string text = recording_text(d, 60);
  background_campaign& w = watch();
  // Over two seconds, with pauses longer than --settle.
  expect_one_analysis_after_the_close(w, d, text, 5, 500ms);
  EXPECT_EQ(chip_lines(w.out(), "100001"), 1u) << w.out();
  // A dated folder made afterwards is followed, a recording copied into it at once too.
  fs::create_directory(d / "data/20240102");
  fs::copy_file(d / "source.txt", d / ("data/20240102/" + bench_name("100002")));
  ASSERT_TRUE(w.wait_for(verdict_prefix("100002"), line_timeout)) << w.err();
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT count(*) FROM recordings"),
            std::vector<std::string>{"3"});
  EXPECT_EQ(w.err(), "");
  EXPECT_EQ(stop_within_2s(w), 0);
}

TEST_F(CampaignWatch, PollingTakesARecordingHeldOpenOnlyOnceItIsClosed) {
  std::string text = recording_text(d);
  background_campaign& w = watch({"--poll", "0.2"});
  // Each pause outlasts --settle: only the writer's open descriptor tells that it is not done.
  expect_one_analysis_after_the_close(w, d, text, 3, 1300ms);
  EXPECT_EQ(stop_within_2s(w), 0);
}

TEST_F(CampaignWatch, FoldersDeletedAndMadeAgainAreFollowedAgain) {
  background_campaign& w = watch();
  // A dated folder removed and made again.
  fs::create_directory(d / "data/20240103");
  write_sim(d / ("data/20240103/" + bench_name("100001")));
  ASSERT_TRUE(w.wait_for(verdict_prefix("100001"), line_timeout)) << w.err();
  fs::remove_all(d / "data/20240103");
  fs::create_directory(d / "data/20240103");
  write_sim(d / ("data/20240103/" + bench_name("100002")));
  ASSERT_TRUE(w.wait_for(verdict_prefix("100002"), line_timeout)) << w.err();
  // The watched folder itself.
  fs::remove_all(d / "data");
  ASSERT_TRUE(w.wait_for("folder " + (d / "data") + " is gone", line_timeout, true)) << w.err();
  fs::create_directory(d / "data");
  ASSERT_TRUE(w.wait_for("folder " + (d / "data") + " is there", line_timeout, true)) << w.err();
  write_sim(d / ("data/" + bench_name("100003")));
  ASSERT_TRUE(w.wait_for(verdict_prefix("100003"), line_timeout)) << w.err();
  EXPECT_EQ(stop_within_2s(w), 0);
}

TEST_F(CampaignWatch, ARewrittenRecordingIsAnalysedAgainAndItsNewVerdictSaid) {
  background_campaign& w = watch();
  EXPECT_EQ(occurrences(w.out(), verdict_prefix("100000") + "retest"), 0u) << w.out();
  write_sim(rec, 5);  // too few events now
  ASSERT_TRUE(w.wait_for(verdict_prefix("100000") + "retest: ", line_timeout)) << w.out();
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT count(*) FROM recordings"),
            std::vector<std::string>{"1"});
  EXPECT_EQ(stop_within_2s(w), 0);
}

TEST_F(CampaignWatch, ADatabaseBusyWithAnotherWriterDelaysTheLineOnly) {
  background_campaign& w = watch();
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((d / "campaign.sqlite").c_str(), &other), SQLITE_OK);
  sqlite3_busy_timeout(other, 10000);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  write_sim(d / ("data/" + bench_name("100001")));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(occurrences(w.out(), "100001 "), 0u) << w.out();
  EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);
  ASSERT_TRUE(w.wait_for(verdict_prefix("100001"), line_timeout)) << w.err();
  EXPECT_EQ(stop_within_2s(w), 0);
}

TEST_F(CampaignWatch, AFullDiskIsSaidAndTheResultStoredWhenSpaceReturns) {
  background_campaign& w = watch();
  // No file of the watch can grow: neither the log beside the recording nor the database.
  w.set_file_size_limit(1);
  write_sim(d / ("data/" + bench_name("100001")));
  ASSERT_TRUE(w.wait_for("tried again", line_timeout, true)) << w.err();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(w.wait_exit(0ms), -2) << "the watch ended: " << w.err();
  EXPECT_EQ(occurrences(w.out(), verdict_prefix("100001") + "not judged"), 0u) << w.out();
  w.set_file_size_limit(RLIM_INFINITY);
  ASSERT_TRUE(w.wait_for(verdict_prefix("100001") + "not judged", 70s)) << w.err();
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT status FROM recordings ORDER BY path"),
            (std::vector<std::string>{"0", "0"}));
  EXPECT_EQ(stop_within_2s(w), 0);
}

TEST_F(CampaignWatch, SighupRereadsTheLimitsAndABrokenFileKeepsThoseInForce) {
  std::string limits = d / "limits.toml";
  ASSERT_TRUE(write_file(limits, "[config.\"20mV_delay-all\"]\nmin_events = 10\n"));
  background_campaign& w = watch({"--limits", "limits.toml"});
  EXPECT_EQ(occurrences(w.out(), verdict_prefix("100000") + "retest"), 0u) << w.out();
  ASSERT_TRUE(write_file(limits, "[config.\"20mV_delay-all\"]\nmin_events = 100\n"));
  w.signal(SIGHUP);
  ASSERT_TRUE(w.wait_for("limits re-read from " + limits, line_timeout, true)) << w.err();
  write_sim(d / ("data/" + bench_name("100001")));
  ASSERT_TRUE(w.wait_for(verdict_prefix("100001") + "retest: ", line_timeout)) << w.out();
  // The stored limits follow, so that later commands judge alike.
  EXPECT_EQ(query(d / "campaign.sqlite", "SELECT value FROM meta WHERE key = 'limits'"),
            std::vector<std::string>{"[config.\"20mV_delay-all\"]\nmin_events = 100\n"});
  ASSERT_TRUE(write_file(limits, "min_events = [\n"));
  w.signal(SIGHUP);
  ASSERT_TRUE(w.wait_for("the limits in force stay", line_timeout, true)) << w.err();
  write_sim(d / ("data/" + bench_name("100002")));
  ASSERT_TRUE(w.wait_for(verdict_prefix("100002") + "retest: ", line_timeout)) << w.out();
  EXPECT_EQ(stop_within_2s(w), 0);
}

TEST_F(CampaignWatch, AStopSignalEndsItWithin2sWithNothingHalfStored) {
  fs::create_directory(d / "data");
  write_campaign(d / "data", 30);
  std::string db = d / "campaign.sqlite";
  {
    // In the middle of catching up (30 recordings take a second or so here).
    background_campaign w({"watch", "--jobs", "1", "--settle", "0", "data"}, d.path());
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(stop_within_2s(w, SIGTERM), 0) << w.err();
  }
  {
    // Idle, or still catching up.
    background_campaign w({"watch", "--settle", "0", "data"}, d.path());
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(stop_within_2s(w, SIGINT), 0) << w.err();
  }
  EXPECT_EQ(query(db, "PRAGMA integrity_check"), std::vector<std::string>{"ok"});
  EXPECT_EQ(query(db,
                  "SELECT count(*) FROM recordings r WHERE status = 0 AND (SELECT count(*) FROM "
                  "channels c WHERE c.recording_id = r.id) <> 32"),
            std::vector<std::string>{"0"});
  // A watch started again carries on with the rest.
  background_campaign w({"watch", "--settle", "0", "data"}, d.path());
  std::this_thread::sleep_for(500ms);  // its handlers in place
  auto until = std::chrono::steady_clock::now() + line_timeout;
  while (query(db, "SELECT count(*) FROM recordings") != std::vector<std::string>{"30"} &&
         std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(stop_within_2s(w), 0);
  EXPECT_EQ(query(db, "SELECT count(*) FROM recordings"), std::vector<std::string>{"30"});
}

TEST_F(CampaignWatch, AChipsOwnLineComesOnceItsRequiredConfigurationsAreAllIn) {
  ASSERT_TRUE(
      write_file(d / "limits.toml", "required = [\"20mV_delay-all\", \"4mV_delay-all\"]\n"));
  background_campaign& w = watch({"--limits", "limits.toml"});
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(chip_lines(w.out(), "100000"), 0u) << w.out();
  write_sim(d / ("data/" + bench_name("100000", "4mV_delay-all")), 40, 1,
            [](simulation_options& o) { o = realistic_options(40, "4mV_delay-all", 1); });
  ASSERT_TRUE(w.wait_for(verdict_prefix("100000", "4mV_delay-all"), line_timeout)) << w.err();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(chip_lines(w.out(), "100000"), 1u) << w.out();
  EXPECT_EQ(stop_within_2s(w), 0);
}
