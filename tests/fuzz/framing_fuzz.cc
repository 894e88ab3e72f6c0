// Fuzzes the framing of rows into events and the whole reconstruction from text.
//
// The input is read as a small program that builds rows: a header picks the geometry and how the
// rows are split and written as text, then each 3-byte op appends a run of rows. So a few hundred
// bytes reach whole events, which raw text of that size never does. Whatever bytes are left after
// the last op go after the rows' text unchanged, to end it in anything at all.
//
// Checked on every input: framing in any split, on any instruction set and folding the bins'
// lanes at any interval, equals framing in one go; the counters agree with
// each other (event_rows == 207 * events_completed + the rows of an event still open); no bin
// holds more samples than events began; reconstruct() never throws, gives the same result however
// the source cuts its bytes and when its chunks are parsed on two threads (for a third of the
// inputs), agrees with the framing on the same rows, and notes only what it may.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/diagnostics.h"
#include "reconstruction/baseline.h"
#include "reconstruction/byte_source.h"
#include "reconstruction/framing.h"
#include "reconstruction/read_messages.h"
#include "reconstruction/reconstruct.h"
#include "reconstruction/recording_format.h"

namespace {

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

constexpr int32_t int_min = std::numeric_limits<int32_t>::min();
constexpr int32_t int_max = std::numeric_limits<int32_t>::max();

// Low and high readings, from the limits to the threshold's neighbours.
constexpr int32_t low_values[8] = {0, 5, 29, -1, int_min, -30, 1, int_min + 1};
constexpr int32_t high_values[8] = {100, 30, 31, 4095, int_max, 1000, int_max - 1, 65536};

// Reads the input front to back; past its end every byte is 0.
class input {
 public:
  input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  int32_t int32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(byte()) << (8 * i);
    int32_t out;
    std::memcpy(&out, &v, sizeof out);
    return out;
  }
  std::string_view rest() const {
    if (pos_ >= size_) return {};
    return {reinterpret_cast<const char*>(data_ + pos_), size_ - pos_};
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

struct scenario {
  int window_offset = 15, delay_steps = 10, skipped_steps = 0;
  size_t split_rows = 1;  // rows per call when framing piecewise
  size_t piece = 1;       // bytes per read of the second source
  uint8_t text_style = 0;
  std::vector<int32_t> values;  // whole rows
  std::string_view tail;
  size_t rows() const { return values.size() / channel_count; }
};

// One op: [kind, values, repeat]. kind < 0xf0: `kind % 33` low channels starting at channel
// `kind / 33`, each row's readings drifting with the row number when `values` has its top bit
// set; kind >= 0xf0: one row of 32 raw int32 values (128 further bytes).
void append_rows(input& in, std::vector<int32_t>& values) {
  uint8_t kind = in.byte(), pick = in.byte(), repeat = in.byte();
  int count = repeat % 64 + 1;
  if (kind >= 0xf0) {
    std::vector<int32_t> row(channel_count);
    for (int32_t& v : row) v = in.int32();
    for (int i = 0; i < count; ++i) values.insert(values.end(), row.begin(), row.end());
    return;
  }
  int low = kind % 33, first = kind / 33;
  int32_t low_value = low_values[pick & 7], high_value = high_values[(pick >> 3) & 7];
  bool drift = pick & 0x80;
  for (int i = 0; i < count; ++i) {
    size_t row_number = values.size() / channel_count;
    for (int ch = 0; ch < channel_count; ++ch) {
      bool is_low = (ch - first + channel_count) % channel_count < low;
      int64_t v = is_low ? low_value : high_value;
      if (drift) v += static_cast<int64_t>((row_number * 7 + ch * 3) % 5) - 2;
      if (v < int_min) v = int_min;
      if (v > int_max) v = int_max;
      values.push_back(static_cast<int32_t>(v));
    }
  }
}

scenario read_scenario(const uint8_t* data, size_t size) {
  input in(data, size);
  scenario s;
  uint8_t geometry = in.byte();
  if (geometry % 4 == 1) {
    s.window_offset = 45;
    s.skipped_steps = 2;
  } else if (geometry % 4 == 2) {
    s.window_offset = static_cast<int>(in.byte()) - 20;
    s.delay_steps = in.byte() % 15;
    s.skipped_steps = in.byte() % (s.delay_steps + 2);
  }
  s.split_rows = in.byte() % 37 + 1;
  s.piece = in.byte() % 13 + 1;
  s.text_style = in.byte();
  int ops = in.byte() % 32;
  for (int i = 0; i < ops && !in.empty(); ++i) append_rows(in, s.values);
  s.tail = in.rest();
  return s;
}

// The rows as a recording: values in decimal, separated by any of the six whitespace characters,
// with a plus sign or leading zeros when the style says so; each row ends in a newline.
std::string recording_text(const scenario& s) {
  static constexpr char separators[] = " \t\n\v\f\r";
  std::string text;
  for (size_t i = 0; i < s.values.size(); ++i) {
    int32_t v = s.values[i];
    if ((s.text_style & 1) && v >= 0) text += '+';
    if (s.text_style & 2) text += v < 0 ? "-000" : "000";
    if ((s.text_style & 2) && v < 0)
      text += std::to_string(-static_cast<int64_t>(v));
    else
      text += std::to_string(v);
    bool row_end = (i + 1) % channel_count == 0;
    if (row_end) {
      text += '\n';
    } else {
      text += (s.text_style & 4) ? separators[(i * 5 + s.text_style) % 6] : ' ';
      if (s.text_style & 8) text += "  ";
    }
  }
  return text;
}

struct framed {
  framing_state state;
  bin_table bins;
};

framed frame(const scenario& s, const frame_geometry& g, size_t split_rows,
             parse_path path = best_parse_path(), uint64_t fold_after = bin_table::lane_capacity) {
  framed f{{}, bin_table(g.bins_per_channel, path, fold_after)};
  const int32_t* rows = s.values.data();
  size_t left = s.rows();
  frame_rows(rows, 0, g, f.state, f.bins);
  while (left > 0) {
    size_t n = left < split_rows ? left : split_rows;
    frame_rows(rows, n, g, f.state, f.bins);
    rows += n * channel_count;
    left -= n;
  }
  return f;
}

bool same_state(const framing_state& a, const framing_state& b) {
  return a.synchronised == b.synchronised && a.in_event == b.in_event &&
         a.confirm_left == b.confirm_left && a.sample_index == b.sample_index &&
         a.event_rows == b.event_rows && a.events_started == b.events_started &&
         a.events_completed == b.events_completed;
}

bool same_bins(const bin_table& a, const bin_table& b) {
  if (a.bins() != b.bins()) return false;
  for (int i = 0; i < a.bins(); ++i)
    for (int ch = 0; ch < channel_count; ++ch) {
      const bin_accumulator &x = a.at(ch, i), &y = b.at(ch, i);
      if (x.count != y.count || x.sum != y.sum || x.sum_squares != y.sum_squares) return false;
    }
  return true;
}

void check_framing(const framed& f) {
  const framing_state& s = f.state;
  FUZZ_CHECK(s.events_started >= s.events_completed);
  FUZZ_CHECK(s.events_started - s.events_completed == (s.in_event ? 1 : 0));
  FUZZ_CHECK(s.synchronised || s.events_started == 0);
  FUZZ_CHECK(s.sample_index >= 0);
  FUZZ_CHECK(!s.in_event || s.sample_index <= event_length);
  FUZZ_CHECK(s.confirm_left >= 0 && s.confirm_left <= confirmation_distance);
  double open_rows = s.in_event ? static_cast<double>(s.sample_index) : 0.0;
  FUZZ_CHECK(s.event_rows ==
             (event_length + 1) * static_cast<double>(s.events_completed) + open_rows);
  for (int i = 0; i < f.bins.bins(); ++i) {
    int64_t count = f.bins.at(0, i).count;
    FUZZ_CHECK(count <= s.events_started);
    for (int ch = 0; ch < channel_count; ++ch) {
      const bin_accumulator& b = f.bins.at(ch, i);
      FUZZ_CHECK(b.count == count);
      FUZZ_CHECK(b.sum >= b.count * int64_t{int_min} && b.sum <= b.count * int64_t{int_max});
      FUZZ_CHECK(b.sum_squares >= 0);
    }
  }
}

struct reconstructed {
  bool ok = false;
  snapshot_table table;
  reconstruction_summary summary;
  diagnostics notes;
};

// Reconstructs `text` served in pieces of `piece` bytes, on one thread or, with `chunk` > 0, in
// chunks of that many bytes parsed on two.
reconstructed run_reconstruct(std::string_view text, size_t piece, const scenario& s,
                              size_t chunk = 0) {
  memory_source source(text, piece);
  reconstructed r;
  reading_options reading;
  if (chunk > 0) reading = {best_parse_path(), 2, chunk};
  try {
    r.ok = reconstruct(source, "rec.txt", 20.0, s.window_offset, s.delay_steps, s.skipped_steps,
                       r.table, r.summary, r.notes, reading);
  } catch (...) {
    std::fprintf(stderr, "reconstruct threw\n");
    std::abort();
  }
  return r;
}

bool same_double(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same_result(const reconstructed& a, const reconstructed& b) {
  if (a.ok != b.ok || a.notes != b.notes || a.table.size() != b.table.size()) return false;
  const reconstruction_summary &x = a.summary, &y = b.summary;
  if (x.values_read != y.values_read || x.rows_handled != y.rows_handled ||
      x.event_rows != y.event_rows || x.events_started != y.events_started ||
      x.events_completed != y.events_completed)
    return false;
  for (size_t ch = 0; ch < a.table.size(); ++ch) {
    if (a.table[ch].size() != b.table[ch].size()) return false;
    for (size_t i = 0; i < a.table[ch].size(); ++i) {
      const snapshot_point &p = a.table[ch][i], &q = b.table[ch][i];
      if (!same_double(p.first, q.first) || !same_double(p.second.first, q.second.first) ||
          !same_double(p.second.second, q.second.second))
        return false;
    }
  }
  return true;
}

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

void check_reconstruction(const reconstructed& r, const frame_geometry& g) {
  const reconstruction_summary& s = r.summary;
  FUZZ_CHECK(s.rows_handled == s.values_read / channel_count);
  FUZZ_CHECK(r.table.size() == static_cast<size_t>(channel_count));
  for (const channel_points& ch : r.table) {
    FUZZ_CHECK(ch.size() == static_cast<size_t>(g.bins_per_channel));
    for (const snapshot_point& p : ch) {
      FUZZ_CHECK(std::isfinite(p.first));
      FUZZ_CHECK(p.second.second >= 0.0);  // never NaN either
    }
  }
  // Notes: at most one on how reading stopped, then at most one on a dropped row, then the
  // failure, if any, last.
  size_t i = 0;
  const std::string stop =
      "Reading stopped at value " + std::to_string(s.values_read + 1) + " of rec.txt: ";
  if (i < r.notes.size() && starts_with(r.notes[i], stop)) {
    FUZZ_CHECK(r.notes[i] == stop + "not a number." || r.notes[i] == stop + "number out of range.");
    ++i;
  }
  int left = static_cast<int>(s.values_read % channel_count);
  if (left != 0) {
    FUZZ_CHECK(i < r.notes.size() && r.notes[i] == incomplete_last_row("rec.txt", left));
    ++i;
  }
  if (r.ok) {
    FUZZ_CHECK(i == r.notes.size());
    FUZZ_CHECK(s.events_started > 0);
  } else {
    FUZZ_CHECK(i + 1 == r.notes.size());
    FUZZ_CHECK(r.notes[i] == corrupt_data());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  scenario s = read_scenario(data, size);
  frame_geometry g =
      make_frame_geometry(first_window_row_of(s.window_offset), s.delay_steps, s.skipped_steps);

  framed whole = frame(s, g, s.rows() + 1);
  check_framing(whole);
  // Split, on every instruction set, its lanes folded every few rows.
  for (parse_path path : {parse_path::scalar, parse_path::avx2, parse_path::avx512}) {
    if (!parse_path_available(path)) continue;
    framed split = frame(s, g, s.split_rows, path, s.piece);
    FUZZ_CHECK(same_state(whole.state, split.state));
    FUZZ_CHECK(same_bins(whole.bins, split.bins));
  }

  std::string rows_text = recording_text(s);
  std::string text = rows_text + std::string(s.tail);
  reconstructed at_once = run_reconstruct(text, text.size() + 1, s);
  reconstructed in_pieces = run_reconstruct(text, s.piece, s);
  check_reconstruction(at_once, g);
  FUZZ_CHECK(same_result(at_once, in_pieces));
  // In chunks on two threads for a third of the inputs: a thread costs more than the rest of the
  // input under the sanitizers.
  if (s.piece % 3 == 0)
    FUZZ_CHECK(same_result(at_once, run_reconstruct(text, s.piece, s, s.piece * 97)));

  // Every row written is read back as it was, so the reconstruction frames what frame_rows did;
  // the tail can only add to it.
  const reconstruction_summary& sum = at_once.summary;
  FUZZ_CHECK(sum.rows_handled >= s.rows());
  if (s.tail.empty()) {
    FUZZ_CHECK(sum.values_read == s.values.size());
    FUZZ_CHECK(sum.event_rows == whole.state.event_rows);
    FUZZ_CHECK(sum.events_started == whole.state.events_started);
    FUZZ_CHECK(sum.events_completed == whole.state.events_completed);
    FUZZ_CHECK(at_once.ok == has_samples(whole.bins));
  }
  return 0;
}
