#include "support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

std::string slurp_fd(int fd) {
  std::string s;
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

}  // namespace

process_result run_process(const std::vector<std::string>& argv, const std::string& cwd) {
  // Output goes to temporary files so that neither pipe can fill and block the child.
  FILE* out = tmpfile();
  FILE* err = tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(127);
    int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, 0);
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  process_result r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  rewind(out);
  rewind(err);
  r.out = slurp_fd(dup(fileno(out)));
  r.err = slurp_fd(dup(fileno(err)));
  fclose(out);
  fclose(err);
  return r;
}

std::string fresh_dir(const std::string& name) {
  std::string dir = ::testing::TempDir() + "/varnel_" + name;
  std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
  return dir;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_dir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}
