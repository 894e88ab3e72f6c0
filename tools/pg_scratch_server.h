#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

// A PostgreSQL server of its own for tests and benchmarks: a cluster made with initdb in a
// temporary folder, listening on a Unix socket in that folder only, stopped and removed with
// the object. The server refuses to run as root; a root caller (CI) runs it as `nobody`, the
// folder owned by that user.

/// How the scratch server runs.
struct pg_scratch_options {
  /// Whether commits reach the disk before they return, as on a real server; tests leave it
  /// off to save the syncs, which a restart of the server does not need.
  bool durable = false;
};

/// One scratch server. Its superuser is "varnel", trusted on the socket; the database
/// "varnel" is made for it.
class pg_scratch_server {
 public:
  /// Makes the cluster and starts the server. Nothing, with a one-line reason in `error`,
  /// when the programs of PostgreSQL 15 are not installed ($VARNEL_PG_BIN, else
  /// /usr/lib/postgresql/15/bin) or the server does not start within 60 s.
  static std::unique_ptr<pg_scratch_server> start(std::string& error,
                                                  const pg_scratch_options& options = {});
  /// Stops the server, at once, and removes its folder.
  ~pg_scratch_server();
  pg_scratch_server(const pg_scratch_server&) = delete;
  pg_scratch_server& operator=(const pg_scratch_server&) = delete;

  /// Stops the server the fast way (sessions are cut, their transactions rolled back); false
  /// when it had to be killed after 30 s.
  bool stop();
  /// Starts the stopped server again on the same folder and socket; false with `error`.
  bool start_again(std::string& error);
  /// Whether the server is running.
  bool running() const { return pid_ > 0; }

  /// libpq's keyword form for database `db` as `user` on this server.
  std::string target(const std::string& db = "varnel", const std::string& user = "varnel") const;
  /// The same as a postgresql:// URI.
  std::string uri(const std::string& db = "varnel", const std::string& user = "varnel") const;
  /// Runs `sql` as the superuser on database `db`; false with a one-line reason in `error`.
  bool execute(const std::string& sql, std::string& error, const std::string& db = "varnel");
  /// The folder holding the socket.
  const std::string& socket_dir() const { return dir_; }

 private:
  pg_scratch_server() = default;
  bool launch(std::string& error);
  std::string dir_, bin_;
  pg_scratch_options options_;
  pid_t pid_ = -1;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  bool as_other_user_ = false;
};
