#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/diagnostics.h"
#include "reconstruction/byte_source.h"
#include "reconstruction/levels.h"
#include "reconstruction/parallel_reader.h"
#include "reconstruction/snapshots.h"
#include "reconstruction/value_reader.h"

/// Called with bytes of a recording as they are read.
using byte_observer = std::function<void(const char* bytes, size_t count)>;

/// How reconstruct() reads its source.
struct reading_options {
  parse_path parse = best_parse_path();  ///< the instruction set parsing it
  int threads = 1;  ///< 2 or more: a positional source's chunks are parsed on two threads
  size_t chunk_size = parallel_value_reader::default_chunk_size;  ///< bytes per chunk, > 0
  /// When set, given every byte read from the source, in order and once each, as it is read; the
  /// source is then read on one thread, front to back, whatever `threads` says.
  byte_observer on_bytes = {};
};

/// What a reconstruction saw of its recording, for diagnostics and summaries.
struct reconstruction_summary {
  uint64_t values_read = 0;      ///< values extracted before reading stopped
  uint64_t rows_handled = 0;     ///< complete rows framed
  double event_rows = 0.0;       ///< rows handled inside events, closing rows included
  int64_t events_started = 0;    ///< events begun
  int64_t events_completed = 0;  ///< events that reached their closing row
  int64_t events_in_window = 0;  ///< the most samples a bin holds: events that reached the window
  bool read_failed = false;      ///< the file did not open or could not be read whole, not its data
  /// How reading ended: at the input's end, or stopped early at text that is not a number or a
  /// number out of range (then at value values_read + 1), or on an I/O error.
  read_outcome reading_end = read_outcome::end_of_input;
  /// ADC counts: the spread of one baseline reading that every channel shares (common-mode
  /// noise); NaN when it cannot be measured.
  double common_mode_noise = 0.0;
  /// Completed events with a gap row inside their first pulse window: the gap then reaches into
  /// the samples the baseline is drawn through.
  int64_t window_gap_events = 0;
};

/// Another configuration's framing of the same recording, binned in the same reading pass.
struct other_framing {
  int window_offset = 0;         ///< its first pulse window begins at event row offset - 4
  int skipped_steps = 0;         ///< its leading delay steps left out
  snapshot_table table;          ///< out: its points, as reconstruct() fills its own
  int64_t events_in_window = 0;  ///< out: the most samples one of its bins holds
};

/// What reconstruct() measures besides the points and the summary.
struct reconstruction_extras {
  std::vector<channel_levels> levels;  ///< out: by channel, the raw readings' levels
  other_framing* other = nullptr;      ///< in: when set, that framing is reconstructed too
};

/// Reads the recording from `source` (named `path` in messages), frames its events and fills
/// `table` with every channel's baseline-corrected points. `table` is first sized to
/// 15 * (delay_steps - skipped_steps) zero points per channel. Returns false, with the reason in
/// `notes`, on an I/O error, when the source changed while it was read, or when no sample reached
/// the reconstruction window; notes on a reading that stopped early or an incomplete last row do
/// not make it fail. However `options` read the source, the result is the same. With `extras`
/// the channels' levels are measured and `extras->other`, when set, is framed from the same rows.
bool reconstruct(byte_source& source, const std::string& path, double delay_step_ns,
                 int window_offset, int delay_steps, int skipped_steps, snapshot_table& table,
                 reconstruction_summary& summary, diagnostics& notes,
                 const reading_options& options = {}, reconstruction_extras* extras = nullptr);

/// Opens the recording at `path` and reconstructs it into `table`; false, with the reason in
/// `notes`, when the file does not open or reconstruct() fails. With `on_bytes` the file is read
/// on one thread and every byte read passes through it (see reading_options); without, a regular
/// file's chunks are parsed on two threads where two processors may run. `extras` as for
/// reconstruct(). Touches no global state.
bool reconstruct_file(const std::string& path, double delay_step_ns, int window_offset,
                      int delay_steps, int skipped_steps, snapshot_table& table,
                      reconstruction_summary& summary, diagnostics& notes,
                      const byte_observer& on_bytes = {}, reconstruction_extras* extras = nullptr);
