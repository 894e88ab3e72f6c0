#include "tools/channel_response.h"

#include <algorithm>
#include <charconv>
#include <cmath>

std::optional<double> injected_mv(const std::string& config) {
  const size_t digits = config.find_first_not_of("0123456789.");
  if (digits == 0 || digits == std::string::npos || config.compare(digits, 2, "mV") != 0) return {};
  double mv = 0;
  const auto [end, error] = std::from_chars(config.data(), config.data() + digits, mv);
  if (error != std::errc() || end != config.data() + digits || !(mv > 0)) return {};
  return mv;
}

double soft_saturation::amplitude(double gain, double mv) const {
  return gain * mv / (1 + std::pow(mv / knee_mv, power));
}

soft_saturation saturation_between(double smallest_mv, double largest_mv) {
  // At the largest amplitude (largest / knee)^power = 1/9 takes 10 % off; at the smallest
  // (smallest / largest)^power / 9 is at most 1/100, i.e. 0.99 % off, when the power is at
  // least log(0.09) / log(smallest / largest).
  const double ratio = smallest_mv / largest_mv;
  const double power = ratio < 1 ? std::max(2.0, std::log(0.09) / std::log(ratio)) : 2.0;
  return {largest_mv * std::pow(9.0, 1.0 / power), power};
}
