// For recordings of three sizes (--small-megabytes, --megabytes and four times that): a memchr
// scan for line ends, std::istream >> int, the value reader on each parse path, the framing alone,
// reconstruct() on each path and the whole varnel.exe run, on every processor and on one, with
// its peak memory, as MB/s, as the multiple of the scan's time and as the multiple of istream's
// speed.
//
//   varnel-bench [--megabytes N] [--small-megabytes N] [--repeat N] [--dir DIR] [--keep]
//
// The recordings go to a new directory under $TMPDIR (or DIR) and are removed unless --keep.
// Figures are the best of N runs on a file in the page cache.

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <locale>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "cli/command_line.h"
#include "common/input_file.h"
#include "reconstruction/byte_source.h"
#include "reconstruction/framing.h"
#include "reconstruction/reconstruct.h"
#include "reconstruction/recording_format.h"
#include "reconstruction/value_reader.h"
#include "tools/recording_simulator.h"

namespace {

struct options {
  double megabytes = 256;
  double small_megabytes = 25;
  int repeat = 3;
  std::string dir;
  bool keep = false;
};

const CLI::Validator positive_size(
    [](const std::string& text) {
      double v = 0;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
      const bool good = error == std::errc{} && end == text.data() + text.size() && v > 0;
      return good ? std::string() : "expected a positive number, got " + text;
    },
    "POSITIVE");

void add_options(CLI::App& app, options& o) {
  app.add_option("--megabytes", o.megabytes, "Size of the large recording, MB")
      ->capture_default_str()
      ->check(positive_size);
  app.add_option("--small-megabytes", o.small_megabytes, "Size of the small recording, MB")
      ->capture_default_str()
      ->check(positive_size);
  app.add_option("--repeat", o.repeat, "Runs of each measurement; the best is shown")
      ->capture_default_str()
      ->check(CLI::Range(1, 1000));
  app.add_option("--dir", o.dir, "Directory for the recordings (a new one under $TMPDIR)");
  app.add_flag("--keep", o.keep, "Keep the recordings");
}

// Writes about `bytes` of a simulated recording: realistic channels, an event every 220 rows.
void write_bench_recording(const std::string& path, uint64_t bytes, uint64_t seed) {
  const int probe_events = 10;
  double per_event =
      static_cast<double>(
          simulate_recording(realistic_options(probe_events, "20mV_delay-all", seed)).size()) /
      probe_events;
  int events = std::max(2, static_cast<int>(static_cast<double>(bytes) / per_event));
  simulation_options options = realistic_options(events, "20mV_delay-all", seed);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || !write_recording(options, f) || std::fclose(f) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
}

struct figure {
  double seconds = 0;
  uint64_t count = 0;     // values read, or lines for memchr
  uint64_t checksum = 0;  // sum of the values, to compare readers
  long peak_kib = -1;     // a whole run's peak resident memory
  bool failed = false;    // a whole run that did not exit with 0
};

// One run of `run`, timed.
figure timed(const std::function<figure()>& run) {
  auto start = std::chrono::steady_clock::now();
  figure f = run();
  // A measure that timed only part of its work sets the time itself.
  if (f.seconds == 0)
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return f;
}

// The floor: the file read in 1 MiB chunks and its line ends counted, nothing else.
constexpr size_t scan_chunk = size_t{1} << 20;

figure memchr_lines(const std::string& path) {
  input_file file(path);
  std::vector<char> buffer(scan_chunk);
  figure f;
  for (;;) {
    ssize_t n = ::read(file.fd(), buffer.data(), buffer.size());
    if (n <= 0) break;
    const char* p = buffer.data();
    const char* end = p + n;
    while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p))))) {
      ++f.count;
      ++p;
    }
  }
  return f;
}

figure istream_values(const std::string& path) {
  std::ifstream in(path);
  in.imbue(std::locale::classic());
  figure f;
  int v;
  while (in >> v) {
    ++f.count;
    f.checksum += static_cast<uint32_t>(v);
  }
  return f;
}

figure reader_values(const std::string& path, parse_path p) {
  input_file file(path);
  fd_source source(file.fd());
  value_reader reader(source, p);
  std::vector<int32_t> values(4096);
  figure f;
  for (;;) {
    size_t n = reader.read(values.data(), values.size());
    for (size_t i = 0; i < n; ++i) f.checksum += static_cast<uint32_t>(values[i]);
    f.count += n;
    if (n < values.size()) break;
  }
  if (reader.outcome() != read_outcome::end_of_input)
    std::fprintf(stderr, "warning: %s reader stopped early\n", parse_path_name(p));
  return f;
}

// The framing alone: every complete row of the recording, parsed block by block on the best path
// beforehand, framed and binned as a reconstruction does; only the framing is timed.
figure framing_alone(const std::string& path) {
  input_file file(path);
  fd_source source(file.fd());
  value_reader reader(source);
  const frame_geometry geometry = make_frame_geometry(first_window_row_of(15), 10, 0);
  framing_state state;
  bin_table bins(geometry.bins_per_channel);
  std::vector<int32_t> block(512 * channel_count);
  figure f;
  std::chrono::steady_clock::duration framing{};
  for (;;) {
    const size_t n = reader.read(block.data(), block.size());
    const auto start = std::chrono::steady_clock::now();
    frame_rows(block.data(), n / channel_count, geometry, state, bins);
    framing += std::chrono::steady_clock::now() - start;
    f.count += n;
    if (n < block.size()) break;
  }
  f.checksum = static_cast<uint64_t>(bins.at(0, 0).sum);
  f.seconds = std::chrono::duration<double>(framing).count();
  return f;
}

// reconstruct() on the recording with parse path `p`: reading, framing, binning and baseline;
// parsed on two threads as the tool does, or all on one.
figure reconstruction(const std::string& path, parse_path p, int threads = 2) {
  input_file file(path);
  fd_source source(file.fd());
  snapshot_table table;
  reconstruction_summary summary;
  diagnostics notes;
  if (!reconstruct(source, path, 20.0, 15, 10, 0, table, summary, notes, {p, threads}))
    std::fprintf(stderr, "warning: reconstruction on %s failed\n", parse_path_name(p));
  figure f;
  f.count = summary.values_read;
  for (const channel_points& channel : table)
    for (const snapshot_point& point : channel)
      f.checksum += std::hash<double>{}(point.second.first);
  return f;
}

// Binds the calling process to the first processor it may use, as `taskset` or a batch system
// would.
void bind_to_one_processor() {
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ::sched_setaffinity(0, sizeof one, &one);
    return;
  }
}

// The whole varnel.exe run.
// The executable on a recording as a child process, as a user runs it, on every processor or
// bound to one: wall time and peak resident memory.
figure whole_run(const std::string& recording, bool one_processor) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (one_processor) bind_to_one_processor();
    int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) ::dup2(devnull, STDOUT_FILENO);
    const char* args[] = {VARNEL_EXE, "100000", "20mV_delay-all", recording.c_str(), nullptr};
    ::execv(VARNEL_EXE, const_cast<char* const*>(args));
    ::_exit(127);
  }
  figure r;
  struct rusage usage;
  int status = 0;
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) {
    std::perror("varnel.exe");
    std::exit(1);
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peak_kib = usage.ru_maxrss;
  r.failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
  return r;
}

// One row of a size's table: MB/s, the multiple of the scan's time, the multiple of istream's
// speed, and a note.
void print_row(const std::string& name, double megabytes, double seconds, double scan_seconds,
               double istream_seconds, const std::string& note) {
  std::printf("  %-30s %8.0f MB/s  %6.2fx scan time  %6.2fx istream  %s\n", name.c_str(),
              megabytes / seconds, seconds / scan_seconds, istream_seconds / seconds, note.c_str());
}

// A measurement of the table: its name, one run of it, the best run so far, and the measurement
// whose values and checksum it must match, if any.
struct measurement {
  measurement(std::string name_, std::function<figure()> run_,
              const measurement* same_as_ = nullptr)
      : name(std::move(name_)), run(std::move(run_)), same_as(same_as_) {}
  std::string name;
  std::function<figure()> run;
  const measurement* same_as;
  figure best;
};

std::string note_for(const measurement& m) {
  if (m.best.peak_kib >= 0) {
    char note[64];
    std::snprintf(note, sizeof note, "peak RSS %.1f MiB%s",
                  static_cast<double>(m.best.peak_kib) / 1024, m.best.failed ? "  (failed)" : "");
    return note;
  }
  const bool same = !m.same_as || (m.best.count == m.same_as->best.count &&
                                   m.best.checksum == m.same_as->best.checksum);
  return same ? "" : "DIFFERS FROM THE OTHER PATHS";
}

// Every figure for one recording. The measurements take turns, one run each per round, so that
// a spell in which the machine runs slower touches them all alike; each keeps its best run.
void bench_recording(const std::string& recording, int repeat) {
  namespace fs = std::filesystem;
  const double mb = static_cast<double>(fs::file_size(recording)) / 1e6;
  memchr_lines(recording);        // brings the file into the page cache
  std::deque<measurement> table;  // grows without moving what `same_as` points to
  table.emplace_back("memchr '\\n' scan (floor)", [&] { return memchr_lines(recording); });
  table.emplace_back("std::istream >> int", [&] { return istream_values(recording); });
  const measurement* stream = &table.back();
  for (parse_path p : {parse_path::scalar, parse_path::avx2, parse_path::avx512}) {
    std::string name = std::string("value_reader ") + parse_path_name(p);
    if (parse_path_available(p))
      table.emplace_back(
          name, [&recording, p] { return reader_values(recording, p); }, stream);
  }
  table.emplace_back("framing alone", [&] { return framing_alone(recording); });
  const measurement* reference = nullptr;
  for (parse_path p : {parse_path::scalar, parse_path::avx2, parse_path::avx512}) {
    if (!parse_path_available(p)) continue;
    table.emplace_back(
        std::string("reconstruct() ") + parse_path_name(p),
        [&recording, p] { return reconstruction(recording, p); }, reference);
    if (!reference) reference = &table.back();
  }
  table.emplace_back(
      std::string("reconstruct() ") + parse_path_name(best_parse_path()) + ", 1 thread",
      [&] { return reconstruction(recording, best_parse_path(), 1); }, reference);
  table.emplace_back("whole varnel.exe run", [&] { return whole_run(recording, false); });
  table.emplace_back("whole run, 1 processor", [&] { return whole_run(recording, true); });
  for (int round = 0; round < repeat; ++round)
    for (measurement& m : table) {
      const figure f = timed(m.run);
      if (round == 0 || f.seconds < m.best.seconds) m.best = f;
    }
  const figure& scan = table[0].best;
  std::printf("%.1f MB recording (%llu values, %llu lines), best of %d:\n", mb,
              static_cast<unsigned long long>(stream->best.count),
              static_cast<unsigned long long>(scan.count), repeat);
  for (const measurement& m : table)
    print_row(m.name, mb, m.best.seconds, scan.seconds, stream->best.seconds, note_for(m));
  for (parse_path p : {parse_path::avx2, parse_path::avx512})
    if (!parse_path_available(p))
      std::printf("  %s not available on this processor\n", parse_path_name(p));
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "Throughput of the value reader and of whole varnel.exe runs on simulated "
      "recordings.",
      "varnel-bench");
  add_version_flag(app);
  options opt;
  add_options(app, opt);
  if (std::optional<command_line_stop> stop = parse_command_line(app, argc, argv)) {
    std::fputs(stop->out.c_str(), stdout);
    std::fputs(stop->err.c_str(), stderr);
    return stop->status;
  }
  namespace fs = std::filesystem;
  fs::path dir = opt.dir;
  if (dir.empty()) {
    std::string pattern = (fs::temp_directory_path() / "varnel-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
  }
  fs::create_directories(dir);
  std::printf("whole run: %s 100000 20mV_delay-all RECORDING\n\n", VARNEL_EXE);
  // 25 MB, 256 MB and 1 GB by default.
  const double sizes[] = {opt.small_megabytes, opt.megabytes, 4 * opt.megabytes};
  for (size_t i = 0; i < std::size(sizes); ++i) {
    const std::string recording = (dir / ("recording" + std::to_string(i) + ".txt")).string();
    write_bench_recording(recording, static_cast<uint64_t>(sizes[i] * 1e6), i + 1);
    bench_recording(recording, opt.repeat);
    if (!opt.keep) fs::remove(recording);
  }
  if (!opt.keep) {
    fs::remove(dir / "rise_time_korvi100000_20mV_delay-all.log");  // the runs' log
    if (opt.dir.empty()) fs::remove(dir);
  }
  return 0;
}
