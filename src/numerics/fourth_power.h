#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace fourth_power_detail {

/// a * a as p + e exactly (Dekker's product, without fused multiply-add), for |a| below 2^995.
inline void exact_square(double a, double& p, double& e) {
  const double c = 134217729.0 * a;  // 2^27 + 1: splits a into two halves of 26 bits
  const double high = c - (c - a), low = a - high;
  p = a * a;
  e = ((high * high - p) + 2.0 * high * low) + low * low;
}

}  // namespace fourth_power_detail

/// u^4 formed exactly as a sum of two doubles and rounded to the nearest double, into `r`; true
/// where that double is the one std::pow(u, 4.0) gives, false where std::pow must be asked (the
/// power zero, far below 1, near overflow, infinite or NaN, or too near a rounding boundary).
/// Without branches, so that a loop over many u may run it on several at once.
inline bool fourth_power_without_pow(double u, double& r) {
  double h, hl, p, pl;
  fourth_power_detail::exact_square(u, h, hl);       // u^2 = h + hl
  fourth_power_detail::exact_square(h, p, pl);       // h^2 = p + pl
  const double low = pl + (2.0 * h * hl + hl * hl);  // the rest of u^4, to 2^-100 of it
  r = p + low;
  const double off = (p - r) + low;  // the exact power less r
  // 2^e for r's exponent e: infinite for an infinite or NaN r, zero for zero.
  constexpr uint64_t exponent_bits = uint64_t{0x7ff} << 52;
  const double scale = std::bit_cast<double>(std::bit_cast<uint64_t>(r) & exponent_bits);
  // Far enough from zero and overflow for every step above to be exact and the spacing below a
  // normal double: biased exponents 201 to 1799.
  const bool in_range = (scale >= 0x1p-822) & (scale < 0x1p777);
  // The spacing of doubles at r, the smaller one at a power of two.
  const double spacing = scale * (std::abs(r) == scale ? 0x1p-53 : 0x1p-52);
  return in_range & (std::abs(off) < 0.45 * spacing);
}

/// u^4, bit for bit what std::pow(u, 4.0) gives, at a fraction of its cost for most u. The power
/// is formed exactly as a sum of two doubles and rounded to the nearest double; std::pow, being
/// within 0.54 units in the last place, must give that same double wherever the exact power lies
/// within 0.46 units of it, and it is taken where it lies within 0.45. Otherwise, and where the
/// power is zero, far below 1, near overflow, infinite or NaN, std::pow itself is asked.
inline double fourth_power(double u) {
  double r;
  if (fourth_power_without_pow(u, r)) return r;
  return std::pow(u, 4.0);
}
