#include "report/log_format.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(LogHeader, IsSeventyThreeCharactersOverTheColumns) {
  std::string h = log_header();
  EXPECT_EQ(h, "Channel #  Rise time (ns)         Amplitude (ADC)          Timestamp (ns)\n");
  EXPECT_EQ(h.size(), 74u);
}

TEST(LogChannelLine, PlacesEveryFieldAtItsPosition) {
  EXPECT_EQ(log_channel_line(3, {163.27, 0.85, 612.48, 2.31, 812.40, 0.47}),
            " 3        163.27 +/- 0.85         612.48 +/- 2.31         812.40 +/- 0.47\n");
  EXPECT_EQ(log_channel_line(31, {}),
            "31          0.00 +/- 0.00           0.00 +/- 0.00           0.00 +/- 0.00\n");
}

TEST(LogChannelLine, RoundsToTwoDecimals) {
  EXPECT_EQ(log_channel_line(0, {150.004, 0.005, 99.995, 1.0 / 3, 0.126, 0.0}),
            " 0        150.00 +/- 0.01         100.00 +/- 0.33           0.13 +/- 0.00\n");
}

TEST(LogChannelLine, WidensForNumbersWiderThanTheirFields) {
  std::string line = log_channel_line(12, {150.0, 0.5, 600.0, 12.5, 1000.0, 0.25});
  EXPECT_EQ(line, "12        150.00 +/- 0.50         600.00 +/- 12.50         1000.00 +/- 0.25\n");
  EXPECT_EQ(line.size(), 76u);
  EXPECT_EQ(log_channel_line(1, {-7.25, 0.0, -1234.5, 0.0, -7.25, 0.0}),
            " 1         -7.25 +/- 0.00         -1234.50 +/- 0.00          -7.25 +/- 0.00\n");
}

TEST(WriteLog, WritesTheHeaderAndOneLinePerChannel) {
  std::vector<channel_fit> results(32);
  results[2] = {151.5, 0.04, 420.13, 0.09, 810.1, 0.04};
  std::ostringstream out;
  write_log(out, results);
  std::string expected = log_header();
  for (int ch = 0; ch < 32; ++ch) {
    char line[100];
    std::snprintf(line, sizeof line,
                  "%2d          0.00 +/- 0.00           0.00 +/- 0.00           0.00 +/- 0.00\n",
                  ch);
    expected += ch == 2 ? " 2        151.50 +/- 0.04         420.13 +/- 0.09         810.10 +/- "
                          "0.04\n"
                        : line;
  }
  EXPECT_EQ(out.str(), expected);
}

}  // namespace
