// Throughput of the value reader on each parse path against std::istream and a memchr pass over
// the same recording, and the wall time and peak memory of a whole varnel.exe run.
//
//   varnel-bench [--megabytes N] [--small-megabytes N] [--repeat N] [--dir DIR] [--keep]
//
// The recordings go to a new directory under $TMPDIR (or DIR) and are removed unless --keep.
// Figures are the best of N runs on a file in the page cache.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <locale>
#include <random>
#include <string>
#include <vector>

#include "common/input_file.h"
#include "reconstruction/byte_source.h"
#include "reconstruction/recording_format.h"
#include "reconstruction/value_reader.h"
#include "recording_simulator.h"

namespace {

struct options {
  double megabytes = 256;
  double small_megabytes = 25;
  int repeat = 3;
  std::string dir;
  bool keep = false;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: varnel-bench [--megabytes N] [--small-megabytes N] [--repeat N] "
               "[--dir DIR] [--keep]\n");
  std::exit(2);
}

options parse_options(int argc, char** argv) {
  options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (arg == "--megabytes")
      o.megabytes = std::atof(value());
    else if (arg == "--small-megabytes")
      o.small_megabytes = std::atof(value());
    else if (arg == "--repeat")
      o.repeat = std::max(1, std::atoi(value()));
    else if (arg == "--dir")
      o.dir = value();
    else if (arg == "--keep")
      o.keep = true;
    else
      usage();
  }
  if (o.megabytes <= 0 || o.small_megabytes <= 0) usage();
  return o;
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
};

// The best of `repeat` runs of `run`.
figure best_of(int repeat, const std::function<figure()>& run) {
  figure best;
  for (int i = 0; i < repeat; ++i) {
    auto start = std::chrono::steady_clock::now();
    figure f = run();
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (i == 0 || f.seconds < best.seconds) best = f;
  }
  return best;
}

figure memchr_lines(const std::string& path) {
  input_file file(path);
  std::vector<char> buffer(value_reader::chunk_size);
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

struct run_figure {
  double seconds = 0;
  long peak_kib = 0;
  int status = 0;
};

// The whole varnel.exe run.
// The executable on a recording as a child process, as a user runs it: wall time and peak
// resident memory.
run_figure whole_run(const std::string& recording) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) ::dup2(devnull, STDOUT_FILENO);
    const char* args[] = {VARNEL_EXE, "100000", "20mV_delay-all", recording.c_str(), nullptr};
    ::execv(VARNEL_EXE, const_cast<char* const*>(args));
    ::_exit(127);
  }
  run_figure r;
  struct rusage usage;
  if (pid < 0 || ::wait4(pid, &r.status, 0, &usage) != pid) {
    std::perror("varnel.exe");
    std::exit(1);
  }
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.peak_kib = usage.ru_maxrss;
  return r;
}

run_figure best_run(int repeat, const std::string& recording) {
  run_figure best;
  for (int i = 0; i < repeat; ++i) {
    run_figure r = whole_run(recording);
    if (i == 0 || r.seconds < best.seconds) best = r;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const options opt = parse_options(argc, argv);
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
  const std::string large = (dir / "large.txt").string();
  const std::string small = (dir / "small.txt").string();
  write_bench_recording(large, static_cast<uint64_t>(opt.megabytes * 1e6), 1);
  write_bench_recording(small, static_cast<uint64_t>(opt.small_megabytes * 1e6), 2);
  const double mb = static_cast<double>(fs::file_size(large)) / 1e6;
  std::printf("recording %s: %.1f MB, best of %d\n\n", large.c_str(), mb, opt.repeat);

  memchr_lines(large);  // brings the file into the page cache
  const figure floor = best_of(opt.repeat, [&] { return memchr_lines(large); });
  const figure stream = best_of(opt.repeat, [&] { return istream_values(large); });
  const double stream_rate = mb / stream.seconds;
  auto print = [&](const char* name, double seconds, const char* note) {
    std::printf("%-28s %8.0f MB/s  %6.2fx istream  %s\n", name, mb / seconds,
                mb / seconds / stream_rate, note);
  };
  print("memchr '\\n' (floor)", floor.seconds, "");
  print("std::istream >> int", stream.seconds, "");
  for (parse_path p : {parse_path::scalar, parse_path::avx2, parse_path::avx512}) {
    std::string name = std::string("value_reader ") + parse_path_name(p);
    if (!parse_path_available(p)) {
      std::printf("%-28s not available on this processor\n", name.c_str());
      continue;
    }
    const figure f = best_of(opt.repeat, [&] { return reader_values(large, p); });
    const bool same = f.count == stream.count && f.checksum == stream.checksum;
    print(name.c_str(), f.seconds, same ? "" : "VALUES DIFFER FROM ISTREAM");
  }
  std::printf("(%llu values, %llu lines)\n\n", static_cast<unsigned long long>(stream.count),
              static_cast<unsigned long long>(floor.count));

  std::printf("whole run: %s 100000 20mV_delay-all RECORDING\n", VARNEL_EXE);
  for (const std::string& recording : {small, large}) {
    const double size = static_cast<double>(fs::file_size(recording)) / 1e6;
    const run_figure r = best_run(opt.repeat, recording);
    std::printf("  %7.1f MB: %7.3f s  %8.0f MB/s  %6.2fx istream  peak RSS %.1f MiB%s\n", size,
                r.seconds, size / r.seconds, size / r.seconds / stream_rate,
                static_cast<double>(r.peak_kib) / 1024,
                WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0 ? "" : "  (failed)");
  }
  if (!opt.keep) {
    fs::remove(large);
    fs::remove(small);
    fs::remove(fs::path(dir) / "rise_time_korvi100000_20mV_delay-all.log");  // the runs' log
    if (opt.dir.empty()) fs::remove(dir);
  }
  return 0;
}
