#include "reconstruction/common_mode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "reconstruction/framing.h"

namespace {

// Rows of one pulse window position (a baseline bin): each channel's own Gaussian noise of
// `own` plus a part of `shared` common to all, summed into the bins as the framing does.
double measured(double own, double shared, int rows) {
  std::mt19937_64 random(5);
  std::normal_distribution<double> own_noise(0.0, own), shared_noise(0.0, shared);
  bin_table bins(15);
  row_sum_table sums(1);
  std::vector<int32_t> row(channel_count);
  for (int r = 0; r < rows; ++r) {
    const double c = shared_noise(random);
    for (int ch = 0; ch < channel_count; ++ch)
      row[ch] = static_cast<int32_t>(std::lround(1000.0 + 10 * ch + c + own_noise(random)));
    const int position = r % 3;  // the three baseline samples of the window
    bins.add_rows(row.data(), 1, position, 1);
    sums.add_rows(row.data(), 1, position);
    sums.add_rows(row.data(), 1, 3 + r % 12);  // a pulse sample: passed over
  }
  return common_mode_noise(sums, bins);
}

TEST(CommonModeNoise, RecoversTheSharedSpreadBesideEachChannelsOwn) {
  EXPECT_NEAR(measured(2.0, 3.0, 3000), 3.0, 0.25);
  EXPECT_NEAR(measured(4.0, 1.5, 3000), 1.5, 0.35);
  EXPECT_LT(measured(2.0, 0.0, 3000), 0.5);  // the channels' own noise alone
}

TEST(CommonModeNoise, IsNotMeasuredWithoutTwoRowsInABaselineBin) {
  EXPECT_TRUE(std::isnan(measured(2.0, 3.0, 3)));
  EXPECT_FALSE(std::isnan(measured(2.0, 3.0, 6)));
}

}  // namespace
