#pragma once

#include <cstddef>
#include <vector>

/// The median absolute deviation of normally distributed values times this is their standard
/// deviation (1 / the normal distribution's 75th percentile).
inline constexpr double mad_to_sigma = 1.4826;

/// The median of `values`: the middle one, or the mean of the two middle ones for an even
/// count; NaN for none.
double median(std::vector<double> values);

/// The upper median of `values`: the middle one, or the larger of the two middle ones for an even
/// count; NaN for none.
double upper_median(std::vector<double> values);

/// The `p`-quantile (0..1) of ascending `sorted`, interpolating linearly between the two values
/// about rank p x (n - 1): 0 gives the least, 1 the largest, 0.5 the median; NaN for none.
double quantile(const std::vector<double>& sorted, double p);

/// The robust standard deviation of `values`: the median absolute deviation from their median
/// times mad_to_sigma; NaN for none.
double robust_sigma(std::vector<double> values);

/// robust_sigma of `magnitudes` (values >= 0) and their negatives together, as the robust rule
/// pools deviations of both signs: that set's median is zero, so its MAD is the median of the
/// magnitudes, and this is mad_to_sigma times it, to the last bit, at half the work; NaN for
/// none.
double symmetric_robust_sigma(std::vector<double> magnitudes);
