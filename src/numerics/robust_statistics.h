#pragma once

#include <vector>

/// The median of `values`: the middle one, or the mean of the two middle ones for an even
/// count; NaN for none.
double median(std::vector<double> values);

/// The robust standard deviation of `values`: the median absolute deviation from their median
/// times 1.4826, which makes it the standard deviation for normally distributed values; NaN
/// for none.
double robust_sigma(std::vector<double> values);
