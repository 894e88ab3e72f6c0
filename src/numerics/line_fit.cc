#include "numerics/line_fit.h"

#include <gsl/gsl_fit.h>

#include <algorithm>
#include <cmath>

std::optional<line_fit> fit_line(const std::vector<double>& x, const std::vector<double>& y,
                                 const std::vector<double>& sigma) {
  size_t n = x.size();
  if (n < 2 || y.size() != n || sigma.size() != n) return std::nullopt;
  if (std::all_of(x.begin(), x.end(), [&](double v) { return v == x.front(); }))
    return std::nullopt;
  std::vector<double> weights;
  for (double s : sigma) {
    if (!std::isfinite(s) || !(s > 0)) return std::nullopt;
    weights.push_back(1.0 / (s * s));
  }
  line_fit f;
  double cov00 = 0, cov01 = 0, cov11 = 0;
  if (gsl_fit_wlinear(x.data(), 1, weights.data(), 1, y.data(), 1, n, &f.intercept, &f.slope,
                      &cov00, &cov01, &cov11, &f.chi2) != 0)
    return std::nullopt;
  f.intercept_err = std::sqrt(cov00);
  f.slope_err = std::sqrt(cov11);
  return f;
}
