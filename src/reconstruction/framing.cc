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

// The event rows [first, last) that rows [from, from + count) share with [start, start + length).
struct row_range {
  int first, last;
};
row_range shared_rows(int from, int count, int start, int length) {
  return {std::max(from, start), std::min(from + count, start + length)};
}

// Adds the event rows [from, from + count), held at `rows`, that lie in g's windows to `bins`.
void bin_window_rows(const int32_t* rows, int from, int count, const frame_geometry& g,
                     bin_table& bins) {
  const row_range r = shared_rows(from, count, g.window_start, g.bins_per_channel);
  if (r.first < r.last)
    bins.add_rows(rows + static_cast<size_t>(r.first - from) * channel_count,
                  static_cast<size_t>(r.last - r.first), r.first - g.window_start, g.used_steps);
}

// Adds the sums across channels of the event rows [from, from + count) in g's windows.
void sum_window_rows(const int32_t* rows, int from, int count, const frame_geometry& g,
                     row_sum_table& sums) {
  const row_range r = shared_rows(from, count, g.window_start, g.bins_per_channel);
  if (r.first < r.last)
    sums.add_rows(rows + static_cast<size_t>(r.first - from) * channel_count,
                  static_cast<size_t>(r.last - r.first), r.first - g.window_start);
}

// Whether a gap row lies among the event rows [from, from + count) of g's first pulse window.
bool gap_in_first_window(const int32_t* rows, int from, int count, const frame_geometry& g) {
  const row_range r =
      shared_rows(from, count, g.window_start, std::min(samples_per_step, g.bins_per_channel));
  for (int k = r.first; k < r.last; ++k)
    if (is_gap_row(rows + static_cast<size_t>(k - from) * channel_count)) return true;
  return false;
}

// The rows of an event up to, not including, its closing row; those inside the window are
// binned in one call.
size_t frame_event_rows(const int32_t* rows, size_t available, const frame_geometry& g,
                        framing_state& s, bin_table& bins, const framing_extras& extras) {
  const int take =
      static_cast<int>(std::min(available, static_cast<size_t>(event_length - s.sample_index)));
  bin_window_rows(rows, s.sample_index, take, g, bins);
  if (extras.other_bins)
    bin_window_rows(rows, s.sample_index, take, *extras.other_geometry, *extras.other_bins);
  if (extras.row_sums) sum_window_rows(rows, s.sample_index, take, g, *extras.row_sums);
  if (!s.window_gap) s.window_gap = gap_in_first_window(rows, s.sample_index, take, g);
  s.sample_index += take;
  s.event_rows += static_cast<double>(take);
  return static_cast<size_t>(take);
}

}  // namespace

void frame_rows(const int32_t* rows, size_t row_count, const frame_geometry& geometry,
                framing_state& s, bin_table& bins, const framing_extras& extras) {
  size_t r = 0;
  while (r < row_count) {
    if (!s.in_event) {
      if (opens_event(rows + r * channel_count, s)) {
        s.in_event = true;
        s.sample_index = 0;
        s.window_gap = false;
        ++s.events_started;
      } else {
        ++r;
      }
      continue;
    }
    if (s.sample_index < event_length) {
      r += frame_event_rows(rows + r * channel_count, row_count - r, geometry, s, bins, extras);
      continue;
    }
    // The closing row: counted, not binned.
    s.event_rows += 1.0;
    s.in_event = false;
    s.sample_index = 0;
    ++s.events_completed;
    s.window_gap_events += s.window_gap;
    ++r;
  }
}
