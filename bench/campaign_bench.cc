// Figures for varnel-campaign on simulated campaigns; a program that prints them, not a test.
//
// Its options: varnel-campaign-bench --help.
//
// 0. R recordings of E events (7.3 MB for 300): `varnel-campaign run --jobs J` against `cat` of
//    the same files, both from the page cache, wall and processor time, the medians of K runs
//    of each taken in turns; and the bytes the run writes, and the database holds, per recording.
//    --campaign-exe times another build of varnel-campaign in this row.
// 1. N recordings of about S MB: `varnel-campaign run --jobs 2` against GNU parallel running
//    varnel.exe two at a time over the same files (the recipe of docs/cluster.md).
// 2. M small recordings analysed once, then a rerun with nothing new.
// 3. The report of those M recordings: its size, the chips whose pulses it carries, and over R
//    runs of a fresh headless Chromium (driven over its DevTools pipe, in real time) the times
//    from navigation until every chart is on screen, until the first screen is, and until a
//    failing chip opened by its address has drawn its pulses, as the page itself records them.
//    With --page, only these times, of a report already written.
// 4. `varnel-campaign watch`: W recordings of E events copied one at a time into the watched
//    folder, each closed, and the time from its close until its verdict line is out (median,
//    p99, max); then the watch's resident memory over M small recordings, each removed once its
//    line is out, sampled after a tenth of them and after all.
// 5. --serve-chips C chips x 3 configurations of small recordings: run, verdicts and chips, and
//    `varnel-campaign serve` on them: its served page's first screen and charts, a chip opened
//    by its address in headless Chromium, and the server's peak memory.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/devtools_page.h"
#include "cli/command_line.h"
#include "numerics/robust_statistics.h"
#include "tools/campaign_simulator.h"

namespace fs = std::filesystem;

namespace {

double seconds_of(const std::string& command) {
  auto start = std::chrono::steady_clock::now();
  int status = std::system(command.c_str());
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (status == -1) std::fprintf(stderr, "cannot run: %s\n", command.c_str());
  return s;
}

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Processor time, s, of the children waited for so far: user and system.
double children_cpu_s() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec * 1e-6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

// Bytes this process and the children it waited for passed to write() and its kin.
double written_bytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  double value = 0.0;
  while (io >> key >> value)
    if (key == "wchar:") return value;
  return 0.0;
}

struct timed {
  double wall_s = 0.0, cpu_s = 0.0;
};

timed time_of(const std::string& command) {
  const double cpu = children_cpu_s();
  const double wall = seconds_of(command);
  return {wall, children_cpu_s() - cpu};
}

double median_of(std::vector<double> v) {
  return v.empty() ? 0.0 : upper_median(std::move(v));
}

// The machine's load over the last minute, as the kernel counts it.
double load_average() {
  double load = 0.0;
  std::ifstream("/proc/loadavg") >> load;
  return load;
}

// `varnel-campaign run` against `cat` over the same files, in turns, each from the page cache.
void compare_with_cat(const fs::path& dir, const std::string& exe, int recordings, int events,
                      int jobs, int repeat) {
  fs::path data = dir / "read";
  fs::create_directories(data);
  write_simulated_campaign(data, recordings, events, "20mV_delay-all", false);
  uintmax_t bytes = 0;
  std::string files;
  for (const auto& e : fs::directory_iterator(data))
    if (e.path().extension() == ".txt") {
      bytes += e.file_size();
      files += " " + quoted(e.path());
    }
  const std::string cat = "cat" + files + " > /dev/null";
  const fs::path db = dir / "read.sqlite";
  const std::string run = quoted(exe) + " run --settle 0 --jobs " + std::to_string(jobs) +
                          " --db " + quoted(db) + " " + quoted(data) + " > /dev/null";
  seconds_of(cat);  // into the page cache
  std::vector<double> cat_wall, cat_cpu, run_wall, run_cpu, written, stored;
  const double load_before = load_average();
  for (int k = 0; k < repeat; ++k) {
    timed c = time_of(cat);
    cat_wall.push_back(c.wall_s);
    cat_cpu.push_back(c.cpu_s);
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db.string() + suffix);
    const double before = written_bytes();
    timed r = time_of(run);
    written.push_back(written_bytes() - before);
    run_wall.push_back(r.wall_s);
    run_cpu.push_back(r.cpu_s);
    stored.push_back(static_cast<double>(fs::file_size(db)));
  }
  const double cw = median_of(cat_wall), cc = median_of(cat_cpu);
  const double rw = median_of(run_wall), rc = median_of(run_cpu);
  std::printf(
      "%d recordings of %.1f MB (%d events, %.0f MB) from the page cache, medians of %d runs "
      "(load %.1f before, %.1f after):\n",
      recordings, bytes / 1e6 / recordings, events, bytes / 1e6, repeat, load_before,
      load_average());
  std::printf("  cat                                  wall %6.3f s  cpu %6.3f s\n", cw, cc);
  std::printf(
      "  varnel-campaign run --jobs %d         wall %6.3f s  cpu %6.3f s  (%.2fx cat wall, "
      "%.2fx cat cpu; goals 2.5x, 3x)\n",
      jobs, rw, rc, rw / cw, rc / std::max(cc, 1e-9));
  std::printf(
      "  written per recording %.0f kB (logs and database), the database holds %.0f kB per "
      "recording\n",
      median_of(written) / 1e3 / recordings, median_of(stored) / 1e3 / recordings);
  fs::remove_all(data);
}

// Events for a recording of about `mb` MB (some 24.5 kB per event).
int events_for(double mb) {
  return std::max(10, static_cast<int>(mb * 1e6 / 24500.0));
}

void compare_with_parallel(const fs::path& dir, int recordings, double mb) {
  fs::path data = dir / "large";
  fs::create_directories(data);
  write_simulated_campaign(data, recordings, events_for(mb), "20mV_delay-all", false);
  uintmax_t bytes = 0;
  for (const auto& e : fs::directory_iterator(data)) bytes += e.file_size();
  std::string campaign = quoted(VARNEL_CAMPAIGN_EXE);
  std::system((campaign + " list " + quoted(data) + " > " + quoted(dir / "runs.tsv")).c_str());
  double parallel = seconds_of("parallel -j2 --colsep '\\t' " + quoted(VARNEL_EXE) +
                               " {1} {2} {3} :::: " + quoted(dir / "runs.tsv"));
  double run = seconds_of(campaign + " run --settle 0 --jobs 2 --db " +
                          quoted(dir / "large.sqlite") + " " + quoted(data) + " > /dev/null");
  std::printf("%d recordings of %.1f MB (%.0f MB):\n", recordings, bytes / 1e6 / recordings,
              bytes / 1e6);
  std::printf("  GNU parallel -j2 varnel.exe         %7.2f s  %6.0f MB/s\n", parallel,
              bytes / 1e6 / parallel);
  std::printf("  varnel-campaign run --jobs 2         %7.2f s  %6.0f MB/s  (%.2fx)\n", run,
              bytes / 1e6 / run, parallel / run);
  fs::remove_all(data);
}

// Seconds a headless Chromium is left idle after it starts before a page is opened in it, for
// the pages and services of its own that it opens at start: they hold back its first request by
// 0.4 to 1.3 s, even for a page of a few bytes from any server.
constexpr double browser_settle_s = 3.0;

// Seconds from navigation until the page at `url` set attribute `marker` (a time in ms after
// navigation, from performance.now()) on the element `selector`, in a fresh headless Chromium
// and profile each run, opened as soon as the browser started or, with `settle_s`, that many
// seconds later; the page's script errors, if any, in `errors`.
std::vector<double> marker_seconds(const fs::path& dir, const std::string& url,
                                   const std::string& selector, const std::string& marker, int runs,
                                   std::string& errors, double settle_s = 0) {
  std::string expression = "(function () { var e = document.querySelector('" + selector +
                           "'); if (!e || !e.hasAttribute('" + marker +
                           "')) return null; return e.getAttribute('" + marker +
                           "') + '|' + document.getElementById('errors').textContent; })()";
  std::vector<double> seconds;
  for (int i = 0; i < runs; ++i) {
    fs::remove_all(dir / "profile");
    page_answer a = wait_in_chromium(url, dir / "profile", expression, 1366, 768, 60, settle_s);
    if (!a.ok) {  // no marker, or no browser: another run would wait as long for nothing
      errors = a.error;
      break;
    }
    size_t bar = a.value.find('|');
    seconds.push_back(std::stod(a.value.substr(0, bar)) / 1000.0);
    if (bar + 1 < a.value.size()) errors = a.value.substr(bar + 1);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds;
}

// "min 1.10 s, median 1.30 s, max 1.60 s over 10 runs" of sorted `s`.
std::string spread(const std::vector<double>& s) {
  if (s.empty()) return "no run finished";
  size_t n = s.size();
  char text[160];
  std::snprintf(text, sizeof text, "min %.2f s, median %.2f s, max %.2f s over %zu runs", s[0],
                median(s), s[n - 1], n);
  return text;
}

void time_page(const fs::path& dir, const fs::path& html, int runs);

void rerun_and_report(const fs::path& dir, int recordings, int runs) {
  fs::path data = dir / "many";
  fs::create_directories(data);
  write_simulated_campaign(data, recordings, 40, "20mV_delay-all", true);
  std::string campaign = quoted(VARNEL_CAMPAIGN_EXE), db = quoted(dir / "many.sqlite");
  double first =
      seconds_of(campaign + " run --settle 0 --db " + db + " " + quoted(data) + " > /dev/null");
  double rerun =
      seconds_of(campaign + " run --settle 0 --db " + db + " " + quoted(data) + " > /dev/null");
  std::printf(
      "%d recordings of 1 MB: first run %.2f s; rerun with nothing new %.3f s (%.3f s "
      "per 1000)\n",
      recordings, first, rerun, rerun * 1000.0 / recordings);
  fs::path html = dir / "report.html";
  double report = seconds_of(campaign + " report --db " + db + " --out " + quoted(html));
  std::string written = read_all(html);
  // Every chip that can be opened carries its fits.
  size_t openable = 0;
  for (size_t at = 0; (at = written.find("\"fits\":", at)) != std::string::npos; ++at) ++openable;
  std::printf(
      "report of %d recordings: %.2f s to write, %.2f MB (goal under 10 MB), %zu chips' "
      "pulses in it\n",
      recordings, report, fs::file_size(html) / 1e6, openable);
  time_page(dir, html, runs);
}

// The times of the report `html` in headless Chromium.
void time_page(const fs::path& dir, const fs::path& html, int runs) {
  std::string url = "file://" + fs::absolute(html).string(), errors;
  double load_before = load_average();
  std::vector<double> charts = marker_seconds(dir, url, "body", "data-painted-ms", runs, errors);
  std::printf(
      "  headless Chromium, navigation until every chart is on screen (goal under 2 s): %s "
      "(load average %.2f before, %.2f after)\n",
      spread(charts).c_str(), load_before, load_average());
  std::vector<double> first_screen =
      marker_seconds(dir, url, "body", "data-first-screen-ms", 3, errors);
  std::printf("  navigation until the yield and the failing table are on screen: %s\n",
              spread(first_screen).c_str());
  // A failing chip opened by its address: chip 100001 has a dead channel.
  std::vector<double> chip =
      marker_seconds(dir, url + "#chip-100001", "#chip-100001", "data-rendered-ms", 3, errors);
  std::printf("  chip 100001 opened by its address, until its pulses are on screen: %s\n",
              spread(chip).c_str());
  if (!errors.empty()) std::printf("  the page or the browser reported: %s\n", errors.c_str());
}

// A varnel-campaign watch in the background, the time each line of its standard output came.
class watch_process {
 public:
  watch_process(const std::string& exe, const fs::path& db, const fs::path& folder) {
    int out[2];
    if (::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::close(out[0]);
      ::execl(exe.c_str(), exe.c_str(), "watch", "--settle", "0", "--db", db.c_str(),
              folder.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(out[1]);
    reader_ = std::thread([this, fd = out[0]] { read_lines(fd); });
  }
  ~watch_process() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    reader_.join();
  }
  // When a line beginning with `start` came, waiting up to 30 s for it; nothing if it did not.
  std::optional<std::chrono::steady_clock::time_point> line_time(const std::string& start) {
    for (int i = 0; i < 30000; ++i) {
      {
        std::lock_guard lock(m_);
        for (const auto& [line, t] : lines_)
          if (line.rfind(start, 0) == 0) return t;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::nullopt;
  }
  // Resident memory, kB, as the kernel counts it.
  long rss_kb() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string key; status >> key;)
      if (key == "VmRSS:") {
        long kb = 0;
        status >> kb;
        return kb;
      }
    return 0;
  }
  void forget_lines() {
    std::lock_guard lock(m_);
    lines_.clear();
  }

 private:
  void read_lines(int fd) {
    std::string pending;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      auto now = std::chrono::steady_clock::now();
      pending.append(buffer, static_cast<size_t>(n));
      std::lock_guard lock(m_);
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1))
        lines_.emplace_back(pending.substr(0, end), now);
    }
    ::close(fd);
  }
  pid_t pid_ = -1;
  std::thread reader_;
  std::mutex m_;
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> lines_;
};

// Copies `from` to `to` in one write and closes it, as an acquisition finishing a recording;
// the time of the close.
std::chrono::steady_clock::time_point write_closed(const std::string& text, const fs::path& to) {
  {
    std::ofstream out(to, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  return std::chrono::steady_clock::now();
}

// The chip of a bench-named recording: the digits after "korvi".
std::string chip_of(const fs::path& p) {
  std::string name = p.filename().string();
  size_t at = name.find("korvi") + 5;
  return name.substr(at, name.find('_', at) - at);
}

// `count` recordings of `events` events, staged and then copied one at a time into `watched`
// under the bench's names with the time `tag`, each waited for; the seconds from each close to
// its verdict line, sorted.
std::vector<double> close_to_line(const fs::path& dir, watch_process& w, const fs::path& watched,
                                  int count, int events, bool remove_after, const char* tag,
                                  long* rss_tenth) {
  fs::path stage = dir / (std::string("stage-") + tag);
  fs::create_directories(stage);
  std::vector<std::string> staged =
      write_simulated_campaign(stage, count, events, "20mV_delay-all", false);
  std::vector<double> seconds;
  for (size_t i = 0; i < staged.size(); ++i) {
    std::string name = fs::path(staged[i]).filename().string();
    fs::path to = watched / (tag + name.substr(name.find('_')));
    std::string text = read_all(staged[i]);
    auto closed = write_closed(text, to);
    std::optional<std::chrono::steady_clock::time_point> line = w.line_time(chip_of(to) + " ");
    if (!line) {
      std::printf("  no line for %s\n", to.c_str());
      break;
    }
    seconds.push_back(std::chrono::duration<double>(*line - closed).count());
    w.forget_lines();
    if (remove_after) fs::remove(to);
    if (rss_tenth && i + 1 == staged.size() / 10) *rss_tenth = w.rss_kb();
  }
  fs::remove_all(stage);
  std::sort(seconds.begin(), seconds.end());
  return seconds;
}

void watch_figures(const fs::path& dir, const std::string& exe, int recordings, int events,
                   int memory_recordings) {
  fs::path watched = dir / "bench";
  fs::create_directories(watched);
  watch_process w(exe, dir / "watch.sqlite", watched);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the watch in place
  if (recordings > 0) {
    std::vector<double> s =
        close_to_line(dir, w, watched, recordings, events, true, "120000", nullptr);
    std::printf(
        "varnel-campaign watch, %zu recordings of %d events copied in one at a time, close to "
        "verdict line: median %.3f s, p99 %.3f s, max %.3f s (goal: p99 under 1 s)\n",
        s.size(), events, quantile(s, 0.5), quantile(s, 0.99), s.empty() ? 0.0 : s.back());
  }
  if (memory_recordings > 0) {
    long before = w.rss_kb(), tenth = 0;
    std::vector<double> s =
        close_to_line(dir, w, watched, memory_recordings, 40, true, "130000", &tenth);
    std::printf(
        "  resident memory over %zu more small recordings: %ld kB before, %ld kB after a tenth, "
        "%ld kB after all; their p99 close to line %.3f s\n",
        s.size(), before, tenth, w.rss_kb(), quantile(s, 0.99));
  }
}

// The peak resident memory of process `pid`, MB (VmHWM); 0 when it cannot be read.
double peak_mb(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string key; status >> key;) {
    double kb = 0;
    if (key == "VmHWM:" && status >> kb) return kb / 1000.0;
  }
  return 0.0;
}

// A program run to its end, its output thrown away: wall time and peak resident memory.
struct program_figures {
  double s = 0.0;
  double peak_mb = 0.0;
  int status = -1;
};

program_figures run_program(const std::vector<std::string>& argv) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  program_figures f;
  rusage u{};
  int status = 0;
  if (pid > 0 && ::wait4(pid, &status, 0, &u) == pid) {
    f.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    f.peak_mb = static_cast<double>(u.ru_maxrss) / 1000.0;
  }
  f.s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return f;
}

const std::vector<std::string> served_configs = {"2mV_delay-all", "4mV_delay-all", "8mV_delay-all"};
constexpr int served_events = 12;
constexpr int added_chips = 200;
constexpr int watched_chips = 10;

// `chips` chips x 3 configurations of small recordings written into `data` as chips
// `first_chip`, `first_chip` + 1, ...: new names, so that they join a served campaign instead of
// replacing its first chips. Their paths, chip by chip.
std::vector<std::string> write_new_chips(const fs::path& data, int chips, int first_chip) {
  campaign_setup setup;
  std::vector<std::string> written =
      write_gain_campaign(data, chips, served_events, served_configs, setup);
  for (std::string& path : written) {
    fs::path p(path);
    std::string name = p.filename().string();
    size_t at = name.find("korvi") + 5;
    int chip = std::stoi(name.substr(at, 6)) - 100000 + first_chip;
    fs::path to =
        p.parent_path() / (name.substr(0, at) + std::to_string(chip) + name.substr(at + 6));
    fs::rename(p, to);
    path = to.string();
  }
  std::sort(written.begin(), written.end(), [](const std::string& a, const std::string& b) {
    return chip_of(a) < chip_of(b) || (chip_of(a) == chip_of(b) && a < b);
  });
  return written;
}

// A watch on a copy of the served campaign `db`, fed `watched_chips` new chips x 3
// configurations one recording at a time: the seconds from each close to its verdict line,
// sorted. What an operator waits for at a bench whose campaign is already large.
std::vector<double> watch_into(const fs::path& dir, const fs::path& db, int first_chip) {
  const fs::path copy = dir / "watched-large.sqlite", stage = dir / "watch-stage",
                 watched = dir / "watched-large";
  fs::copy_file(db, copy, fs::copy_options::overwrite_existing);
  fs::create_directories(stage);
  fs::create_directories(watched);
  std::vector<std::string> staged = write_new_chips(stage, watched_chips, first_chip);
  ::sync();  // the copy and the staged recordings on the disk before the watch starts
  std::vector<double> seconds;
  {
    watch_process w(VARNEL_CAMPAIGN_EXE, copy, watched);
    // The watch in place: it reads the campaign's outline before it follows the folder.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    for (const std::string& path : staged) {
      fs::path to = watched / fs::path(path).filename();
      auto closed = write_closed(read_all(path), to);
      std::optional<std::chrono::steady_clock::time_point> line = w.line_time(chip_of(to) + " ");
      if (!line) break;
      seconds.push_back(std::chrono::duration<double>(*line - closed).count());
      w.forget_lines();
    }
  }
  fs::remove_all(stage);
  fs::remove_all(watched);
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(copy.string() + suffix);
  std::sort(seconds.begin(), seconds.end());
  return seconds;
}

// `varnel-campaign run` storing `added_chips` new chips x 3 configurations into `db` (after
// whatever it holds): its cost per recording and peak memory.
program_figures add_chips(const fs::path& dir, const fs::path& db, int first_chip,
                          const char* tag) {
  fs::path data = dir / (std::string("added-") + tag);
  fs::remove_all(data);
  fs::create_directories(data);
  std::vector<std::string> written = write_new_chips(data, added_chips, first_chip);
  // What the bench wrote (these recordings, a campaign copied for the run) goes to the disk
  // first: the run would otherwise share the disk with its write-back.
  ::sync();
  program_figures f = run_program(
      {VARNEL_CAMPAIGN_EXE, "run", "--settle", "0", "--db", db.string(), data.string()});
  f.s /= static_cast<double>(written.size());
  fs::remove_all(data);
  return f;
}

// `varnel-campaign serve` on `chips` chips x 3 configurations of small recordings: run's cost
// per recording and memory against a 200-chip campaign's, the commands that read the campaign,
// the static report, and the served page, a chip and the bench view in headless Chromium. The
// campaign is simulated and run once into `keep` (when given) and reused by later benches.
void serve_figures(const fs::path& dir, int chips, int runs, const fs::path& keep) {
  const fs::path home = keep.empty() ? dir / "served-campaign" : keep;
  fs::create_directories(home);
  const fs::path data = home / "recordings", db_path = home / "served.sqlite",
                 done = home / ("chips-" + std::to_string(chips));
  const std::string campaign = quoted(VARNEL_CAMPAIGN_EXE), db = quoted(db_path);
  if (!fs::exists(done)) {
    fs::remove_all(data);
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(db_path.string() + suffix);
    fs::create_directories(data);
    write_gain_campaign(data, chips, served_events, served_configs, true);
    program_figures run = run_program(
        {VARNEL_CAMPAIGN_EXE, "run", "--settle", "0", "--db", db_path.string(), data.string()});
    std::printf(
        "%d chips x 3 configurations of %d-event recordings simulated; run %.1f s (%.2f ms "
        "per recording), peak memory %.0f MB\n",
        chips, served_events, run.s, run.s * 1000 / (3.0 * chips), run.peak_mb);
    if (!keep.empty()) std::ofstream(done) << "simulated and run\n";
  } else {
    std::printf("%d chips x 3 configurations of %d-event recordings, reused from %s\n", chips,
                served_events, home.c_str());
  }
  // Run's cost per recording: 200 chips more into an empty campaign, and into this one (on a
  // copy, so that a kept campaign stays as it was), in three turns of new chips each.
  const fs::path small_db = dir / "small.sqlite", large_db = dir / "large.sqlite";
  fs::copy_file(db_path, large_db, fs::copy_options::overwrite_existing);
  std::vector<double> small_s, large_s, ratios;
  double small_peak = 0, large_peak = 0;
  for (int turn = 0; turn < 3; ++turn) {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(small_db.string() + suffix);
    program_figures small = add_chips(dir, small_db, 900000 + 1000 * turn, "small");
    program_figures large = add_chips(dir, large_db, 900000 + 1000 * turn, "large");
    small_s.push_back(small.s);
    large_s.push_back(large.s);
    ratios.push_back(large.s / small.s);
    small_peak = std::max(small_peak, small.peak_mb);
    large_peak = std::max(large_peak, large.peak_mb);
  }
  std::sort(ratios.begin(), ratios.end());
  std::printf(
      "  run storing %d chips x 3 more, median of 3 turns: %.2f ms per recording into an empty "
      "campaign, peak %.0f MB; %.2f ms into the %d-chip one (%.2fx, turns %.2f to %.2fx, goal "
      "1.2x), peak %.0f MB (goal under 64 MB)\n",
      added_chips, median_of(small_s) * 1000, small_peak, median_of(large_s) * 1000, chips,
      median_of(ratios), ratios.front(), ratios.back(), large_peak);
  // After a run the statistics kept in the campaign are out of date: the commands that read it
  // make them again on the way.
  program_figures stale_verdicts =
      run_program({VARNEL_CAMPAIGN_EXE, "verdicts", "--db", large_db.string()});
  program_figures stale_chips =
      run_program({VARNEL_CAMPAIGN_EXE, "chips", "--db", large_db.string()});
  std::printf(
      "  after that run: verdicts %.2f s, peak %.0f MB; chips %.2f s, peak %.0f MB (goals under "
      "2 s)\n",
      stale_verdicts.s, stale_verdicts.peak_mb, stale_chips.s, stale_chips.peak_mb);
  for (const fs::path& p : {small_db, large_db})
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(p.string() + suffix);
  std::vector<double> watched = watch_into(dir, db_path, 800000);
  std::printf(
      "  watch on the %d-chip campaign, %zu recordings of %d chips copied in one at a time, "
      "close to verdict line: median %.3f s, p99 %.3f s, max %.3f s (goal under 1 s)\n",
      chips, watched.size(), watched_chips, quantile(watched, 0.5), quantile(watched, 0.99),
      watched.empty() ? 0.0 : watched.back());
  program_figures verdicts =
      run_program({VARNEL_CAMPAIGN_EXE, "verdicts", "--db", db_path.string()});
  program_figures chip_lines =
      run_program({VARNEL_CAMPAIGN_EXE, "chips", "--db", db_path.string()});
  std::printf("  verdicts %.2f s, peak %.0f MB; chips %.2f s, peak %.0f MB (goals under 2 s)\n",
              verdicts.s, verdicts.peak_mb, chip_lines.s, chip_lines.peak_mb);
  const fs::path html = dir / "served-report.html";
  program_figures report = run_program(
      {VARNEL_CAMPAIGN_EXE, "report", "--db", db_path.string(), "--out", html.string()});
  std::printf("  static report %.2f s, peak %.0f MB, %.2f MB (goal under 10 MB)\n", report.s,
              report.peak_mb, fs::exists(html) ? fs::file_size(html) / 1e6 : 0.0);
  fs::remove(html);
  const fs::path out = dir / "serve.out", pid_file = dir / "serve.pid";
  double started =
      seconds_of(campaign + " serve --port 0 --db " + db + " > " + quoted(out) +
                 " 2>&1 & echo $! > " + quoted(pid_file) + "; for i in $(seq 600); do " +
                 "grep -q http " + quoted(out) + " && break; sleep 0.1; done");
  std::string banner = read_all(out), pid = read_all(pid_file);
  pid.erase(pid.find_last_not_of("\n") + 1);
  size_t at = banner.find("http://");
  if (at == std::string::npos) {
    std::printf("  serve did not start: %s\n", banner.c_str());
    return;
  }
  std::string url = banner.substr(at, banner.find('/', at + 7) - at), errors;
  std::printf("  serve listens %.2f s after it started (it loads and judges the campaign first)\n",
              started);
  std::printf(
      "  served page, navigation until the yield and the failing table are on screen (goal under "
      "2 s), in a browser started for it: %s\n",
      spread(marker_seconds(dir, url + "/", "body", "data-first-screen-ms", runs, errors)).c_str());
  std::printf("  the same in a browser already running: %s\n",
              spread(marker_seconds(dir, url + "/", "body", "data-first-screen-ms", runs, errors,
                                    browser_settle_s))
                  .c_str());
  std::printf(
      "  served page in a running browser, until every chart is on screen: %s\n",
      spread(marker_seconds(dir, url + "/", "body", "data-painted-ms", 3, errors, browser_settle_s))
          .c_str());
  std::printf("  /chip/100001 in a running browser until its pulses are on screen: %s\n",
              spread(marker_seconds(dir, url + "/chip/100001", "#chip-100001", "data-rendered-ms",
                                    3, errors, browser_settle_s))
                  .c_str());
  std::printf("  the server's peak memory %.0f MB\n", peak_mb(pid));
  if (!errors.empty()) std::printf("  the page or the browser reported: %s\n", errors.c_str());
  // The server ends before its campaign is removed: it takes its side files with it.
  seconds_of("kill " + pid + "; while kill -0 " + pid + " 2>/dev/null; do sleep 0.05; done");
  std::error_code ignored;
  if (keep.empty()) fs::remove_all(home, ignored);
}

}  // namespace

int main(int argc, char** argv) {
  int recordings = 20, rerun = 1000, runs = 10, serve_chips = 1000, read_recordings = 60,
      read_events = 300, jobs = 2, repeat = 5;
  int watch_recordings = 50, watch_events = 300, watch_memory = 1000;
  double mb = 5.0;
  std::string page, campaign_exe = VARNEL_CAMPAIGN_EXE, keep;
  CLI::App app(
      "Figures for varnel-campaign on simulated campaigns: a campaign against cat of its "
      "recordings, against GNU parallel running varnel.exe, a first run and a rerun of many "
      "recordings, and the report's size and time on screen in headless Chromium.",
      "varnel-campaign-bench");
  add_version_flag(app);
  app.add_option("--read-recordings", read_recordings, "Recordings read against cat (0: none)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--read-events", read_events, "Events in each of them")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--jobs", jobs, "Recordings analysed at once")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--repeat", repeat, "Runs of each, taken in turns, of which the median is shown")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--campaign-exe", campaign_exe, "The varnel-campaign to time against cat")
      ->capture_default_str();
  app.add_option("--recordings", recordings, "Recordings run against GNU parallel (0: none)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--mb", mb, "Their size, MB")->check(CLI::PositiveNumber)->capture_default_str();
  app.add_option("--rerun", rerun,
                 "Recordings of 1 MB for the first run, rerun and report (0: none)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--runs", runs, "Browser runs for the report's time on screen")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--serve-chips", serve_chips,
                 "Chips x 3 configurations served and timed in headless Chromium (0: none)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--page", page, "Time this report page alone")->check(CLI::ExistingFile);
  app.add_option("--keep", keep,
                 "Folder where the served campaign is simulated and run once, and reused by later "
                 "benches of as many chips");
  app.add_option("--watch-recordings", watch_recordings,
                 "Recordings timed from their close to the watch's line (0: none)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--watch-events", watch_events, "Events in each of them")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  app.add_option("--watch-memory", watch_memory,
                 "Small recordings over which the watch's memory is sampled (0: none)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  if (std::optional<command_line_stop> stop = parse_command_line(app, argc, argv)) {
    std::fputs(stop->out.c_str(), stdout);
    std::fputs(stop->err.c_str(), stderr);
    return stop->status;
  }
  const char* tmp = std::getenv("TMPDIR");
  fs::path dir =
      fs::path(tmp && *tmp ? tmp : "/tmp") / ("varnel-campaign-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  if (!page.empty()) {
    std::printf("%s: %.2f MB\n", page.c_str(), fs::file_size(page) / 1e6);
    time_page(dir, page, runs);
    fs::remove_all(dir);
    return 0;
  }
  std::printf(
      "varnel-campaign on simulated campaigns (full figures: --recordings 200 --mb 25 "
      "--rerun 1000 --watch-memory 10000 --serve-chips 10000 --keep DIR)\n");
  if (read_recordings > 0)
    compare_with_cat(dir, campaign_exe, read_recordings, read_events, jobs, repeat);
  if (recordings > 0) compare_with_parallel(dir, recordings, mb);
  if (rerun > 0) rerun_and_report(dir, rerun, runs);
  if (watch_recordings > 0 || watch_memory > 0)
    watch_figures(dir, campaign_exe, watch_recordings, watch_events, watch_memory);
  if (serve_chips > 0) serve_figures(dir, serve_chips, std::min(runs, 5), keep);
  fs::remove_all(dir);
  return 0;
}
