// A population's statistics made in passes over values kept on a spill file, against those of
// the values held in memory.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>

#include "campaign/campaign_support.h"
#include "campaign/judge/population_stats.h"
#include "campaign/judge/robust_rule.h"

namespace {

// Whether `a` and `b` are the same number to the last bit, or both NaN.
bool same_number(double a, double b) {
  return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

void expect_same_summary(const two_level_summary& got, const two_level_summary& want,
                         const std::string& what) {
  for (size_t ch = 0; ch < channel_count; ++ch) {
    EXPECT_EQ(got.middle[ch].count, want.middle[ch].count) << what << ", channel " << ch;
    for (size_t j = 0; j < 3; ++j)
      EXPECT_TRUE(same_number(got.middle[ch].around[j], want.middle[ch].around[j]))
          << what << ", channel " << ch << ", around " << j << ": " << got.middle[ch].around[j]
          << " against " << want.middle[ch].around[j];
  }
  EXPECT_TRUE(same_number(got.single_sigma, want.single_sigma)) << what;
  EXPECT_TRUE(same_number(got.sigma, want.sigma)) << what;
  EXPECT_TRUE(same_number(got.chip_sigma, want.chip_sigma)) << what;
  EXPECT_EQ(got.chips, want.chips) << what;
}

row_source source_of(const chip_channel_values& rows) {
  return [&rows](const std::function<void(const channel_row&)>& visit) {
    for (const channel_row& r : rows) visit(r);
  };
}

// A population of `chips` chips as the bench measures one quantity: a middle value, each chip's
// offset from it, each channel's scatter about its chip, a channel or a chip now and then with
// no value, dead (zero), far off or overflowing, and values on a coarse grid so that some tie.
chip_channel_values population(std::mt19937_64& draw, size_t chips, bool relative, int kind) {
  std::normal_distribution<double> offset(0.0, kind == 2 ? 0.0 : 0.02),
      scatter(0.0, kind == 1 ? 1e-9 : 0.01);
  chip_channel_values rows(chips);
  for (channel_row& row : rows) {
    const double chip = offset(draw);
    const bool dead_chip = draw() % 40 == 0;
    for (size_t ch = 0; ch < channel_count; ++ch) {
      double v = 50.0 * (1.0 + chip + scatter(draw));
      if (kind == 3) v = std::round(v);  // a coarse grid: many ties
      if (!relative) v -= 50.0;
      const uint64_t odd = draw() % 200;
      if (dead_chip || odd == 0) v = std::numeric_limits<double>::quiet_NaN();
      if (odd == 1) v = 0.0;
      if (odd == 2) v *= 40.0;
      if (odd == 3 && kind == 4) v = 1.7e308;
      row[ch] = v;
    }
  }
  return rows;
}

TEST(SpilledStatistics, TheTwoLevelFiguresMadeInPassesAreThoseOfTheRowsHeldToTheLastBit) {
  std::mt19937_64 draw(17);
  for (size_t chips : {0, 1, 3, 4, 5, 9, 40, 257, 3001})
    for (bool relative : {false, true})
      for (int kind = 0; kind < 5; ++kind) {
        const chip_channel_values rows = population(draw, chips, relative, kind);
        for (bool upper_only : {false, true}) {
          const std::string what = std::to_string(chips) + " chips, " +
                                   (relative ? "relative" : "absolute") + ", kind " +
                                   std::to_string(kind) + (upper_only ? ", upper only" : "");
          std::optional<two_level_summary> got = streamed_two_level(source_of(rows), relative);
          ASSERT_TRUE(got) << what;
          expect_same_summary(*got, summary_of(two_level_deviations_of(rows, relative, upper_only)),
                              what);
        }
      }
}

TEST(SpilledStatistics, APooledResidualWithNoOrderIsLeftToTheRowsHeld) {
  // A relative quantity whose chip reads a thousandth of the least normal number on channels
  // where the others read 1e300: each of its deviations is -1, so is its offset, and its
  // residuals are 0 / 0.
  chip_channel_values rows(6);
  for (channel_row& row : rows) row.fill(1e300);
  rows[2].fill(4.9e-324);
  const chip_channel_values& held = rows;
  EXPECT_FALSE(streamed_two_level(source_of(held), true));
  EXPECT_TRUE(std::isnan(two_level_deviations_of(rows, true).residual[2][0]));
}

// `count` members of one configuration as a campaign's chips give them: some unclean, a few short
// of events, every quantity's values drawn as population() draws one.
std::vector<population_member> members(size_t count) {
  std::mt19937_64 draw(23);
  std::vector<population_member> out(count);
  std::array<chip_channel_values, quantity_count> values;
  for (size_t q = 0; q < quantity_count; ++q)
    values[q] = population(draw, count, q % 2 == 0, static_cast<int>(q % 4));
  for (size_t i = 0; i < count; ++i) {
    population_member& m = out[i];
    m.analysed = draw() % 50 != 0;
    m.clean = m.analysed && draw() % 30 != 0;
    m.events = draw() % 25 == 0 ? 300 : 1000 + static_cast<int64_t>(draw() % 5);
    m.common_mode = 1.5 + 0.01 * static_cast<double>(draw() % 100);
    for (size_t q = 0; q < quantity_count; ++q)
      m.values[q] = m.clean ? values[q][i] : channel_row{};
    if (!m.clean)
      for (channel_row& row : m.values) row.fill(std::numeric_limits<double>::quiet_NaN());
  }
  return out;
}

// The statistics of `all` made by a builder that spills, in two halves merged, as a campaign read
// on two connections is made.
population_stats spilled_stats(const std::vector<population_member>& all) {
  population_builder first(std::nullopt, true), second(std::nullopt, true);
  for (size_t i = 0; i < all.size(); ++i) (i < all.size() / 3 ? first : second).add(all[i]);
  first.merge(std::move(second));
  return first.finish();
}

population_stats held_stats(const std::vector<population_member>& all) {
  population_builder held(std::nullopt);
  for (const population_member& m : all) held.add(m);
  return held.finish();
}

TEST(SpilledStatistics, ABuilderThatSpillsMakesTheStatisticsOfOneThatHoldsOnFileOrWithoutOne) {
  for (size_t count : {3, 12, 700, 2600}) {
    const std::vector<population_member> all = members(count);
    const population_stats want = held_stats(all);
    EXPECT_TRUE(same_stats(spilled_stats(all), want)) << count << " chips";
    if (count == 2600) {
      EXPECT_TRUE(want.ready && want.sound_chips > 2000) << want.sound_chips;
    }
  }
  // Where no spill file can be made the values are held, and the statistics are the same.
  const std::vector<population_member> all = members(700);
  const char* was = std::getenv("TMPDIR");
  const std::string before = was ? was : "";
  setenv("TMPDIR", "/nonexistent/folder", 1);
  const population_stats without_file = spilled_stats(all);
  if (was)
    setenv("TMPDIR", before.c_str(), 1);
  else
    unsetenv("TMPDIR");
  EXPECT_TRUE(same_stats(without_file, held_stats(all)));
}

TEST(SpilledStatistics, AFileThatFillsUpKeepsWhatItWroteAndTheRestIsHeld) {
  // Files may grow to 1.5 MB, two blocks of values: the third write fails as on a full disk
  // (EFBIG, its signal ignored), and the builder holds the rest.
  const std::vector<population_member> all = members(2000);
  const population_stats want = held_stats(all);
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  auto signal_before = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = before;
  small.rlim_cur = 1500000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const population_stats got = spilled_stats(all);
  setrlimit(RLIMIT_FSIZE, &before);
  std::signal(SIGXFSZ, signal_before);
  EXPECT_TRUE(same_stats(got, want));
}

}  // namespace
