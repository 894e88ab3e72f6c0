#include "reconstruction/bin_table.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <vector>

namespace {

constexpr int used_steps = 10;
constexpr int bins = samples_per_step * used_steps;

// Rows of small values with, now and then, one value beyond the lanes' range, from the edges of
// both ranges and of the 32-bit integers.
std::vector<int32_t> mixed_rows(size_t rows, unsigned seed) {
  constexpr int32_t edges[] = {bin_table::small_value_limit,
                               -bin_table::small_value_limit,
                               bin_table::small_value_limit + 1,
                               -bin_table::small_value_limit - 1,
                               INT_MAX,
                               INT_MIN,
                               0,
                               -1};
  std::mt19937 random(seed);
  std::vector<int32_t> values(rows * channel_count);
  for (int32_t& v : values) v = static_cast<int32_t>(random() % 8192) - 4096;
  for (size_t r = 0; r < rows; ++r)
    if (random() % 3 == 0)
      values[r * channel_count + random() % channel_count] = edges[random() % std::size(edges)];
  return values;
}

// The sums added one sample at a time, in order.
std::vector<bin_accumulator> reference_sums(const std::vector<int32_t>& values, int first) {
  std::vector<bin_accumulator> sums(static_cast<size_t>(bins) * channel_count);
  for (size_t i = 0; i < values.size(); ++i) {
    int position = (first + static_cast<int>(i / channel_count)) % bins;
    int ch = static_cast<int>(i % channel_count);
    sums[static_cast<size_t>(bin_of_position(position, used_steps)) * channel_count + ch].add(
        values[i]);
  }
  return sums;
}

// Adds the rows in runs of `run` that wrap around the window, the way events do.
void add_in_runs(bin_table& table, const std::vector<int32_t>& values, int first, size_t run) {
  size_t rows = values.size() / channel_count;
  int position = first;
  for (size_t r = 0; r < rows;) {
    size_t n = std::min({run, rows - r, static_cast<size_t>(bins - position)});
    table.add_rows(values.data() + r * channel_count, n, position, used_steps);
    r += n;
    position = (position + static_cast<int>(n)) % bins;
  }
}

TEST(BinTable, SumsExactlyOnEveryInstructionSetWhateverTheFolding) {
  const std::vector<int32_t> values = mixed_rows(1000, 7);
  const std::vector<bin_accumulator> expected = reference_sums(values, 37);
  for (parse_path path : {parse_path::scalar, parse_path::avx2, parse_path::avx512}) {
    if (!parse_path_available(path)) continue;
    for (uint64_t fold_after : {uint64_t{1}, uint64_t{5}, bin_table::lane_capacity}) {
      for (size_t run : {size_t{1}, size_t{7}, size_t{150}}) {
        bin_table table(bins, path, fold_after);
        add_in_runs(table, values, 37, run);
        for (int bin = 0; bin < bins; ++bin)
          for (int ch = 0; ch < channel_count; ++ch) {
            const bin_accumulator& got = table.at(ch, bin);
            const bin_accumulator& want = expected[static_cast<size_t>(bin) * channel_count + ch];
            ASSERT_EQ(got.count, want.count);
            ASSERT_EQ(got.sum, want.sum);
            ASSERT_TRUE(got.sum_squares == want.sum_squares)
                << parse_path_name(path) << " fold after " << fold_after << " run " << run
                << " bin " << bin << " channel " << ch;
          }
      }
    }
  }
}

// Many rows into one bin, most of them at the edge of the narrow range, some just past it or
// past the small range: the 32-bit lanes are emptied several times, each time at their fullest.
TEST(BinTable, SumsOneBinsRowsExactlyAtTheEdgesOfTheNarrowRange) {
  constexpr int32_t narrow = bin_table::narrow_value_limit;
  std::vector<int32_t> row(channel_count);
  bin_accumulator want[channel_count];
  std::vector<int32_t> rows;
  for (int r = 0; r < 1000; ++r)
    for (int ch = 0; ch < channel_count; ++ch) {
      int32_t v = ch % 2 == 0 ? narrow : -narrow;
      if (r % 97 == 5 && ch == 3) v = narrow + 1;
      if (r % 211 == 7 && ch == 9) v = -bin_table::small_value_limit - 1;
      rows.push_back(v);
      want[ch].add(v);
    }
  for (parse_path path : {parse_path::scalar, parse_path::avx2, parse_path::avx512}) {
    if (!parse_path_available(path)) continue;
    bin_table table(bins, path);
    for (size_t r = 0; r < 1000; ++r)
      table.add_rows(rows.data() + r * channel_count, 1, 12, used_steps);
    const int bin = bin_of_position(12, used_steps);
    for (int ch = 0; ch < channel_count; ++ch) {
      const bin_accumulator& got = table.at(ch, bin);
      EXPECT_EQ(got.count, want[ch].count);
      EXPECT_EQ(got.sum, want[ch].sum) << parse_path_name(path) << " channel " << ch;
      EXPECT_TRUE(got.sum_squares == want[ch].sum_squares)
          << parse_path_name(path) << " channel " << ch;
    }
  }
}

TEST(BinTable, GoesOnSummingAfterItHasBeenRead) {
  const std::vector<int32_t> values = mixed_rows(300, 3);
  bin_table table(bins);
  add_in_runs(table, values, 0, 150);
  const int64_t half = table.at(5, 20).count;
  add_in_runs(table, values, 0, 150);
  EXPECT_EQ(table.at(5, 20).count, 2 * half);
  EXPECT_EQ(table.at(5, 20).sum, 2 * reference_sums(values, 0)[20 * channel_count + 5].sum);
}

}  // namespace
