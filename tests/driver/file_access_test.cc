// What the tool does to the file system: it reads its recording and creates nothing but its log,
// through a temporary file beside it. Watched with strace, every call that names a path, every
// write, flush and pipe made; and, without strace, by taking away the right to write the
// directory.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/bench_recording.h"
#include "support/tool_run.h"

namespace {

const std::string log_name = "rise_time_korvi7_20mV_delay-all.log";

run_options in_dir(const std::string& dir) {
  run_options o;
  o.cwd = dir;
  return o;
}

const std::string& recording() {
  static const std::string text = recording_text(bench_rows(30));
  return text;
}

// One traced call: its name, its string arguments (unescaped no further than strace wrote them),
// the rest of its arguments as text and what it returned.
struct traced_call {
  std::string name;
  std::vector<std::string> strings;
  std::string args;
  long result = 0;
  std::string line;
};

// Parses strace's output: "PID name(args) = result ...". A call that another process's output cut
// in two ("<unfinished ...>", then "<... name resumed>") is put back together.
std::vector<traced_call> parse_trace(const std::string& text) {
  std::vector<traced_call> calls;
  std::map<std::string, std::string> unfinished;  // by pid
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    // strace pads the pid to five columns, so short pids are followed by several blanks.
    size_t call = line.find_first_not_of(' ', space);
    if (call == std::string::npos) continue;
    std::string pid = line.substr(0, space), rest = line.substr(call);
    if (size_t u = rest.find(" <unfinished ...>"); u != std::string::npos) {
      unfinished[pid] = rest.substr(0, u);
      continue;
    }
    if (rest.rfind("<... ", 0) == 0) {
      size_t resumed = rest.find(" resumed>");
      if (resumed == std::string::npos) continue;
      rest = unfinished[pid] + rest.substr(resumed + 9);
    }
    // The result follows the last " = "; strace pads short calls with spaces before it.
    size_t paren = rest.find('(');
    size_t equals = rest.rfind(" = ");
    if (paren == std::string::npos || equals == std::string::npos || equals < paren) continue;
    size_t close = rest.find_last_not_of(' ', equals);
    if (rest[close] != ')') continue;
    traced_call c;
    c.line = line;
    c.name = rest.substr(0, paren);
    c.args = rest.substr(paren + 1, close - paren - 1);
    c.result = std::strtol(rest.c_str() + equals + 3, nullptr, 10);
    for (size_t i = 0; i < c.args.size(); ++i) {
      if (c.args[i] != '"') continue;
      std::string s;
      for (++i; i < c.args.size() && c.args[i] != '"'; ++i) {
        if (c.args[i] == '\\' && i + 1 < c.args.size()) s += c.args[i++];
        s += c.args[i];
      }
      c.strings.push_back(s);
    }
    calls.push_back(c);
  }
  return calls;
}

bool opens_for_writing(const traced_call& c) {
  if (c.name == "creat") return true;
  if (c.name != "open" && c.name != "openat" && c.name != "openat2") return false;
  for (const char* flag : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND"})
    if (c.args.find(flag) != std::string::npos) return true;
  return false;
}

// Calls that name a path but change nothing.
const std::set<std::string> looking_calls = {
    "open",      "openat",     "openat2",   "execve",     "execveat",   "access",
    "faccessat", "faccessat2", "stat",      "lstat",      "newfstatat", "fstatat64",
    "statx",     "statfs",     "readlink",  "readlinkat", "getcwd",     "chdir",
    "getxattr",  "lgetxattr",  "listxattr", "llistxattr"};

// What one traced run did to the file system.
struct file_effects {
  std::vector<std::string> opened_for_writing;  // successfully
  std::vector<std::string> input_opens;         // how the recording was opened: "read" or "write"
  std::vector<std::pair<std::string, std::string>> renames;  // successful ones
  std::vector<std::string> others;          // any other call that may change a file
  std::set<std::string> written_to;         // "stdout", "stderr" or the path of the descriptor
  std::set<std::string> renamed_unflushed;  // renamed with a write not yet flushed to disk
};

file_effects effects_of(const std::vector<traced_call>& calls, const std::string& input) {
  file_effects e;
  const std::string pipe = "|pipe|";
  std::map<long, std::string> descriptors = {{1, "stdout"}, {2, "stderr"}};
  std::set<std::string> unflushed;
  for (const traced_call& c : calls) {
    if (c.name == "write") {
      long fd = std::strtol(c.args.c_str(), nullptr, 10);
      if (descriptors.count(fd) && descriptors[fd] == pipe) continue;
      e.written_to.insert(descriptors.count(fd) ? descriptors[fd] : "fd " + std::to_string(fd));
      if (descriptors.count(fd)) unflushed.insert(descriptors[fd]);
      continue;
    }
    if (c.name == "fsync" || c.name == "fdatasync") {
      long fd = std::strtol(c.args.c_str(), nullptr, 10);
      if (c.result == 0 && descriptors.count(fd)) unflushed.erase(descriptors[fd]);
      continue;
    }
    if ((c.name == "pipe" || c.name == "pipe2") && c.result == 0) {
      // "[read end, write end]": a pipe the sanitizers' runtime may use, no file.
      const char* p = c.args.c_str() + c.args.find('[') + 1;
      char* end = nullptr;
      long read_end = std::strtol(p, &end, 10);
      long write_end = std::strtol(end + 1, nullptr, 10);
      descriptors[read_end] = descriptors[write_end] = pipe;
      continue;
    }
    bool is_open =
        c.name == "open" || c.name == "openat" || c.name == "openat2" || c.name == "creat";
    if (is_open && !c.strings.empty()) {
      if (c.strings[0] == input) e.input_opens.push_back(opens_for_writing(c) ? "write" : "read");
      if (c.result >= 0) descriptors[c.result] = c.strings[0];
      if (opens_for_writing(c) && c.result >= 0) e.opened_for_writing.push_back(c.strings[0]);
      continue;
    }
    if (c.name.rfind("rename", 0) == 0 && c.strings.size() == 2) {
      if (c.result == 0) e.renames.emplace_back(c.strings[0], c.strings[1]);
      if (c.result == 0 && unflushed.count(c.strings[0])) e.renamed_unflushed.insert(c.strings[0]);
      continue;
    }
    if (!looking_calls.count(c.name)) e.others.push_back(c.line);
  }
  return e;
}

bool strace_works() {
  return run_program({"strace", "-f", "-o", "/dev/null", "true"}).status == 0;
}

// Runs the tool under strace in `dir` and returns the calls traced.
std::vector<traced_call> traced_run(const std::string& dir, const std::vector<std::string>& args,
                                    program_run& run) {
  temp_dir trace_dir;
  run_options o = in_dir(dir);
  o.prefix = {"strace", "-f",
              "-s",     "4096",
              "-e",     "trace=%file,write,fsync,fdatasync,pipe,pipe2",
              "-o",     trace_dir / "trace"};
  // LeakSanitizer cannot run under a tracer.
  o.environment = {"ASAN_OPTIONS=detect_leaks=0"};
  run = run_tool(args, o);
  return parse_trace(read_file(trace_dir / "trace").value_or(""));
}

// "./<log name>.tmp" and six letters or digits.
bool is_temp_name(const std::string& path) {
  const std::string prefix = "./" + log_name + ".tmp";
  if (path.size() != prefix.size() + 6 || path.compare(0, prefix.size(), prefix) != 0) return false;
  for (size_t i = prefix.size(); i < path.size(); ++i)
    if (!std::isalnum(static_cast<unsigned char>(path[i]))) return false;
  return true;
}

TEST(FileAccess, ASuccessfulRunReadsItsRecordingAndCreatesOnlyItsLogThroughATemporaryFile) {
  if (!strace_works()) GTEST_SKIP() << "strace cannot trace here (ptrace not permitted?)";
  temp_dir dir;
  ASSERT_TRUE(write_file(dir / "rec.txt", recording()));
  program_run run;
  file_effects e =
      effects_of(traced_run(dir.path(), {"7", "20mV_delay-all", "rec.txt"}, run), "rec.txt");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(e.input_opens, std::vector<std::string>{"read"});
  ASSERT_EQ(e.opened_for_writing.size(), 1u);
  const std::string& temp = e.opened_for_writing[0];
  EXPECT_TRUE(is_temp_name(temp)) << temp;
  EXPECT_EQ(e.renames, (std::vector<std::pair<std::string, std::string>>{{temp, "./" + log_name}}));
  EXPECT_EQ(e.renamed_unflushed, std::set<std::string>{});  // on disk before it has the name
  EXPECT_EQ(e.others, std::vector<std::string>{});
  EXPECT_EQ(e.written_to, std::set<std::string>{temp});
  EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"rec.txt", log_name}));
}

TEST(FileAccess, ALogThatCannotBeRenamedIntoPlaceLeavesOnlyItsTemporaryFileRemoved) {
  if (!strace_works()) GTEST_SKIP() << "strace cannot trace here (ptrace not permitted?)";
  temp_dir dir;
  ASSERT_TRUE(write_file(dir / "rec.txt", recording()));
  ASSERT_EQ(::mkdir((dir / log_name).c_str(), 0755), 0);  // rename() cannot replace it
  program_run run;
  std::vector<traced_call> calls = traced_run(dir.path(), {"7", "20mV_delay-all", "rec.txt"}, run);
  file_effects e = effects_of(calls, "rec.txt");
  ASSERT_EQ(run.status, 1) << run.err;
  ASSERT_EQ(e.opened_for_writing.size(), 1u);
  const std::string& temp = e.opened_for_writing[0];
  EXPECT_TRUE(is_temp_name(temp)) << temp;
  EXPECT_EQ(e.renames, (std::vector<std::pair<std::string, std::string>>{}));
  ASSERT_EQ(e.others.size(), 1u);
  EXPECT_NE(e.others[0].find("unlink(\"" + temp + "\") = 0"), std::string::npos) << e.others[0];
  EXPECT_EQ(e.written_to, (std::set<std::string>{temp, "stderr"}));
  EXPECT_EQ(tree(dir.path()), (std::set<std::string>{"rec.txt", log_name + "/"}));
}

TEST(FileAccess, AFailedReadingCreatesNothing) {
  if (!strace_works()) GTEST_SKIP() << "strace cannot trace here (ptrace not permitted?)";
  temp_dir dir;
  ASSERT_TRUE(write_file(dir / "rec.txt", "1 2 3\n"));
  program_run run;
  file_effects e =
      effects_of(traced_run(dir.path(), {"7", "20mV_delay-all", "rec.txt"}, run), "rec.txt");
  ASSERT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(e.input_opens, std::vector<std::string>{"read"});
  EXPECT_EQ(e.opened_for_writing, std::vector<std::string>{});
  EXPECT_EQ(e.renames.size(), 0u);
  EXPECT_EQ(e.others, std::vector<std::string>{});
  EXPECT_EQ(e.written_to, std::set<std::string>{"stderr"});
}

// Without the right to write the directory, nothing can be created: as a user, the directory's
// write bits are taken away; as root, who may write anyway, a copy of the tool runs as "nobody".
TEST(FileAccess, AReadOnlyDirectoryGetsNoLogAndKeepsItsEarlierOne) {
  temp_dir dir;
  ASSERT_TRUE(write_file(dir / "rec.txt", recording()));
  ASSERT_TRUE(write_file(dir / log_name, "earlier\n"));
  run_options o = in_dir(dir.path());
  std::optional<std::string> exe = unprivileged_tool(o, dir);
  if (!exe) GTEST_SKIP() << "running as root and there is no user nobody";
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  std::set<std::string> before = tree(dir.path());
  program_run r = run_tool({"7", "20mV_delay-all", "rec.txt"}, o, *exe);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err_lines(),
            std::vector<std::string>{"Cannot open log file named ./" + log_name + "."});
  EXPECT_EQ(tree(dir.path()), before);
  EXPECT_EQ(read_file(dir / log_name), "earlier\n");
}

}  // namespace
