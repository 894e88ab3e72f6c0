#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "reconstruction/bin_table.h"
#include "reconstruction/common_mode.h"
#include "reconstruction/recording_format.h"

/// Where an event's pulse windows lie and how many bins they make.
struct frame_geometry {
  int window_start = 0;      ///< event row of the first binned row
  int used_steps = 0;        ///< delay steps reconstructed (pulse windows per event)
  int bins_per_channel = 0;  ///< samples_per_step * used_steps; 0 when used_steps < 1
};

/// The event row at which the first pulse window begins, for a configuration's window offset.
constexpr int first_window_row_of(int window_offset) {
  return window_offset - 4;
}

/// The geometry of a scan of `delay_steps` pulses whose first `skipped_steps` are left out, the
/// first pulse's window beginning at event row `first_window_row`.
constexpr frame_geometry make_frame_geometry(int first_window_row, int delay_steps,
                                             int skipped_steps) {
  frame_geometry g;
  g.used_steps = delay_steps - skipped_steps;
  g.bins_per_channel = g.used_steps > 0 ? samples_per_step * g.used_steps : 0;
  g.window_start = first_window_row + skipped_steps * samples_per_step;
  return g;
}

/// The equivalent time of bin `bin` (sample q = bin / used_steps of pulse window
/// r = bin % used_steps): (q + 1) * 200 ns - r * delay_step_ns.
constexpr double equivalent_time(int bin, int used_steps, double delay_step_ns) {
  int q = bin / used_steps, r = bin % used_steps;
  return static_cast<double>((q + 1) * sampling_period_ns) - r * delay_step_ns;
}

/// Where the framing stands in the stream; it starts searching for a gap.
struct framing_state {
  bool synchronised = false;     ///< a gap has been confirmed; never cleared
  bool in_event = false;         ///< rows are being framed into an event
  int confirm_left = 0;          ///< rows still to read before the confirming row is tested
  int sample_index = 0;          ///< position in the event, or non-gap rows since the last event
  double event_rows = 0.0;       ///< rows handled inside events, each event's closing row included
  int64_t events_started = 0;    ///< events begun
  int64_t events_completed = 0;  ///< events that reached their closing row
  bool window_gap = false;       ///< the event being framed has a gap row in its first window
  /// Completed events with a gap row inside their first pulse window (the first binned one).
  int64_t window_gap_events = 0;
};

/// What frame_rows() fills besides a configuration's own bins; a part left null is not filled.
struct framing_extras {
  const frame_geometry* other_geometry = nullptr;  ///< another configuration's windows
  bin_table* other_bins = nullptr;    ///< their bins: other_geometry->bins_per_channel a channel
  row_sum_table* row_sums = nullptr;  ///< the sums across channels of the own baseline rows
};

/// True when at least sync_min_low of the row's values are below low_threshold.
bool is_gap_row(const int32_t* row);

/// Frames `row_count` complete rows of channel_count values each, in order, adding the values
/// of every row inside an event's pulse windows to their bins, and filling what `extras` names
/// from the same rows.
void frame_rows(const int32_t* rows, size_t row_count, const frame_geometry& geometry,
                framing_state& state, bin_table& bins, const framing_extras& extras = {});
