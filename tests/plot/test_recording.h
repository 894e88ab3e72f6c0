#pragma once

#include <cstdint>
#include <set>
#include <string>

// Bench-test recordings for the tests: a delay scan of test pulses on 32 channels, as text.

/// What to put into a recording.
struct test_recording {
  /// Blocks of a gap and its pulses, 220 rows each; the first gap only synchronises.
  int events = 60;
  std::string config = "20mV_delay-all";  ///< picks the pulse windows as the analysis does
  std::set<int> dead_channels;            ///< channels with baseline and noise but no pulse
  double noise = 2.0;                     ///< Gaussian noise, ADC counts (sigma)
  uint64_t seed = 7;                      ///< seeds the noise
};

/// The recording as text: 32 whitespace-separated integers per line, one line per row.
std::string make_recording(const test_recording& r);
/// Writes make_recording(r) to `path`; false when the file cannot be written.
bool write_recording_file(const test_recording& r, const std::string& path);
