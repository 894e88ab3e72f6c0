#include "bench/devtools_page.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

extern char** environ;

using nlohmann::json;

namespace {

using clock_type = std::chrono::steady_clock;

// Chromium reads DevTools commands from descriptor 3 and writes replies and events to 4, each
// message ended by a NUL.
class devtools_pipe {
 public:
  devtools_pipe(const std::string& profile, int width, int height, clock_type::time_point deadline)
      : deadline_(deadline) {
    // A browser that dies makes a write fail with EPIPE rather than end this program.
    signal(SIGPIPE, SIG_IGN);
    int to[2], from[2];
    if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) {
      error_ = "cannot make pipes";
      return;
    }
    // Above 4, so that moving them to 3 and 4 in the child cannot overwrite one another.
    int child_in = fcntl(to[0], F_DUPFD_CLOEXEC, 10),
        child_out = fcntl(from[1], F_DUPFD_CLOEXEC, 10);
    close(to[0]);
    close(from[1]);
    write_ = to[1];
    read_ = from[0];
    std::vector<std::string> args = {
        "chromium",
        "--headless",
        "--remote-debugging-pipe",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-quic",
        "--no-first-run",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--user-data-dir=" + profile,
        "--window-size=" + std::to_string(width) + "," + std::to_string(height),
        "about:blank"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, child_in, 3);
    posix_spawn_file_actions_adddup2(&actions, child_out, 4);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // Its own process group, so that its helper processes go with it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    if (posix_spawnp(&pid_, "chromium", &actions, &attributes, argv.data(), environ) != 0) {
      error_ = "cannot start chromium";
      pid_ = 0;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(child_in);
    close(child_out);
  }

  ~devtools_pipe() {
    if (pid_ > 0) {
      if (error_.empty()) send("Browser.close", json::object());
      close(write_);
      // A few seconds to close by itself, then its process group is stopped.
      bool ended = false;
      for (int i = 0; i < 50 && !ended; ++i) {
        ended = waitpid(pid_, nullptr, WNOHANG) == pid_;
        if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      if (!ended) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    } else if (write_ >= 0) {
      close(write_);
    }
    if (read_ >= 0) close(read_);
  }

  const std::string& error() const { return error_; }

  // Sends a command (to the page's session when `session` is not empty) and returns its reply's
  // result; null, with error() set, when it fails or time runs out.
  json call(const std::string& method, const json& params, const std::string& session = "") {
    int id = send(method, params, session);
    while (error_.empty()) {
      json message = receive();
      if (!message.is_object() || message.value("id", -1) != id) continue;
      if (message.contains("error")) {
        last_failure_ = message["error"].dump();
        return nullptr;
      }
      return message["result"];
    }
    return nullptr;
  }

  // The error of the last command that failed; the page's context may simply not be ready.
  const std::string& last_failure() const { return last_failure_; }

 private:
  int send(const std::string& method, const json& params, const std::string& session = "") {
    json message = {{"id", ++next_id_}, {"method", method}, {"params", params}};
    if (!session.empty()) message["sessionId"] = session;
    std::string text = message.dump();
    text.push_back('\0');
    for (size_t at = 0; at < text.size() && error_.empty();) {
      ssize_t n = write(write_, text.data() + at, text.size() - at);
      if (n <= 0) error_ = "chromium closed its pipe";
      at += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return next_id_;
  }

  // The next whole message, or null with error() set.
  json receive() {
    while (error_.empty()) {
      size_t end = buffer_.find('\0');
      if (end != std::string::npos) {
        json message = json::parse(buffer_.substr(0, end), nullptr, false);
        buffer_.erase(0, end + 1);
        return message;
      }
      auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - clock_type::now());
      pollfd p{read_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        error_ = "timed out";
        break;
      }
      char chunk[65536];
      ssize_t n = read(read_, chunk, sizeof chunk);
      if (n <= 0) error_ = "chromium closed its pipe";
      if (n > 0) buffer_.append(chunk, static_cast<size_t>(n));
    }
    return nullptr;
  }

  clock_type::time_point deadline_;
  pid_t pid_ = 0;
  int write_ = -1, read_ = -1, next_id_ = 0;
  std::string buffer_, error_, last_failure_;
};

}  // namespace

page_answer wait_in_chromium(const std::string& url, const std::string& profile,
                             const std::string& expression, int width, int height, double timeout_s,
                             double settle_s) {
  auto start = clock_type::now();
  auto deadline = start + std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
  page_answer answer;
  devtools_pipe browser(profile, width, height, deadline);
  auto finish = [&](const std::string& failure) {
    answer.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    answer.error = failure.empty() ? browser.error() : failure;
    return answer;
  };
  if (!browser.error().empty()) return finish("");
  json target = browser.call("Target.createTarget", {{"url", "about:blank"}});
  if (target.is_null()) return finish(browser.error().empty() ? "no page" : "");
  json attached =
      browser.call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}});
  if (attached.is_null()) return finish(browser.error().empty() ? "cannot attach" : "");
  std::string session = attached["sessionId"];
  if (settle_s > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(settle_s * 1000)));
  if (browser.call("Page.navigate", {{"url", url}}, session).is_null())
    return finish(browser.error().empty() ? "cannot open " + url : "");
  // Until the new document answers; before it is committed the old one may answer null.
  while (browser.error().empty()) {
    json result = browser.call("Runtime.evaluate",
                               {{"expression", expression}, {"returnByValue", true}}, session);
    if (!result.is_null() && result.contains("result") && result["result"].contains("value") &&
        result["result"]["value"].is_string()) {
      answer.ok = true;
      answer.value = result["result"]["value"];
      return finish("");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (clock_type::now() > deadline) return finish("timed out");
  }
  return finish("");
}
