#include "support/bench_recording.h"

#include <cmath>

namespace {

// g(u) = u^4 exp(-4 (u - 1)) for u >= 0: the shaper's response, 1 at its peak u = 1.
double shaper(double u) {
  return u < 0 ? 0.0 : std::pow(u, 4) * std::exp(-4 * (u - 1));
}

// Noise of spread about 2 from a fixed linear congruential sequence: the sum of four uniform
// numbers, centred.
class noise {
 public:
  double next() {
    double sum = 0;
    for (int i = 0; i < 4; ++i) {
      state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
      sum += static_cast<double>(state_ >> 11) / 9007199254740992.0;
    }
    return (sum - 2.0) * 3.46;
  }

 private:
  uint64_t state_ = 12345;
};

}  // namespace

std::vector<int32_t> bench_rows(int events) {
  std::vector<int32_t> values;
  values.reserve(static_cast<size_t>(events) * bench_event_spacing * 32);
  noise n;
  for (int e = 0; e < events; ++e)
    for (int r = 0; r < bench_event_spacing; ++r)
      for (int ch = 0; ch < 32; ++ch) {
        double v = 5.0;
        if (r >= bench_gap_rows) {
          double amplitude = 400 + 10 * ch, peak_time = 150 + (ch % 5) * 3;
          double start = 800 + (ch % 3) * 5 - 200;
          v = 100 + ch;
          // Pulse j of the event starts at row 11 + 15 j; sample q of it is 200 q - 20 j ns in.
          int rel = r - 11;
          if (rel >= 0 && rel < 150) {
            int j = rel / 15, q = rel % 15;
            v += amplitude * shaper((200.0 * q - 20.0 * j - start) / peak_time);
          }
        }
        values.push_back(static_cast<int32_t>(std::lround(v + n.next())));
      }
  return values;
}

std::string recording_text(const std::vector<int32_t>& values,
                           const std::function<std::string(int32_t)>& write_value) {
  std::string text;
  text.reserve(values.size() * 5);
  for (size_t i = 0; i < values.size(); ++i) {
    text += write_value ? write_value(values[i]) : std::to_string(values[i]);
    text += (i + 1) % 32 == 0 ? '\n' : ' ';
  }
  return text;
}
