#include "campaign/campaign_run.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "campaign/file_identity.h"
#include "campaign/recording_analysis.h"

namespace {

bool unchanged(const stored_state& s, const file_stamp& now, const std::string& version) {
  return s.size == now.size && s.mtime_ns == now.mtime_ns && s.version == version;
}

// Results handed from the workers to the thread that stores them.
struct result_queue {
  std::mutex m;
  std::condition_variable ready;
  std::deque<recording_record> results;

  void push(recording_record r) {
    {
      std::lock_guard lock(m);
      results.push_back(std::move(r));
    }
    ready.notify_one();
  }
  recording_record pop() {
    std::unique_lock lock(m);
    ready.wait(lock, [&] { return !results.empty(); });
    recording_record r = std::move(results.front());
    results.pop_front();
    return r;
  }
};

}  // namespace

run_tally run_campaign(campaign_db& db, const std::vector<found_recording>& found,
                       const std::string& version, int jobs, const stored_callback& on_stored) {
  run_tally tally;
  std::map<std::string, stored_state> states;
  if (!db.load_states(states, tally.database_error)) return tally;
  std::vector<const found_recording*> todo;
  for (const found_recording& f : found) {
    auto it = states.find(f.path);
    std::optional<file_stamp> st = stamp_of(f.path);
    if (it != states.end() && st && unchanged(it->second, *st, version)) {
      ++tally.unchanged;
      tally.failed_before += it->second.status != 0;
    } else {
      todo.push_back(&f);
    }
  }
  result_queue queue;
  std::atomic<size_t> next{0};
  std::atomic<bool> stop{false};
  auto work = [&] {
    for (size_t i; !stop && (i = next++) < todo.size();)
      queue.push(analyse_recording(*todo[i], version));
  };
  std::vector<std::jthread> workers;
  for (int j = 0; j < jobs && static_cast<size_t>(j) < todo.size(); ++j) workers.emplace_back(work);
  auto start = std::chrono::steady_clock::now();
  run_progress p{todo.size(), 0, 0, 0.0};
  for (size_t stored = 0; stored < todo.size(); ++stored) {
    recording_record r = queue.pop();
    if (!db.store(r, tally.database_error)) break;
    ++(r.status == 0 ? tally.analysed : tally.failed);
    p.done = stored + 1;
    p.failed = tally.failed;
    p.elapsed_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (on_stored) on_stored(r, p);
  }
  // Workers finish the recording in hand; after a database failure those results are dropped.
  stop = true;
  return tally;
}
