// An I/O error while the recording is read fails the reconstruction, wherever it strikes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "reconstruction/reconstruct.h"
#include "support/bench_recording.h"
#include "support/tool_run.h"

namespace {

// Serves `text` in pieces of at most `piece` bytes, in order or by offset, and fails for any
// byte from `fail_at` on.
class failing_source : public byte_source {
 public:
  failing_source(std::string text, size_t fail_at, size_t piece)
      : text_(std::move(text)), fail_at_(fail_at), piece_(piece) {}
  long read(char* buffer, size_t size) override {
    long n = read_at(buffer, size, offset_);
    if (n > 0) offset_ += static_cast<size_t>(n);
    return n;
  }
  bool positional() const override { return true; }
  long read_at(char* buffer, size_t size, uint64_t offset) override {
    if (offset >= fail_at_) return -1;
    size_t n = std::min({size, piece_, fail_at_ - offset, text_.size() - offset});
    std::memcpy(buffer, text_.data() + offset, n);
    return static_cast<long>(n);
  }

 private:
  std::string text_;
  size_t fail_at_;
  size_t piece_;
  size_t offset_ = 0;
};

struct outcome {
  bool ok = false;
  diagnostics notes;
  reconstruction_summary summary;
};

// Reconstructs on one thread, or with the chunks parsed on two.
outcome reconstruct_from(byte_source& source, int threads = 1) {
  outcome o;
  snapshot_table table;
  reading_options options;
  options.threads = threads;
  o.ok = reconstruct(source, "rec.txt", 20.0, 15, 10, 0, table, o.summary, o.notes, options);
  return o;
}

const std::string& recording() {
  static const std::string text = recording_text(bench_rows(5));
  return text;
}

TEST(ReadFailure, FailsTheReconstructionWhereverItStrikes) {
  const std::string& text = recording();
  // Before anything, inside a number mid-row, just after a row, and with only the end to come.
  size_t mid_number = text.find(' ', text.size() / 2) - 1;
  size_t after_row = text.find('\n', text.size() / 2) + 1;
  for (size_t fail_at : {size_t{0}, mid_number, after_row, text.size()}) {
    for (size_t piece : {size_t{7}, text.size()}) {
      for (int threads : {1, 2}) {
        SCOPED_TRACE("failing at byte " + std::to_string(fail_at) + ", pieces of " +
                     std::to_string(piece) + ", threads " + std::to_string(threads));
        failing_source source(text, fail_at, piece);
        outcome o = reconstruct_from(source, threads);
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.notes, diagnostics{"Cannot read file named rec.txt."});
        EXPECT_TRUE(o.summary.read_failed);
      }
    }
  }
}

TEST(ReadFailure, TheSameRecordingWithoutTheFailureReconstructs) {
  // The failure alone decides the outcome above: with the source reading to its end, it succeeds.
  for (int threads : {1, 2}) {
    failing_source source(recording(), recording().size() + 1, 7);
    outcome o = reconstruct_from(source, threads);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ(o.notes, diagnostics{});
    EXPECT_EQ(o.summary.events_completed, 4);
    EXPECT_FALSE(o.summary.read_failed);
  }
}

// Reads a file through fd_source, in order or by offset, and changes the file right after the
// first read.
class changing_source : public byte_source {
 public:
  changing_source(int fd, std::function<void()> change) : file_(fd), change_(std::move(change)) {}
  long read(char* buffer, size_t size) override { return changed_after(file_.read(buffer, size)); }
  bool positional() const override { return true; }
  long read_at(char* buffer, size_t size, uint64_t offset) override {
    return changed_after(file_.read_at(buffer, size, offset));
  }
  bool unchanged() const override { return file_.unchanged(); }

 private:
  long changed_after(long count) {
    std::function<void()> change;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      change = std::exchange(change_, nullptr);
    }
    if (change) change();
    return count;
  }

  fd_source file_;
  std::mutex mutex_;
  std::function<void()> change_;
};

TEST(ReadFailure, AFileThatChangesWhileItIsReadGivesNoResult) {
  // Longer than one read of the reader, and cut where what is left is a good recording itself.
  const std::string text = recording_text(bench_rows(80));
  const size_t cut = text.find('\n', text.size() * 2 / 3) + 1;
  ASSERT_GT(text.size(), value_reader::chunk_size + 1000);
  temp_dir dir;
  const std::string path = dir / "rec.txt";
  const std::vector<std::pair<const char*, std::function<void()>>> changes = {
      {"truncated", [&] { ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0); }},
      {"extended", [&] { ASSERT_TRUE(write_file(path, text + text)); }},
      {"rewritten in place",
       [&] {
         int fd = ::open(path.c_str(), O_WRONLY);
         ASSERT_EQ(::pwrite(fd, "7", 1, static_cast<off_t>(cut)), 1);
         ::close(fd);
       }},
  };
  for (const auto& [what, change] : changes) {
    // Read on one thread, and in chunks on two as the tool reads a file.
    for (int threads : {1, 2}) {
      SCOPED_TRACE(std::string(what) + ", threads " + std::to_string(threads));
      ASSERT_TRUE(write_file(path, text));
      // An old modification time, so that any write moves it.
      const timespec old_times[2] = {{946684800, 0}, {946684800, 0}};
      ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
      int fd = ::open(path.c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      changing_source source(fd, change);
      outcome o = reconstruct_from(source, threads);
      ::close(fd);
      EXPECT_FALSE(o.ok);
      EXPECT_EQ(o.notes, diagnostics{"Cannot read file named rec.txt."});
      EXPECT_TRUE(o.summary.read_failed);
    }
  }
  // Read from the start, the truncated file is a recording that reconstructs.
  ASSERT_TRUE(write_file(path, text.substr(0, cut)));
  diagnostics notes;
  snapshot_table table;
  reconstruction_summary summary;
  EXPECT_TRUE(reconstruct_file(path, 20.0, 15, 10, 0, table, summary, notes));
  EXPECT_EQ(notes, diagnostics{});
}

TEST(ReadFailure, AFileThatFailsToReadIsReportedByName) {
  // /proc/self/mem opens, and reading it at offset 0, where nothing is mapped, fails with EIO.
  snapshot_table table;
  reconstruction_summary summary;
  diagnostics notes;
  EXPECT_FALSE(reconstruct_file("/proc/self/mem", 20.0, 15, 10, 0, table, summary, notes));
  EXPECT_EQ(notes, diagnostics{"Cannot read file named /proc/self/mem."});
}

}  // namespace
