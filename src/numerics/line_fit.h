#pragma once

#include <optional>
#include <vector>

/// A straight line y = intercept + slope * x fitted by weighted least squares.
struct line_fit {
  double intercept = 0.0, slope = 0.0;
  double intercept_err = 0.0, slope_err = 0.0;  ///< from the points' errors alone
  double chi2 = 0.0;
};

/// Fits `y`, with errors `sigma`, against `x` (all of one length), each point weighted by
/// 1/sigma^2. Nothing with fewer than two points, an error that is not finite and above 0, or
/// all x equal.
std::optional<line_fit> fit_line(const std::vector<double>& x, const std::vector<double>& y,
                                 const std::vector<double>& sigma);
