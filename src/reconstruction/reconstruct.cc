#include "reconstruction/reconstruct.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/input_file.h"
#include "common/processors.h"
#include "reconstruction/baseline.h"
#include "reconstruction/framing.h"
#include "reconstruction/read_messages.h"
#include "reconstruction/value_reader.h"

namespace {

// Values handed from the reader to the framing at a time: whole rows, small enough to stay in
// the cache.
constexpr size_t block_rows = 512;

// How reading ended.
struct reading_end {
  read_outcome outcome = read_outcome::more;
  uint64_t values_read = 0;
};

// Frames values that arrive in pieces of any length, in input order: a row that a piece cuts
// is gathered and framed once complete, and a row the input does not fill is dropped.
class row_framer {
 public:
  row_framer(const frame_geometry& geometry, framing_state& state, bin_table& bins,
             reconstruction_summary& summary)
      : geometry_(geometry), state_(state), bins_(bins), summary_(summary) {}

  void add(const int32_t* values, size_t n) {
    if (held_ > 0) {
      const size_t take = std::min(channel_count - held_, n);
      std::copy_n(values, take, row_.begin() + static_cast<std::ptrdiff_t>(held_));
      held_ += take;
      values += take;
      n -= take;
      if (held_ < channel_count) return;
      frame(row_.data(), 1);
      held_ = 0;
    }
    const size_t rows = n / channel_count;
    frame(values, rows);
    held_ = n - rows * channel_count;
    std::copy_n(values + rows * channel_count, held_, row_.begin());
  }

 private:
  void frame(const int32_t* rows, size_t count) {
    frame_rows(rows, count, geometry_, state_, bins_);
    summary_.rows_handled += count;
  }

  const frame_geometry& geometry_;
  framing_state& state_;
  bin_table& bins_;
  reconstruction_summary& summary_;
  std::array<int32_t, channel_count> row_{};
  size_t held_ = 0;
};

// A source whose bytes pass through an observer as they are read.
class observed_source : public byte_source {
 public:
  observed_source(byte_source& source, const byte_observer& on_bytes)
      : source_(source), on_bytes_(on_bytes) {}
  long read(char* buffer, size_t size) override {
    const long n = source_.read(buffer, size);
    if (n > 0) on_bytes_(buffer, static_cast<size_t>(n));
    return n;
  }
  bool unchanged() const override { return source_.unchanged(); }

 private:
  byte_source& source_;
  const byte_observer& on_bytes_;
};

// Reads every value and frames it.
reading_end read_rows(value_reader& reader, row_framer& framer) {
  std::vector<int32_t> block(block_rows * channel_count);
  for (;;) {
    size_t n = reader.read(block.data(), block.size());
    framer.add(block.data(), n);
    if (n < block.size()) return {reader.outcome(), reader.values_read()};
  }
}

reading_end read_rows(parallel_value_reader& reader, row_framer& framer) {
  const int32_t* values = nullptr;
  while (size_t n = reader.next(values)) framer.add(values, n);
  return {reader.outcome(), reader.values_read()};
}

// The notes on how reading ended; false when it ended in an I/O error or the source changed
// while it was read.
bool note_end_of_reading(const reading_end& end, const byte_source& source, const std::string& path,
                         diagnostics& notes) {
  if (!source.unchanged()) {
    notes.push_back(cannot_read_file(path));
    return false;
  }
  switch (end.outcome) {
    case read_outcome::read_error:
      notes.push_back(cannot_read_file(path));
      return false;
    case read_outcome::not_a_number:
      notes.push_back(reading_stopped(end.values_read + 1, path, "not a number"));
      break;
    case read_outcome::out_of_range:
      notes.push_back(reading_stopped(end.values_read + 1, path, "number out of range"));
      break;
    default:
      break;
  }
  if (int left = static_cast<int>(end.values_read % channel_count); left != 0)
    notes.push_back(incomplete_last_row(path, left));
  return true;
}

}  // namespace

bool reconstruct(byte_source& source, const std::string& path, double delay_step_ns,
                 int window_offset, int delay_steps, int skipped_steps, snapshot_table& table,
                 reconstruction_summary& summary, diagnostics& notes,
                 const reading_options& options) {
  frame_geometry geometry =
      make_frame_geometry(first_window_row_of(window_offset), delay_steps, skipped_steps);
  bin_table bins(geometry.bins_per_channel, options.parse);
  table.assign(channel_count, channel_points(geometry.bins_per_channel, snapshot_point{}));
  framing_state state;
  row_framer framer(geometry, state, bins, summary);
  reading_end end;
  if (options.on_bytes) {
    observed_source observed(source, options.on_bytes);
    value_reader reader(observed, options.parse);
    end = read_rows(reader, framer);
  } else if (options.threads >= 2 && source.positional()) {
    parallel_value_reader reader(source, options.parse, options.chunk_size);
    end = read_rows(reader, framer);
  } else {
    value_reader reader(source, options.parse);
    end = read_rows(reader, framer);
  }
  summary.values_read = end.values_read;
  summary.event_rows = state.event_rows;
  summary.events_started = state.events_started;
  summary.events_completed = state.events_completed;
  for (int i = 0; i < bins.bins(); ++i)
    summary.events_in_window =
        std::max(summary.events_in_window, static_cast<int64_t>(bins.at(0, i).count));
  if (!note_end_of_reading(end, source, path, notes)) {
    summary.read_failed = true;
    return false;
  }
  if (!has_samples(bins)) {
    notes.push_back(corrupt_data());
    return false;
  }
  fill_snapshots(bins, geometry.used_steps, delay_step_ns, table);
  return true;
}

bool reconstruct_file(const std::string& path, double delay_step_ns, int window_offset,
                      int delay_steps, int skipped_steps, snapshot_table& table,
                      reconstruction_summary& summary, diagnostics& notes,
                      const byte_observer& on_bytes) {
  input_file file(path);
  if (!file.is_open()) {
    notes.push_back(cannot_open_file(path));
    summary.read_failed = true;
    return false;
  }
  fd_source source(file.fd());
  // A regular file's chunks are parsed on two threads when there are processors for both.
  reading_options options;
  options.threads = usable_processors() >= 2 ? 2 : 1;
  options.on_bytes = on_bytes;
  return reconstruct(source, path, delay_step_ns, window_offset, delay_steps, skipped_steps, table,
                     summary, notes, options);
}
