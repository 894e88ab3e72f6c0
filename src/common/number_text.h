#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The numbers a person reads: in logs, messages, reasons, help texts and CSV. Each function
// gives the same characters whatever the process's locale: a point for the decimal separator,
// "nan", "-nan", "inf" and "-inf" for the values that are not finite.

/// `v` with `decimals` digits after the point, rounded to nearest (ties to even on the exact
/// binary value), as C's "%.Nf": fixed_text(2.345, 1) is "2.3", fixed_text(-0.0, 2) "-0.00",
/// fixed_text(1e20, 0) "100000000000000000000". `decimals` is clamped to 0..100.
std::string fixed_text(double v, int decimals);

/// `v` to `digits` significant digits, as C's "%.Ng": trailing zeros dropped, an exponent of at
/// least two digits when it is below -4 or at least `digits` ("1.23e+06", "0.000123").
/// `digits` is clamped to 1..40; 6 is C's "%g".
std::string significant_text(double v, int digits = 6);

/// The shortest text that reads back as exactly `v`: "0.1", "1e+22", "5e-324", "-0".
std::string shortest_text(double v);

/// `v` to `digits` significant digits without an exponent, at most six decimals: with 2
/// digits 0.076, 4.5, 140, 1637 (a number's whole part is never cut), 0.000000 below 5e-7.
/// `digits` is clamped to 1..17.
std::string plain_significant_text(double v, int digits);

/// `v` in hexadecimal with lower-case digits, zeros before it up to `digits` (at most 16):
/// hex_text(255, 4) is "00ff".
std::string hex_text(uint64_t v, int digits);

/// `v` in decimal with zeros before it up to `digits` digits after any sign (at most 20):
/// zero_padded(7, 2) is "07", zero_padded(-7, 3) "-007", zero_padded(123, 2) "123".
std::string zero_padded(int64_t v, int digits);

/// `text` with blanks before it up to `width` bytes; a longer text is left whole.
std::string right_aligned(std::string_view text, size_t width);

/// `text` with blanks after it up to `width` bytes; a longer text is left whole.
std::string left_aligned(std::string_view text, size_t width);
