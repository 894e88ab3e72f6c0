#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A varnel-campaign left running in the background, its output gathered as it comes, for tests
// of `watch`.

/// A running varnel-campaign; killed and waited for when destroyed, if still running.
class background_campaign {
 public:
  /// Starts varnel-campaign with `args` in `cwd`, standard input from /dev/null, with the
  /// environment's `extra` entries ("NAME=value"). Throws when it cannot be started.
  background_campaign(const std::vector<std::string>& args, const std::string& cwd,
                      const std::vector<std::string>& extra = {});
  ~background_campaign();
  background_campaign(const background_campaign&) = delete;
  background_campaign& operator=(const background_campaign&) = delete;

  /// The process id.
  pid_t pid() const { return pid_; }
  /// Standard output so far.
  std::string out() const;
  /// Standard error so far.
  std::string err() const;
  /// Waits up to `timeout` for standard output (or, with `on_err`, error) to hold `text`
  /// `count` times; whether it did.
  bool wait_for(const std::string& text, std::chrono::milliseconds timeout, bool on_err = false,
                size_t count = 1) const;
  /// Sends `sig`.
  void signal(int sig) const;
  /// Waits up to `timeout` for the exit; its status 0 to 255, -1 when killed by a signal, or -2
  /// when it is still running.
  int wait_exit(std::chrono::milliseconds timeout);
  /// Sets the process's soft limit of file size, bytes (RLIM_INFINITY: none).
  void set_file_size_limit(rlim_t bytes) const;

 private:
  void gather(int out_fd, int err_fd);
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -2;
  mutable std::mutex m_;
  std::string out_, err_;
  std::thread reader_;
};

/// How many times `text` occurs in `in`.
size_t occurrences(const std::string& in, const std::string& text);

/// Writes `content` to `path` in `pieces` parts with `pause` after each but the last, the file
/// held open throughout and closed at the end, as an acquisition writes a recording.
void write_in_pieces(const std::string& path, const std::string& content, int pieces,
                     std::chrono::milliseconds pause);
