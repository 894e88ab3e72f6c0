#include "campaign/run/watch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <map>
#include <set>

#include "campaign/judge/reason_text.h"
#include "campaign/run/campaign_text.h"
#include "campaign/run/campaign_upkeep.h"
#include "campaign/run/stored_verdicts.h"

namespace {

// How long, s, a stop signal gives the analysis or database wait in hand before the process
// ends regardless: under the 2 s a service manager is promised.
constexpr double stop_grace_s = 1.5;
// The longest pause, s, between tries of a result the database would not take, or of a
// recording whose analysis failed for a reason outside it.
constexpr double longest_retry_s = 60;
// How often, s, results are judged and their lines written while a backlog is analysed.
constexpr double judge_every_s = 1;

int wake_pipe[2] = {-1, -1};
volatile sig_atomic_t stop_requested = 0;
volatile sig_atomic_t reload_requested = 0;

void on_stop_timer(int) {
  static const char message[] =
      "varnel-campaign: stopped during an analysis or a wait for the database; nothing of it "
      "was stored\n";
  (void)!::write(STDERR_FILENO, message, sizeof message - 1);
  ::_exit(0);
}

// Stop and reload requests are flags the loop reads, and a byte that wakes it.
void on_signal(int sig) {
  if (sig == SIGHUP) {
    reload_requested = 1;
  } else if (!stop_requested) {
    stop_requested = 1;
    itimerval grace{};
    grace.it_value.tv_sec = static_cast<time_t>(stop_grace_s);
    grace.it_value.tv_usec = static_cast<suseconds_t>(std::fmod(stop_grace_s, 1.0) * 1e6);
    ::setitimer(ITIMER_REAL, &grace, nullptr);
  }
  char byte = 0;
  (void)!::write(wake_pipe[1], &byte, 1);
}

void install_handlers() {
  if (wake_pipe[0] < 0 && ::pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) wake_pipe[0] = -1;
  struct sigaction a {};
  a.sa_handler = on_signal;
  sigemptyset(&a.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &a, nullptr);
  a.sa_handler = on_stop_timer;
  ::sigaction(SIGALRM, &a, nullptr);
}

void drain_wake_pipe() {
  char bytes[64];
  while (wake_pipe[0] >= 0 && ::read(wake_pipe[0], bytes, sizeof bytes) > 0) {
  }
}

// Pauses, s, after the `tries`-th failure in a row: 1, 2, 4, ... up to longest_retry_s.
double pause_after(int tries) {
  return std::min(longest_retry_s, std::ldexp(1.0, std::max(tries, 1) - 1));
}

// The watch at work: the queue of recordings ready, what waits to be judged, and the state of
// the database.
class watch_loop {
 public:
  watch_loop(campaign_db& db, const watch_settings& s, const watch_output& out)
      : db_(db), s_(s), out_(out), watcher_(s.roots, s.mode) {
    run_ = s.run;
    run_.settle_s = 0;  // the watcher hands out only what is complete
  }
  int run();

 private:
  bool load_limits_now(const char* what);  // `what` begins the note; none when null
  void take(std::vector<std::string> ready);
  void analyse_next();
  void stored_one(const recording_record& r);
  void database_failed(const std::string& error, const discovery& d,
                       const std::set<std::string>& stored);
  void judge();
  void warm();

  campaign_db& db_;
  const watch_settings& s_;
  const watch_output& out_;
  run_settings run_;
  folder_watcher watcher_;
  acceptance_limits limits_;
  bool warn_ = true;  // the judgement's warnings are due: at the start and after a reload
  std::deque<std::string> queue_;
  std::set<std::string> queued_;
  std::vector<stored_result> unjudged_;
  std::string outage_;  // the database failure last said; empty while it takes the results
  int outage_tries_ = 0;
  std::map<std::string, int> failures_;  // failures outside the recording, in a row, by path
  population_cache populations_{true};   // each configuration's statistics and members
  bool cold_ = true;                     // the members are to be made while nothing waits
  const std::set<std::string> no_chips;  // an outline without superseded recordings
};

bool watch_loop::load_limits_now(const char* what) {
  acceptance_limits fresh;
  std::string error;
  if (!load_limits(db_, s_.limits_path, fresh, error)) {
    out_.note(error + "; the limits in force stay");
    return false;
  }
  if (!s_.limits_path.empty() && !store_limits(db_, s_.limits_path, error))
    out_.note(error + "; the limits are applied but not stored");
  limits_ = std::move(fresh);
  populations_.clear();  // a configuration's minimum of events decides which recordings are sound
  cold_ = true;
  warn_ = true;
  if (what)
    out_.note(std::string(what) + (s_.limits_path.empty() ? "the database" : s_.limits_path));
  return true;
}

void watch_loop::take(std::vector<std::string> ready) {
  for (std::string& p : ready)
    if (queued_.insert(p).second) queue_.push_back(std::move(p));
}

void watch_loop::stored_one(const recording_record& r) {
  unjudged_.push_back({r.path, r.chip, r.config, r.status});
  if (r.status == 0 || !r.retry) {
    failures_.erase(r.path);
    if (r.status != 0) out_.note(failed_line(r.path, r.message));
    return;
  }
  double pause = pause_after(++failures_[r.path]);
  out_.note(failed_line(r.path, r.message) + "; analysed again in " +
            std::to_string(std::lround(pause)) + " s");
  watcher_.retry(r.path, pause);
}

void watch_loop::database_failed(const std::string& error, const discovery& d,
                                 const std::set<std::string>& stored) {
  double pause = pause_after(++outage_tries_);
  if (error != outage_)
    out_.note(error + "; the results not stored are tried again, first in " +
              std::to_string(std::lround(pause)) + " s");
  outage_ = error;
  for (const found_recording& f : d.found)
    if (!stored.count(f.path)) watcher_.retry(f.path, pause);
}

// Analyses the next recordings of the queue, as many as run at once, so that a stop signal is
// heeded between them.
void watch_loop::analyse_next() {
  std::vector<std::string> batch;
  while (!queue_.empty() && batch.size() < static_cast<size_t>(std::max(run_.jobs, 1))) {
    batch.push_back(queue_.front());
    queued_.erase(queue_.front());
    queue_.pop_front();
  }
  discovery d = find_recordings(batch, {});
  for (const skipped_path& k : d.skipped) out_.note(skipped_line(k));
  std::set<std::string> stored;
  run_tally t = run_campaign(
      db_, d.found, run_,
      [&](const recording_record& r, const run_progress&) {
        stored.insert(r.path);
        stored_one(r);
      },
      [&](const waiting_recording& w) { watcher_.retry(w.path, s_.mode.settle_s); });
  if (!t.database_error.empty()) {
    database_failed(t.database_error, d, stored);
  } else if (!outage_.empty() && !stored.empty()) {
    out_.note("the database takes results again");
    outage_.clear();
    outage_tries_ = 0;
  }
}

// Makes every configuration's members while nothing waits, so that the first verdict after
// the start, or after the limits changed, does not read its whole configuration first.
void watch_loop::warm() {
  campaign_outline outline;
  std::map<std::string, population_stats> populations;
  std::string error;
  cold_ = !(db_.load_outline(outline, error, &no_chips) &&
            populations_.get(db_, configurations_of(outline), limits_, populations, error, true));
}

void watch_loop::judge() {
  std::set<std::string> chips;
  std::set<std::pair<std::string, std::string>> changed;
  for (const stored_result& r : unjudged_) {
    chips.insert(r.chip);
    changed.insert({r.chip, r.config});
  }
  campaign_outline outline;
  std::map<std::string, std::vector<stored_recording>> own;
  std::map<std::string, population_stats> populations;
  std::string error;
  // Only the chips just stored are judged, each from its own recordings and its
  // configurations' statistics, made again from the members the cache keeps rather than from
  // the whole configuration read again from the database.
  bool ok = db_.load_outline(outline, error, &chips);
  for (auto chip = chips.begin(); ok && chip != chips.end(); ++chip)
    ok = db_.each_current(
        *chip, "",
        [&](const stored_recording& r) {
          own[*chip].push_back(r);
          return true;
        },
        error);
  if (ok) {
    for (const auto& [chip, list] : own)
      for (const stored_recording& r : list)
        if (changed.count({chip, r.config})) populations_.stored(r);
    ok = populations_.get(db_, configurations_of(outline), limits_, populations, error);
  }
  if (!ok) {
    if (error != outage_) out_.note(error + "; the verdicts follow when it can be read");
    outage_ = error;
    return;
  }
  std::vector<chip_verdict> verdicts;
  for (const auto& [chip, list] : own)
    for (const stored_recording& r : list)
      verdicts.push_back(stored_verdict(r, populations, limits_, outline));
  if (warn_) {
    std::vector<std::string> configs = configurations_of(outline);
    for (const std::string& w :
         limits_warnings(limits_, std::set<std::string>(configs.begin(), configs.end())))
      out_.note(w);
  }
  warn_ = false;
  const std::vector<std::string> required =
      required_configurations(outline.chips_in, outline.chips, limits_);
  for (const std::string& line : result_lines(verdicts, required, unjudged_)) out_.result(line);
  unjudged_.clear();
  if (!update_characterisation(db_, limits_, chips, populations_, error, &populations))
    out_.note(error);
}

int watch_loop::run() {
  std::string error;
  if (!load_limits_now(nullptr)) return 2;
  install_handlers();
  if (!watcher_.start(error)) {
    out_.note(error);
    return 2;
  }
  auto judged = std::chrono::steady_clock::now();
  while (!stop_requested) {
    if (reload_requested) {
      reload_requested = 0;
      load_limits_now("limits re-read from ");
    }
    std::vector<std::string> notes;
    take(watcher_.wait(queue_.empty() ? 1000 : 0, wake_pipe[0], notes));
    drain_wake_pipe();
    for (const std::string& n : notes) out_.note(n);
    if (stop_requested) break;
    if (!queue_.empty()) analyse_next();
    if (queue_.empty() && unjudged_.empty() && cold_) warm();
    auto now = std::chrono::steady_clock::now();
    if (!unjudged_.empty() &&
        (queue_.empty() || now - judged > std::chrono::duration<double>(judge_every_s))) {
      judge();
      judged = now;
    }
  }
  itimerval off{};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  return 0;
}

}  // namespace

std::vector<std::string> result_lines(const std::vector<chip_verdict>& verdicts,
                                      const std::vector<std::string>& required,
                                      const std::vector<stored_result>& stored) {
  std::vector<std::string> lines, chips;
  std::set<std::pair<std::string, std::string>> said;
  for (const stored_result& r : stored) {
    if (!said.insert({r.chip, r.config}).second) continue;
    for (const chip_verdict& v : verdicts)
      if (v.chip == r.chip && v.config == r.config) lines.push_back(verdict_line(v));
    if (std::find(chips.begin(), chips.end(), r.chip) == chips.end()) chips.push_back(r.chip);
  }
  for (const std::string& chip : chips) {
    std::vector<chip_verdict> own;
    for (const chip_verdict& v : verdicts)
      if (v.chip == chip) own.push_back(v);
    bool all_in = std::all_of(required.begin(), required.end(), [&](const std::string& c) {
      return std::any_of(own.begin(), own.end(),
                         [&](const chip_verdict& v) { return v.config == c; });
    });
    if (all_in && !own.empty()) lines.push_back(chip_line(summarise_chips(own, required).front()));
  }
  return lines;
}

int watch_campaign(campaign_db& db, const watch_settings& s, const watch_output& out) {
  stop_requested = 0;
  reload_requested = 0;
  watch_loop loop(db, s, out);
  return loop.run();
}
