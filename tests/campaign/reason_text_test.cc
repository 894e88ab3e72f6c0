// The flags' reasons in words, made from the flags' typed fields.

#include "campaign/judge/reason_text.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

channel_flag range_flag(int channel, double value, quantity_range range) {
  channel_flag f;
  f.channel = channel;
  f.quantity = "rise_time";
  f.unit = "ns";
  f.kind = flag_kind::range;
  f.high = value > range.max;
  f.value = value;
  f.range = range;
  return f;
}

channel_flag robust_flag(int channel, double value, double most, bool relative) {
  channel_flag f;
  f.channel = channel;
  f.quantity = relative ? "amplitude" : "time_stamp";
  f.unit = relative ? "ADC" : "ns";
  f.relative = relative;
  f.kind = channel < 0 ? flag_kind::chip_offset : flag_kind::within_chip;
  f.high = value > 0;
  f.value = value;
  f.most = most;
  return f;
}

TEST(ReasonText, ChannelsSharingARangeShareItsLimitAndOthersSayPerChannel) {
  EXPECT_EQ(grouped_reasons({range_flag(3, 180.5, {140, 175}), range_flag(9, 181.25, {140, 175})}),
            std::vector<std::string>{
                "channels 3, 9: rise_time above its range (180.50, 181.25 ns; limit 140.00 to "
                "175.00)"});
  EXPECT_EQ(grouped_reasons({range_flag(3, 180.5, {140, 175}), range_flag(4, 180.5, {140, 176})}),
            std::vector<std::string>{
                "channels 3, 4: rise_time above its range (180.50, 180.50 ns; limit per "
                "channel)"});
}

TEST(ReasonText, AnUnboundedSideOfARangeIsNone) {
  EXPECT_EQ(grouped_reasons({range_flag(7, 12.0, {20.0, inf})}),
            std::vector<std::string>{"channel 7: rise_time below its range (12.00 ns; limit "
                                     "20.00 to none)"});
}

TEST(ReasonText, ManyValuesReadAsTheirSpanAndRatiosInPercentOrAsMultiples) {
  std::vector<channel_flag> flags;
  for (int ch : {1, 2, 3, 4, 5}) flags.push_back(robust_flag(ch, -10.0 - ch, 4.66, true));
  EXPECT_EQ(grouped_reasons(flags),
            std::vector<std::string>{"channels 1-5: amplitude 11.0 to 15.0 % below the other "
                                     "chips, beyond its chip's offset (limit 4.7 %)"});
  EXPECT_EQ(grouped_reasons({robust_flag(6, 150.0, 25.0, true)}),
            std::vector<std::string>{"channel 6: amplitude 2.5 times the other chips', beyond "
                                     "its chip's offset (limit +25.0 %)"});
  EXPECT_EQ(grouped_reasons({robust_flag(-1, 11.8, 10.2, false)}),
            std::vector<std::string>{
                "all channels: time_stamp 11.80 ns above the other chips (limit 10.20 ns)"});
}

TEST(ReasonText, TheChipsOwnFlagComesFirstThenVerdictsThenRanges) {
  channel_flag verdict;
  verdict.channel = 13;
  verdict.quantity = "verdict";
  verdict.verdict = fit_verdict::too_few_points;
  EXPECT_EQ(grouped_reasons(
                {range_flag(2, 180.0, {140, 175}), verdict, robust_flag(-1, 11.8, 10.2, false)}),
            (std::vector<std::string>{
                "all channels: time_stamp 11.80 ns above the other chips (limit 10.20 ns)",
                "channel 13: too few points to fit (fit verdict too_few_points)",
                "channel 2: rise_time above its range (180.00 ns; limit 140.00 to 175.00)"}));
}

}  // namespace
