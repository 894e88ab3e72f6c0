#include "campaign/watch_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

background_campaign::background_campaign(const std::vector<std::string>& args,
                                         const std::string& cwd,
                                         const std::vector<std::string>& extra) {
  std::vector<std::string> argv = {VARNEL_CAMPAIGN_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> env = extra;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);  // the first of a name wins
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot make pipes");
  std::vector<char*> arg_p, env_p;
  for (std::string& a : argv) arg_p.push_back(a.data());
  arg_p.push_back(nullptr);
  for (std::string& e : env) env_p.push_back(e.data());
  env_p.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot fork");
  if (pid_ == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::signal(SIGXFSZ, SIG_IGN);
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::execve(arg_p[0], arg_p.data(), env_p.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  reader_ = std::thread([this, o = out[0], e = err[0]] { gather(o, e); });
}

background_campaign::~background_campaign() {
  if (wait_exit(std::chrono::milliseconds(0)) == -2) {
    ::kill(pid_, SIGKILL);
    wait_exit(std::chrono::milliseconds(5000));
  }
  if (reader_.joinable()) reader_.join();
}

void background_campaign::gather(int out_fd, int err_fd) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out_, &err_};
  char buffer[4096];
  for (int open_count = 2; open_count > 0;) {
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        std::lock_guard lock(m_);
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

std::string background_campaign::out() const {
  std::lock_guard lock(m_);
  return out_;
}

std::string background_campaign::err() const {
  std::lock_guard lock(m_);
  return err_;
}

bool background_campaign::wait_for(const std::string& text, std::chrono::milliseconds timeout,
                                   bool on_err, size_t count) const {
  auto until = std::chrono::steady_clock::now() + timeout;
  do {
    if (occurrences(on_err ? err() : out(), text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < until);
  return occurrences(on_err ? err() : out(), text) >= count;
}

void background_campaign::signal(int sig) const {
  ::kill(pid_, sig);
}

int background_campaign::wait_exit(std::chrono::milliseconds timeout) {
  auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (exited_) return status_;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= until) return -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void background_campaign::set_file_size_limit(rlim_t bytes) const {
  rlimit r{};
  ::prlimit(pid_, RLIMIT_FSIZE, nullptr, &r);
  r.rlim_cur = bytes;
  ::prlimit(pid_, RLIMIT_FSIZE, &r, nullptr);
}

size_t occurrences(const std::string& in, const std::string& text) {
  size_t n = 0;
  for (size_t at = in.find(text); at != std::string::npos; at = in.find(text, at + text.size()))
    ++n;
  return n;
}

void write_in_pieces(const std::string& path, const std::string& content, int pieces,
                     std::chrono::milliseconds pause) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  size_t piece = content.size() / static_cast<size_t>(pieces) + 1;
  for (size_t at = 0; at < content.size(); at += piece) {
    size_t n = std::min(piece, content.size() - at);
    if (::write(fd, content.data() + at, n) != static_cast<ssize_t>(n))
      throw std::runtime_error("cannot write " + path);
    if (at + n < content.size()) std::this_thread::sleep_for(pause);
  }
  ::close(fd);
}
