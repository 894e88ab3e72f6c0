#include "tools/pg_scratch_server.h"

#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "campaign/store/pg_connection.h"

namespace {

namespace fs = std::filesystem;

// The socket's path, DIR/.s.PGSQL.5432, must fit in sun_path (108 bytes with its NUL).
constexpr size_t longest_socket_dir = 90;
constexpr const char* default_bin = "/usr/lib/postgresql/15/bin";

std::string make_folder(bool root) {
  const char* tmp = std::getenv("TMPDIR");
  // A root caller's server runs as another user, which must reach the folder: /tmp, not a
  // TMPDIR under root's home. A long TMPDIR would not leave room for the socket's name, and
  // one with blanks or quotes would not fit in libpq's "host=..." unquoted.
  bool plain = tmp && std::strlen(tmp) <= longest_socket_dir - 20 &&
               std::strpbrk(tmp, " \t'\"\\") == nullptr;
  std::string base = root || !plain ? "/tmp" : tmp;
  std::string pattern = base + "/varnel-pg.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  return ::mkdtemp(name.data()) ? std::string(name.data()) : std::string();
}

// The last lines of a log file, on one line, for the reason of a failure.
std::string log_tail(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  std::string tail;
  for (size_t i = lines.size() > 2 ? lines.size() - 2 : 0; i < lines.size(); ++i)
    tail += (tail.empty() ? "" : " / ") + lines[i];
  return tail.empty() ? "no output" : tail;
}

// Forks `argv` with its output appended to `log`; as (uid, gid) when `drop`. The child is
// sent SIGQUIT (an immediate stop for the server) when this process ends, so that a test that
// dies does not leave the server running.
pid_t spawn(std::vector<std::string> argv, const std::string& log, bool drop, uid_t uid,
            gid_t gid) {
  // Everything the child needs is made before the fork: it only calls what is safe there.
  std::vector<char*> args;
  for (std::string& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (drop && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
    ::_exit(126);
  // After the change of user, which clears the death signal.
  ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
  if (::getppid() != parent) ::_exit(126);
  int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (out >= 0) {
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
  }
  // The server keeps no file of the caller's open: a test's FIFO, say, would never see its
  // writer close while the server lives.
  ::close_range(3, ~0U, 0);
  ::execv(args[0], args.data());
  ::_exit(127);
}

// Waits up to `seconds` for `pid`; its status, or -1 when it is still running.
int wait_for(pid_t pid, double seconds) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    if (std::chrono::steady_clock::now() > until) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

std::unique_ptr<pg_scratch_server> pg_scratch_server::start(std::string& error,
                                                            const pg_scratch_options& options) {
  std::unique_ptr<pg_scratch_server> s(new pg_scratch_server);
  s->options_ = options;
  const char* bin = std::getenv("VARNEL_PG_BIN");
  s->bin_ = bin ? bin : default_bin;
  if (::access((s->bin_ + "/initdb").c_str(), X_OK) != 0 ||
      ::access((s->bin_ + "/postgres").c_str(), X_OK) != 0) {
    error = "no PostgreSQL server programs in " + s->bin_ + " (Debian package postgresql-15)";
    return nullptr;
  }
  s->as_other_user_ = ::geteuid() == 0;
  if (s->as_other_user_) {
    const passwd* nobody = ::getpwnam("nobody");
    if (!nobody) {
      error = "running as root, and there is no user nobody to run the server as";
      return nullptr;
    }
    s->uid_ = nobody->pw_uid;
    s->gid_ = nobody->pw_gid;
  }
  s->dir_ = make_folder(s->as_other_user_);
  if (s->dir_.empty() || (s->as_other_user_ && ::chown(s->dir_.c_str(), s->uid_, s->gid_) != 0)) {
    error = "cannot make the server's folder: " + std::string(std::strerror(errno));
    return nullptr;
  }
  std::string log = s->dir_ + "/initdb.log";
  pid_t init = spawn({s->bin_ + "/initdb", "-D", s->dir_ + "/data", "-U", "varnel", "-A", "trust",
                      "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"},
                     log, s->as_other_user_, s->uid_, s->gid_);
  int status = init > 0 ? wait_for(init, 120) : -1;
  if (status != 0) {
    if (status == -1 && init > 0) ::kill(init, SIGKILL), wait_for(init, 5);
    error = "initdb failed: " + log_tail(log);
    return nullptr;
  }
  if (!s->launch(error) || !s->execute("CREATE DATABASE varnel", error, "postgres")) return nullptr;
  return s;
}

bool pg_scratch_server::launch(std::string& error) {
  std::string log = dir_ + "/server.log";
  std::vector<std::string> argv = {
      bin_ + "/postgres",   "-D", dir_ + "/data",       "-k", dir_, "-c", "listen_addresses=", "-c",
      "max_connections=40", "-c", "shared_buffers=16MB"};
  if (!options_.durable) argv.insert(argv.end(), {"-c", "fsync=off", "-c", "full_page_writes=off"});
  pid_ = spawn(argv, log, as_other_user_, uid_, gid_);
  if (pid_ <= 0) {
    error = "cannot start postgres: " + std::string(std::strerror(errno));
    return false;
  }
  std::string ping = target("postgres") + " connect_timeout=2";
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (PQping(ping.c_str()) != PQPING_OK) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_ || std::chrono::steady_clock::now() > until) {
      if (pid_ > 0 && wait_for(pid_, 0) == -1) ::kill(pid_, SIGKILL), wait_for(pid_, 5);
      pid_ = -1;
      error = "the PostgreSQL server did not start: " + log_tail(log);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

pg_scratch_server::~pg_scratch_server() {
  if (pid_ > 0) {
    ::kill(pid_, SIGQUIT);
    if (wait_for(pid_, 30) == -1) ::kill(pid_, SIGKILL), wait_for(pid_, 5);
  }
  std::error_code ignored;
  if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

bool pg_scratch_server::stop() {
  if (pid_ <= 0) return true;
  ::kill(pid_, SIGINT);
  bool stopped = wait_for(pid_, 30) != -1;
  if (!stopped) ::kill(pid_, SIGKILL), wait_for(pid_, 5);
  pid_ = -1;
  return stopped;
}

bool pg_scratch_server::start_again(std::string& error) {
  return running() || launch(error);
}

std::string pg_scratch_server::target(const std::string& db, const std::string& user) const {
  return "host=" + dir_ + " port=5432 dbname=" + db + " user=" + user;
}

std::string pg_scratch_server::uri(const std::string& db, const std::string& user) const {
  std::string host;
  for (char c : dir_) host += c == '/' ? std::string("%2F") : std::string(1, c);
  return "postgresql://" + user + "@" + host + ":5432/" + db;
}

bool pg_scratch_server::execute(const std::string& sql, std::string& error, const std::string& db) {
  std::optional<pg_connection> c = pg_connection::connect(target(db), error);
  if (c && c->exec(sql)) return true;
  if (c) error = c->last_error();
  return false;
}
