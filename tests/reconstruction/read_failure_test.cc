// An I/O error while the recording is read fails the reconstruction, wherever it strikes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "reconstruction/reconstruct.h"
#include "support/bench_recording.h"

namespace {

// Serves `text` in pieces of at most `piece` bytes, then fails once `fail_at` bytes are out.
class failing_source : public byte_source {
 public:
  failing_source(std::string text, size_t fail_at, size_t piece)
      : text_(std::move(text)), fail_at_(fail_at), piece_(piece) {}
  long read(char* buffer, size_t size) override {
    if (offset_ >= fail_at_) return -1;
    size_t n = std::min({size, piece_, fail_at_ - offset_, text_.size() - offset_});
    std::memcpy(buffer, text_.data() + offset_, n);
    offset_ += n;
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

outcome reconstruct_from(byte_source& source) {
  outcome o;
  snapshot_table table;
  o.ok = reconstruct(source, "rec.txt", 20.0, 15, 10, 0, table, o.summary, o.notes);
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
      SCOPED_TRACE("failing at byte " + std::to_string(fail_at) + ", pieces of " +
                   std::to_string(piece));
      failing_source source(text, fail_at, piece);
      outcome o = reconstruct_from(source);
      EXPECT_FALSE(o.ok);
      EXPECT_EQ(o.notes, diagnostics{"Cannot read file named rec.txt."});
    }
  }
}

TEST(ReadFailure, TheSameRecordingWithoutTheFailureReconstructs) {
  // The failure alone decides the outcome above: with the source reading to its end, it succeeds.
  failing_source source(recording(), recording().size() + 1, 7);
  outcome o = reconstruct_from(source);
  EXPECT_TRUE(o.ok);
  EXPECT_EQ(o.notes, diagnostics{});
  EXPECT_EQ(o.summary.events_completed, 4);
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
