#include "common/number_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

// The standard library's std::to_chars writes C's printf digits without its locale, which is
// all these formats need; a formatting library would add a shared library to varnel.exe, whose
// start-up is kept short by linking its libraries in.

namespace {

// Room for the longest fixed text: a sign, 309 whole digits, the point and 100 decimals.
constexpr size_t longest_text = 420;

constexpr int most_decimals = 100;
constexpr int most_significant = 40;

std::string chars_of(double v, std::chars_format format, int precision) {
  std::array<char, longest_text> text;
  const std::to_chars_result r =
      std::to_chars(text.data(), text.data() + text.size(), v, format, precision);
  return std::string(text.data(), r.ptr);
}

}  // namespace

std::string fixed_text(double v, int decimals) {
  return chars_of(v, std::chars_format::fixed, std::clamp(decimals, 0, most_decimals));
}

std::string significant_text(double v, int digits) {
  return chars_of(v, std::chars_format::general, std::clamp(digits, 1, most_significant));
}

std::string shortest_text(double v) {
  std::array<char, 32> text;
  const std::to_chars_result r = std::to_chars(text.data(), text.data() + text.size(), v);
  return std::string(text.data(), r.ptr);
}

std::string plain_significant_text(double v, int digits) {
  const double magnitude = std::abs(v) > 0 ? std::floor(std::log10(std::abs(v))) : 0.0;
  const double wanted = std::clamp(digits, 1, 17) - 1.0 - magnitude;
  return fixed_text(v, static_cast<int>(std::clamp(wanted, 0.0, 6.0)));
}

std::string hex_text(uint64_t v, int digits) {
  std::array<char, 16> text;
  const std::to_chars_result r = std::to_chars(text.data(), text.data() + text.size(), v, 16);
  const std::string_view hex(text.data(), static_cast<size_t>(r.ptr - text.data()));
  const size_t width = static_cast<size_t>(std::clamp(digits, 0, 16));
  return std::string(width > hex.size() ? width - hex.size() : 0, '0').append(hex);
}

std::string zero_padded(int64_t v, int digits) {
  // The magnitude as unsigned, so that the most negative value has one too.
  const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  std::array<char, 20> text;
  const std::to_chars_result r = std::to_chars(text.data(), text.data() + text.size(), magnitude);
  const std::string_view number(text.data(), static_cast<size_t>(r.ptr - text.data()));
  const size_t width = static_cast<size_t>(std::clamp(digits, 0, 20));
  return std::string(v < 0 ? "-" : "")
      .append(width > number.size() ? width - number.size() : 0, '0')
      .append(number);
}

std::string right_aligned(std::string_view text, size_t width) {
  return std::string(width > text.size() ? width - text.size() : 0, ' ').append(text);
}

std::string left_aligned(std::string_view text, size_t width) {
  return std::string(text).append(width > text.size() ? width - text.size() : 0, ' ');
}
