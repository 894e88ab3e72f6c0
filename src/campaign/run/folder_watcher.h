#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "results/file_identity.h"

/// The paths of `paths` that some process holds open for writing, as far as /proc tells: a
/// process of another user whose descriptors cannot be listed is not seen (root sees all).
std::set<std::string> open_for_writing(const std::set<std::string>& paths);

/// How a folder_watcher learns that a recording is complete.
struct watch_mode {
  /// 0: inotify, a recording is ready when its writer closes it or it is moved in; else the
  /// seconds between scans of the folders, for file systems without inotify (NFS).
  double poll_s = 0;
  /// A recording found by a scan (at start, in a new folder, or every poll_s) is ready once its
  /// size and modification time have stood for this many seconds and no process has it open for
  /// writing (open_for_writing).
  double settle_s = 5;
};

/// Follows folders and the folders below them, new ones included, and hands out each recording
/// ("*_adc.txt") once its writer is done with it. A folder deleted is watched again when it is
/// made again; a root missing at the start is waited for.
class folder_watcher {
 public:
  /// Watches `roots` (absolute paths of folders) as `mode` says.
  folder_watcher(std::vector<std::string> roots, watch_mode mode);
  ~folder_watcher();
  folder_watcher(const folder_watcher&) = delete;
  folder_watcher& operator=(const folder_watcher&) = delete;

  /// Sets up inotify (unless polling) and scans the roots for the recordings already there.
  /// False with `error` when inotify cannot be had (too many instances, a kernel without it).
  bool start(std::string& error);
  /// Waits until a recording is ready, `wake_fd` (>= 0) is readable or `timeout_ms` passed, and
  /// returns the recordings ready, sorted, each once. What happened to the folders (one gone,
  /// back, unwatchable) is added to `notes` as lines.
  std::vector<std::string> wait(int timeout_ms, int wake_fd, std::vector<std::string>& notes);
  /// Hands `path` out again in `delay_s` seconds, once it has settled: a result that could not
  /// be stored, a recording changed while it was read.
  void retry(const std::string& path, double delay_s);
  /// Recordings found but not yet ready; for figures of memory use.
  size_t pending() const { return pending_.size(); }

 private:
  using clock = std::chrono::steady_clock;
  // A recording found by a scan, waited for until it has settled.
  struct candidate {
    file_stamp seen;
    clock::time_point due;
  };
  void watch_tree(const std::string& folder, std::vector<std::string>& notes);
  void scan(const std::string& folder);
  void consider(const std::string& path, double delay_s);
  void read_events(std::vector<std::string>& ready, std::vector<std::string>& notes);
  void forget_folder(int wd, std::vector<std::string>& notes);
  void look_for_missing_roots(std::vector<std::string>& notes);
  void poll_scan();
  void take_settled(std::vector<std::string>& ready);
  int timeout_for(int timeout_ms) const;

  std::vector<std::string> roots_;
  watch_mode mode_;
  int inotify_fd_ = -1;
  std::map<int, std::string> folders_;  // inotify watch descriptor to folder
  std::set<std::string> missing_roots_;
  clock::time_point next_root_check_{}, next_poll_{};
  std::map<std::string, candidate> pending_;
  std::map<std::string, file_stamp> handed_;  // polling: what each recording was when handed out
};
