#pragma once

#include <sstream>
#include <string>
#include <vector>

// Reading simulated recordings back in the tests of the simulator.

/// Every value of a recording's text, in order.
inline std::vector<int> values_of(const std::string& text) {
  std::istringstream in(text);
  std::vector<int> values;
  for (int v; in >> v;) values.push_back(v);
  return values;
}

/// The reading of `channel` in row `row` of a recording's values.
inline int at(const std::vector<int>& v, int row, int channel) {
  return v[row * 32 + channel];
}

/// The covariance, over the rows `rows` lists, of the mean readings of channels 0-15 and of
/// channels 16-31: the variance of what moves all channels alike, ADC counts squared.
inline double shared_variance(const std::vector<int>& v, const std::vector<int>& rows) {
  double sx = 0, sy = 0, sxy = 0;
  for (int r : rows) {
    double x = 0, y = 0;
    for (int c = 0; c < 16; ++c) x += at(v, r, c) / 16.0;
    for (int c = 16; c < 32; ++c) y += at(v, r, c) / 16.0;
    sx += x;
    sy += y;
    sxy += x * y;
  }
  const double n = static_cast<double>(rows.size());
  return sxy / n - sx / n * (sy / n);
}
