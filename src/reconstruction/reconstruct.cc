#include "reconstruction/reconstruct.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "common/input_file.h"
#include "common/processors.h"
#include "reconstruction/baseline.h"
#include "reconstruction/common_mode.h"
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
             const framing_extras& extras, reconstruction_summary& summary)
      : geometry_(geometry), state_(state), bins_(bins), extras_(extras), summary_(summary) {}

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
    frame_rows(rows, count, geometry_, state_, bins_, extras_);
    summary_.rows_handled += count;
  }

  const frame_geometry& geometry_;
  framing_state& state_;
  bin_table& bins_;
  const framing_extras& extras_;
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

// The second framing of a reconstruction: its geometry and bins, empty when there is none.
struct second_framing {
  frame_geometry geometry;
  std::optional<bin_table> bins;
};

second_framing second_framing_of(const reconstruction_extras* extras, int delay_steps,
                                 parse_path parse) {
  second_framing out;
  if (!extras || !extras->other) return out;
  out.geometry = make_frame_geometry(first_window_row_of(extras->other->window_offset), delay_steps,
                                     extras->other->skipped_steps);
  out.bins.emplace(out.geometry.bins_per_channel, parse);
  return out;
}

// The most samples one of the bins holds: the events that reached the window.
int64_t events_in_window(const bin_table& bins) {
  int64_t most = 0;
  for (int i = 0; i < bins.bins(); ++i)
    most = std::max(most, static_cast<int64_t>(bins.at(0, i).count));
  return most;
}

// Fills the second framing's points, when there is one and any event reached its window.
void fill_second_framing(const second_framing& second, double delay_step_ns, other_framing& other) {
  other.events_in_window = events_in_window(*second.bins);
  other.table.assign(channel_count,
                     channel_points(second.geometry.bins_per_channel, snapshot_point{}));
  if (has_samples(*second.bins))
    fill_snapshots(*second.bins, second.geometry.used_steps, delay_step_ns, other.table);
}

reading_end read_all(byte_source& source, const reading_options& options, row_framer& framer) {
  if (options.on_bytes) {
    observed_source observed(source, options.on_bytes);
    value_reader reader(observed, options.parse);
    return read_rows(reader, framer);
  }
  if (options.threads >= 2 && source.positional()) {
    parallel_value_reader reader(source, options.parse, options.chunk_size);
    return read_rows(reader, framer);
  }
  value_reader reader(source, options.parse);
  return read_rows(reader, framer);
}

void summarise(const reading_end& end, const framing_state& state, const bin_table& bins,
               const row_sum_table& sums, reconstruction_summary& summary) {
  summary.values_read = end.values_read;
  summary.reading_end = end.outcome;
  summary.event_rows = state.event_rows;
  summary.events_started = state.events_started;
  summary.events_completed = state.events_completed;
  summary.window_gap_events = state.window_gap_events;
  summary.events_in_window = events_in_window(bins);
  summary.common_mode_noise = common_mode_noise(sums, bins);
}

}  // namespace

bool reconstruct(byte_source& source, const std::string& path, double delay_step_ns,
                 int window_offset, int delay_steps, int skipped_steps, snapshot_table& table,
                 reconstruction_summary& summary, diagnostics& notes,
                 const reading_options& options, reconstruction_extras* extras) {
  frame_geometry geometry =
      make_frame_geometry(first_window_row_of(window_offset), delay_steps, skipped_steps);
  bin_table bins(geometry.bins_per_channel, options.parse);
  row_sum_table sums(geometry.used_steps);
  second_framing second = second_framing_of(extras, delay_steps, options.parse);
  framing_extras framing{second.bins ? &second.geometry : nullptr,
                         second.bins ? &*second.bins : nullptr, &sums};
  table.assign(channel_count, channel_points(geometry.bins_per_channel, snapshot_point{}));
  framing_state state;
  row_framer framer(geometry, state, bins, framing, summary);
  const reading_end end = read_all(source, options, framer);
  summarise(end, state, bins, sums, summary);
  if (!note_end_of_reading(end, source, path, notes)) {
    summary.read_failed = true;
    return false;
  }
  if (!has_samples(bins)) {
    notes.push_back(corrupt_data());
    return false;
  }
  fill_snapshots(bins, geometry.used_steps, delay_step_ns, table);
  if (extras) extras->levels = measure_levels(bins, geometry.used_steps);
  if (second.bins) fill_second_framing(second, delay_step_ns, *extras->other);
  return true;
}

bool reconstruct_file(const std::string& path, double delay_step_ns, int window_offset,
                      int delay_steps, int skipped_steps, snapshot_table& table,
                      reconstruction_summary& summary, diagnostics& notes,
                      const byte_observer& on_bytes, reconstruction_extras* extras) {
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
                     summary, notes, options, extras);
}
