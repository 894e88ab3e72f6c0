#include "campaign/run/campaign_run.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "campaign/run/recording_analysis.h"
#include "campaign/store/test_hold.h"
#include "results/file_identity.h"

namespace {

// Up to this many recordings, a run looks up their stored states one path at a time.
constexpr size_t states_looked_up = 64;
// And when they are at most a sixteenth of the results stored: one lookup costs what reading two
// or three stored states in one pass costs in SQLite (measured: 10 us against 4 us), a few tens
// on a server, where each is a round trip.
constexpr size_t states_read_share = 16;

bool same_stamp(const file_stamp& a, const file_stamp& b) {
  return a.size == b.size && a.mtime_ns == b.mtime_ns;
}

bool unchanged(const stored_state& s, const file_stamp& now, const std::string& version) {
  return s.size == now.size && s.mtime_ns == now.mtime_ns && s.version == version;
}

// Whether the stored result stands for this run: a failure outside the recording, or any failure
// when asked to, is analysed again even though the file is unchanged.
bool stands(const stored_state& s, const file_stamp& now, const run_settings& settings) {
  return unchanged(s, now, settings.version) && !s.retry &&
         !(settings.retry_failed && s.status != 0);
}

// One recording's turn on a worker: its result, or why it is left for the next run.
struct turn {
  recording_record record;
  std::string waiting;  // empty when the record is to be stored
};

// Seconds since the file was last modified; negative when its time is ahead of the clock.
double age_s(const file_stamp& st) {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(now).count() - static_cast<double>(st.mtime_ns) * 1e-9;
}

std::string age_text(double age) {
  if (age < 0) return "its modification time is in the future";
  return "modified " + std::to_string(std::lround(std::floor(age))) + " s ago";
}

// A recording modified less than `settle_s` ago is waited for until it has been left alone that
// long; one that changed again meanwhile is still being written. Empty when it settled, with
// `st` its stamp now; else why it is left.
std::string wait_to_settle(const std::string& path, file_stamp& st, double settle_s) {
  double age = age_s(st);
  if (age < 0) return age_text(age);
  if (age >= settle_s) return {};
  std::this_thread::sleep_for(std::chrono::duration<double>(settle_s - age));
  std::optional<file_stamp> now = stamp_of(path);
  if (!now || !same_stamp(*now, st))
    return "still being written " + std::to_string(std::lround(std::ceil(settle_s))) +
           " s after its last change";
  return {};
}

// A recording still being written is read only once it has been left alone for the settle time,
// and its result is dropped when the file changed under the analysis: the next run reads it whole.
turn take_turn(const found_recording& f, const run_settings& s) {
  std::optional<file_stamp> before = stamp_of(f.path);
  if (!before)
    if (std::string kind = irregular_kind(f.path); !kind.empty())
      return {{}, "now " + kind + ", not a regular file"};
  if (before && s.settle_s > 0)
    if (std::string why = wait_to_settle(f.path, *before, s.settle_s); !why.empty())
      return {{}, why};
  recording_record r = analyse_recording(f, s.version, s.log_dir);
  hold_for_test("analysed");
  std::optional<file_stamp> after = stamp_of(f.path);
  if (before && (!after || !same_stamp(*before, *after) || r.size != before->size ||
                 r.mtime_ns != before->mtime_ns))
    return {{}, "modified while it was read"};
  return {std::move(r), {}};
}

// Results handed from the workers to the thread that stores them, at most `capacity` at a time:
// when the store is the slower (a busy disk, a distant server), the workers wait instead of
// piling up results (100 kB and more each) for the whole run.
struct result_queue {
  explicit result_queue(size_t most) : capacity(most) {}
  const size_t capacity;
  std::mutex m;
  std::condition_variable ready, room;
  std::deque<std::pair<const found_recording*, turn>> results;
  bool closed = false;  // the storing thread takes no more

  void push(const found_recording* f, turn t) {
    {
      std::unique_lock lock(m);
      room.wait(lock, [&] { return closed || results.size() < capacity; });
      if (closed) return;
      results.emplace_back(f, std::move(t));
    }
    ready.notify_one();
  }
  std::pair<const found_recording*, turn> pop() {
    std::unique_lock lock(m);
    ready.wait(lock, [&] { return !results.empty(); });
    auto r = std::move(results.front());
    results.pop_front();
    lock.unlock();
    room.notify_one();
    return r;
  }
  // Lets every worker waiting for room go; what they bring later is dropped.
  void close() {
    {
      std::lock_guard lock(m);
      closed = true;
    }
    room.notify_all();
  }
};

}  // namespace

run_tally run_campaign(campaign_db& db, const std::vector<found_recording>& found,
                       const run_settings& s, const stored_callback& on_stored,
                       const waiting_callback& on_waiting) {
  run_tally tally;
  std::map<std::string, stored_state> states;
  // A few recordings (a watch's, a bench's run, a day's in a large campaign) look up their own
  // states; many read them all in one pass.
  const bool look_up =
      found.size() <= states_looked_up || found.size() * states_read_share <= db.generation();
  std::vector<std::string> paths;
  if (look_up)
    for (const found_recording& f : found) paths.push_back(f.path);
  if (!db.load_states(states, tally.database_error, look_up ? &paths : nullptr)) return tally;
  std::vector<const found_recording*> todo;
  for (const found_recording& f : found) {
    auto it = states.find(f.path);
    std::optional<file_stamp> st = stamp_of(f.path);
    if (it != states.end() && st && stands(it->second, *st, s)) {
      ++tally.unchanged;
      tally.failed_before += it->second.status != 0;
    } else {
      todo.push_back(&f);
    }
  }
  result_queue queue(2 * static_cast<size_t>(std::max(s.jobs, 1)));
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  auto work = [&] {
    for (size_t i; !stop && (i = next++) < todo.size();)
      queue.push(todo[i], take_turn(*todo[i], s));
  };
  std::vector<std::jthread> workers;
  for (int j = 0; j < s.jobs && static_cast<size_t>(j) < todo.size(); ++j)
    workers.emplace_back(work);
  auto start = std::chrono::steady_clock::now();
  run_progress p{todo.size(), 0, 0, 0.0};
  for (size_t handled = 0; handled < todo.size(); ++handled) {
    auto [f, t] = queue.pop();
    if (!t.waiting.empty()) {
      ++tally.waiting;
      if (on_waiting) on_waiting({f->path, t.waiting});
    } else if (!db.store(t.record, tally.database_error)) {
      break;
    } else {
      ++(t.record.status == 0 ? tally.analysed : tally.failed);
    }
    p.done = handled + 1;
    p.failed = tally.failed;
    p.elapsed_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (on_stored && t.waiting.empty()) on_stored(t.record, p);
  }
  // Workers finish the recording in hand; after a database failure those results are dropped.
  stop = true;
  queue.close();
  return tally;
}
