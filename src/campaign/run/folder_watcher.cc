#include "campaign/run/folder_watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "campaign/model/recording_name.h"

namespace fs = std::filesystem;

namespace {

// What a folder is watched for: a file closed after writing or moved in, a folder made or moved
// in, the folder itself gone.
constexpr uint32_t folder_events =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// How often, s, a root that is gone is looked for.
constexpr double root_check_s = 1.0;

bool all_digits(const char* s) {
  for (; *s; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// Whether descriptor `fd` of process `pid` was opened for writing, from its fdinfo's flags.
bool opened_for_writing(const std::string& pid, const std::string& fd) {
  std::ifstream info("/proc/" + pid + "/fdinfo/" + fd);
  std::string key;
  while (info >> key) {
    if (key != "flags:") continue;
    std::string octal;
    info >> octal;
    long flags = std::strtol(octal.c_str(), nullptr, 8);
    return (flags & O_ACCMODE) != O_RDONLY;
  }
  return false;
}

// Adds to `out` the paths of `paths` that process `pid` holds open for writing.
void writers_of(const std::string& pid, const std::set<std::string>& paths,
                std::set<std::string>& out) {
  std::string fd_dir = "/proc/" + pid + "/fd";
  DIR* d = ::opendir(fd_dir.c_str());
  if (!d) return;  // another user's, or gone
  while (dirent* e = ::readdir(d)) {
    if (!all_digits(e->d_name)) continue;
    char target[PATH_MAX];
    ssize_t n = ::readlink((fd_dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    std::string path(target, static_cast<size_t>(n));
    if (paths.count(path) && opened_for_writing(pid, e->d_name)) out.insert(path);
  }
  ::closedir(d);
}

double seconds_until(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(t - std::chrono::steady_clock::now()).count();
}

std::chrono::steady_clock::duration span(double s) {
  return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(s));
}

// Seconds since the file's last modification, by the wall clock its time is kept in.
double modified_s_ago(const file_stamp& st) {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(now).count() - static_cast<double>(st.mtime_ns) * 1e-9;
}

bool same(const file_stamp& a, const file_stamp& b) {
  return a.size == b.size && a.mtime_ns == b.mtime_ns;
}

}  // namespace

std::set<std::string> open_for_writing(const std::set<std::string>& paths) {
  std::set<std::string> out;
  if (paths.empty()) return out;
  DIR* proc = ::opendir("/proc");
  if (!proc) return out;
  while (dirent* e = ::readdir(proc))
    if (all_digits(e->d_name)) writers_of(e->d_name, paths, out);
  ::closedir(proc);
  return out;
}

folder_watcher::folder_watcher(std::vector<std::string> roots, watch_mode mode)
    : roots_(std::move(roots)), mode_(mode) {}

folder_watcher::~folder_watcher() {
  if (inotify_fd_ >= 0) ::close(inotify_fd_);
}

bool folder_watcher::start(std::string& error) {
  if (mode_.poll_s <= 0) {
    inotify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd_ < 0) {
      error = std::string("cannot use inotify: ") + std::strerror(errno) + "; try --poll SECONDS";
      return false;
    }
  }
  std::vector<std::string> notes;
  for (const std::string& root : roots_) {
    std::error_code ec;
    if (fs::is_directory(root, ec))
      watch_tree(root, notes);
    else
      missing_roots_.insert(root);
  }
  next_poll_ = clock::now() + span(mode_.poll_s);
  return true;
}

// Watches `folder` and every folder below it, and takes the recordings they hold as found by a
// scan: the watch is in place first, so nothing written meanwhile is missed.
void folder_watcher::watch_tree(const std::string& folder, std::vector<std::string>& notes) {
  if (inotify_fd_ >= 0) {
    int wd = ::inotify_add_watch(inotify_fd_, folder.c_str(), folder_events);
    if (wd < 0) {
      notes.push_back("cannot watch " + folder + ": " + std::strerror(errno));
      return;
    }
    folders_[wd] = folder;
  }
  std::error_code ec;
  std::vector<std::string> below;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    std::string path = it->path().string();
    if (it->is_directory(type_ec) && !it->is_symlink(type_ec))
      below.push_back(path);
    else if (looks_like_recording(path))
      consider(path, 0);
  }
  for (const std::string& f : below) watch_tree(f, notes);
}

void folder_watcher::consider(const std::string& path, double delay_s) {
  std::optional<file_stamp> st = stamp_of(path);
  if (st) pending_[path] = {*st, clock::now() + span(delay_s)};
}

void folder_watcher::retry(const std::string& path, double delay_s) {
  handed_.erase(path);
  consider(path, delay_s);
}

void folder_watcher::forget_folder(int wd, std::vector<std::string>& notes) {
  auto it = folders_.find(wd);
  if (it == folders_.end()) return;
  std::string folder = it->second;
  folders_.erase(it);
  if (std::find(roots_.begin(), roots_.end(), folder) == roots_.end()) return;
  missing_roots_.insert(folder);
  notes.push_back("folder " + folder + " is gone; watching for it to come back");
}

void folder_watcher::read_events(std::vector<std::string>& ready, std::vector<std::string>& notes) {
  alignas(inotify_event) char buffer[65536];
  for (;;) {
    ssize_t n = ::read(inotify_fd_, buffer, sizeof buffer);
    if (n <= 0) return;  // EAGAIN: nothing more for now
    for (char* p = buffer; p < buffer + n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(p);
      p += sizeof(inotify_event) + e->len;
      if (e->mask & IN_Q_OVERFLOW) {
        notes.push_back("too many changes at once; the folders are searched again");
        for (const std::string& root : roots_)
          if (!missing_roots_.count(root)) watch_tree(root, notes);
        continue;
      }
      if (e->mask & IN_MOVE_SELF) ::inotify_rm_watch(inotify_fd_, e->wd);  // its path is stale
      if (e->mask & IN_IGNORED) forget_folder(e->wd, notes);
      auto folder = folders_.find(e->wd);
      if (e->len == 0 || folder == folders_.end()) continue;
      std::string path = folder->second + "/" + e->name;
      if ((e->mask & IN_ISDIR) && (e->mask & (IN_CREATE | IN_MOVED_TO))) {
        watch_tree(path, notes);
      } else if ((e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) && looks_like_recording(path)) {
        pending_.erase(path);
        ready.push_back(path);
      }
    }
  }
}

void folder_watcher::look_for_missing_roots(std::vector<std::string>& notes) {
  if (missing_roots_.empty() || clock::now() < next_root_check_) return;
  next_root_check_ = clock::now() + span(root_check_s);
  for (auto it = missing_roots_.begin(); it != missing_roots_.end();) {
    std::error_code ec;
    if (!fs::is_directory(*it, ec)) {
      ++it;
      continue;
    }
    std::string root = *it;
    it = missing_roots_.erase(it);
    notes.push_back("folder " + root + " is there; watching it");
    watch_tree(root, notes);
  }
}

// Every recording under the roots whose size or time differs from when it was handed out is
// considered again; what is no longer there is forgotten.
void folder_watcher::poll_scan() {
  std::map<std::string, file_stamp> seen;
  for (const std::string& root : roots_) {
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
      std::string path = it->path().string();
      if (!looks_like_recording(path)) continue;
      std::optional<file_stamp> st = stamp_of(path);
      if (!st) continue;
      seen[path] = *st;
      auto before = handed_.find(path);
      bool handed = before != handed_.end() && same(before->second, *st);
      if (!handed && !pending_.count(path)) consider(path, 0);
    }
  }
  std::erase_if(handed_, [&](const auto& h) { return !seen.count(h.first); });
}

// Hands out the candidates that are due and have settled: unchanged since last looked at,
// modified at least settle_s ago, and held open for writing by no process.
void folder_watcher::take_settled(std::vector<std::string>& ready) {
  auto now = clock::now();
  std::set<std::string> settled;
  for (auto it = pending_.begin(); it != pending_.end();) {
    candidate& c = it->second;
    if (c.due > now) {
      ++it;
      continue;
    }
    std::optional<file_stamp> st = stamp_of(it->first);
    if (!st) {
      it = pending_.erase(it);
      continue;
    }
    double wait_s = mode_.settle_s - modified_s_ago(*st);
    if (!same(*st, c.seen) || wait_s > 0) {
      c = {*st, now + span(std::max(wait_s, 0.1))};
    } else {
      settled.insert(it->first);
    }
    ++it;
  }
  std::set<std::string> writing = open_for_writing(settled);
  for (const std::string& path : settled) {
    candidate& c = pending_.at(path);
    if (writing.count(path)) {
      c.due = now + span(std::max(mode_.settle_s, 0.5));
      continue;
    }
    if (mode_.poll_s > 0) handed_[path] = c.seen;
    pending_.erase(path);
    ready.push_back(path);
  }
}

int folder_watcher::timeout_for(int timeout_ms) const {
  double s = timeout_ms / 1000.0;
  for (const auto& [path, c] : pending_) s = std::min(s, seconds_until(c.due));
  if (mode_.poll_s > 0) s = std::min(s, seconds_until(next_poll_));
  if (!missing_roots_.empty()) s = std::min(s, seconds_until(next_root_check_));
  return static_cast<int>(std::ceil(std::max(s, 0.0) * 1000.0));
}

std::vector<std::string> folder_watcher::wait(int timeout_ms, int wake_fd,
                                              std::vector<std::string>& notes) {
  std::vector<std::string> ready;
  pollfd fds[2] = {{inotify_fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  if (::poll(fds, 2, timeout_for(timeout_ms)) > 0 && (fds[0].revents & POLLIN))
    read_events(ready, notes);
  look_for_missing_roots(notes);
  if (mode_.poll_s > 0 && clock::now() >= next_poll_) {
    poll_scan();
    next_poll_ = clock::now() + span(mode_.poll_s);
  }
  take_settled(ready);
  std::sort(ready.begin(), ready.end());
  ready.erase(std::unique(ready.begin(), ready.end()), ready.end());
  return ready;
}
