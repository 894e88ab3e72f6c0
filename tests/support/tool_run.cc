#include "support/tool_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

std::vector<std::string> program_run::err_lines() const {
  std::vector<std::string> lines;
  std::istringstream in(err);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

namespace {

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (std::string& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

// Reads both pipes to their end, whichever the child writes first.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
}

}  // namespace

program_run run_program(const std::vector<std::string>& argv, const run_options& options) {
  program_run run;
  std::vector<std::string> args = argv;
  // The caller's environment, less what `options` sets anew.
  std::vector<std::string> env = options.environment;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    bool replaced = false;
    for (const std::string& mine : options.environment)
      replaced = replaced || entry.compare(0, mine.find('=') + 1, mine, 0, mine.find('=') + 1) == 0;
    if (!replaced) env.push_back(entry);
  }
  std::vector<char*> arg_p = pointers(args), env_p = pointers(env);
  std::string file = args.empty() ? std::string() : args[0];
  if (file.find('/') == std::string::npos) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
      if (::access((dir + "/" + file).c_str(), X_OK) == 0) {
        file = dir + "/" + file;
        break;
      }
  }
  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return run;
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return run;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to the exec.
    int in = ::open("/dev/null", O_RDONLY);
    if (in < 0 || ::dup2(in, 0) < 0 || ::dup2(out_pipe[1], 1) < 0 || ::dup2(err_pipe[1], 2) < 0)
      ::_exit(126);
    if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
    if (options.file_size_limit != RLIM_INFINITY) {
      ::signal(SIGXFSZ, SIG_IGN);
      rlimit limit{options.file_size_limit, options.file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
    }
    if (options.uid) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(options.gid) != 0 || ::setuid(*options.uid) != 0)
        ::_exit(126);
    }
    ::execve(file.c_str(), arg_p.data(), env_p.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (pid < 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return run;
  }
  drain(out_pipe[0], err_pipe[0], run.out, run.err);
  int wstatus = 0;
  while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) run.signal = WTERMSIG(wstatus);
  return run;
}

std::string tool_path() {
  return VARNEL_EXE;
}

program_run run_tool(const std::vector<std::string>& args, const run_options& options,
                     const std::string& exe) {
  std::vector<std::string> argv = options.prefix;
  argv.push_back(exe.empty() ? tool_path() : exe);
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

temp_dir::temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string name = std::string(base && *base ? base : "/tmp") + "/varnel-test-XXXXXX";
  if (::mkdtemp(name.data()) == nullptr) std::abort();
  path_ = name;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  // Tests take permissions away; give them back so that everything can go.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
    if (!it->is_symlink(ec))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

bool write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return s.str();
}

std::set<std::string> tree(const std::string& path) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::string name = std::filesystem::relative(it->path(), path, ec).string();
    if (it->is_directory(ec) && !it->is_symlink(ec)) name += "/";
    names.insert(name);
  }
  return names;
}

std::optional<std::pair<uid_t, gid_t>> nobody() {
  const passwd* pw = ::getpwnam("nobody");
  if (!pw) return std::nullopt;
  return std::make_pair(pw->pw_uid, pw->pw_gid);
}

std::optional<std::string> unprivileged_tool(run_options& options, const temp_dir& dir) {
  if (::geteuid() != 0) return std::string();
  auto user = nobody();
  if (!user) return std::nullopt;
  options.uid = user->first;
  options.gid = user->second;
  std::string exe = dir / "varnel.exe";
  std::filesystem::copy_file(tool_path(), exe);
  if (::chmod(exe.c_str(), 0755) != 0) return std::nullopt;
  return exe;
}
