#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/tool_run.h"

// A `varnel-campaign serve` of the tests' own, on a free port of 127.0.0.1.

/// An answer of the server: status 0 when none came.
struct http_answer {
  int status = 0;
  std::string body;
  std::string content_type;
};

/// A running `varnel-campaign serve --port 0 --db DB ARGS...`, stopped when destroyed.
class running_server {
 public:
  /// Starts the server in `cwd` and waits (up to 30 s) for the line naming its address; ok()
  /// says whether it came.
  running_server(const std::string& db, const std::string& cwd,
                 const std::vector<std::string>& args = {});
  ~running_server();
  running_server(const running_server&) = delete;
  running_server& operator=(const running_server&) = delete;

  /// Whether the server listens.
  bool ok() const { return port_ > 0; }
  /// Its port on 127.0.0.1.
  int port() const { return port_; }
  /// "http://127.0.0.1:PORT".
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  /// What it printed on standard output until it listened.
  const std::string& banner() const { return banner_; }
  /// GET `path` (as sent: already encoded) with `host` as the Host header ("" for the server's).
  http_answer get(const std::string& path, const std::string& host = "") const;
  /// Stops it with SIGTERM; its exit status (-1 when it did not exit of itself within 10 s).
  int stop();

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string banner_;
};

/// Sends `bytes` as they are to 127.0.0.1:`port` and returns the answer: what came back until it
/// was whole, the server closed the connection or 5 s passed.
std::string raw_exchange(int port, const std::string& bytes);

/// The status code of a raw HTTP answer ("HTTP/1.1 400 Bad Request..."), 0 for none.
int raw_status(const std::string& answer);

/// A test with a folder of its own, `d`, and once start() was called a server on its db.sqlite.
class serve_fixture : public ::testing::Test {
 protected:
  /// Starts the server; a failure to start fails the test.
  running_server& start() {
    server.emplace("db.sqlite", d.path());
    EXPECT_TRUE(server->ok()) << server->banner();
    return *server;
  }
  temp_dir d;
  std::optional<running_server> server;
};
