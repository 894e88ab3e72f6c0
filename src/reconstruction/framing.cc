#include "reconstruction/framing.h"

#include <algorithm>
#include <climits>

bool is_gap_row(const int32_t* row) {
  int low = 0;
  for (int ch = 0; ch < channel_count; ++ch) low += row[ch] < low_threshold;
  return low >= sync_min_low;
}

namespace {

// A row outside an event: the search for the first gap, its confirmation, and the wait for the
// gap that opens the next event. Returns true when the row opens an event as its row 0.
bool opens_event(const int32_t* row, framing_state& s) {
  if (s.confirm_left > 0) {
    // The rows after a first gap row are read and dropped; only the last one is tested.
    if (--s.confirm_left == 0 && is_gap_row(row)) {
      s.synchronised = true;
      s.sample_index = 0;
    }
    return false;
  }
  bool gap = is_gap_row(row);
  if (!s.synchronised) {
    if (gap) s.confirm_left = confirmation_distance;
    return false;
  }
  if (!gap) {
    if (s.sample_index < INT_MAX) ++s.sample_index;
    return false;
  }
  // A gap opens an event only after at least one non-gap row.
  return s.sample_index > 0;
}

// Hot loop: the rows of an event up to, not including, its closing row.
size_t frame_event_rows(const int32_t* rows, size_t available, const frame_geometry& g,
                        framing_state& s, bin_table& bins) {
  size_t take = std::min(available, static_cast<size_t>(event_length - s.sample_index));
  for (size_t k = 0; k < take; ++k) {
    int p = s.sample_index + static_cast<int>(k) - g.window_start;
    if (p >= 0 && p < g.bins_per_channel)
      bins.add_row(bin_of_position(p, g.used_steps), rows + k * channel_count);
  }
  s.sample_index += static_cast<int>(take);
  s.event_rows += static_cast<double>(take);
  return take;
}

}  // namespace

void frame_rows(const int32_t* rows, size_t row_count, const frame_geometry& geometry,
                framing_state& s, bin_table& bins) {
  size_t r = 0;
  while (r < row_count) {
    if (!s.in_event) {
      if (opens_event(rows + r * channel_count, s)) {
        s.in_event = true;
        s.sample_index = 0;
        ++s.events_started;
      } else {
        ++r;
      }
      continue;
    }
    if (s.sample_index < event_length) {
      r += frame_event_rows(rows + r * channel_count, row_count - r, geometry, s, bins);
      continue;
    }
    // The closing row: counted, not binned.
    s.event_rows += 1.0;
    s.in_event = false;
    s.sample_index = 0;
    ++s.events_completed;
    ++r;
  }
}
