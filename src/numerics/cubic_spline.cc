#include "numerics/cubic_spline.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

// Solves the dense system a m = b in place by Gaussian elimination with partial pivoting.
// The splines here have a handful of nodes, so a dense solve is simplest and exact enough.
std::vector<double> solve_dense(std::vector<std::vector<double>> a, std::vector<double> b) {
  size_t n = b.size();
  for (size_t col = 0; col < n; ++col) {
    size_t pivot = col;
    for (size_t r = col + 1; r < n; ++r)
      if (std::abs(a[r][col]) > std::abs(a[pivot][col])) pivot = r;
    std::swap(a[col], a[pivot]);
    std::swap(b[col], b[pivot]);
    for (size_t r = col + 1; r < n; ++r) {
      double f = a[r][col] / a[col][col];
      for (size_t c = col; c < n; ++c) a[r][c] -= f * a[col][c];
      b[r] -= f * b[col];
    }
  }
  std::vector<double> m(n);
  for (size_t i = n; i-- > 0;) {
    double s = b[i];
    for (size_t c = i + 1; c < n; ++c) s -= a[i][c] * m[c];
    m[i] = s / a[i][i];
  }
  return m;
}

// Second derivatives m[i] at the nodes. Interior rows are the usual continuity of the first
// derivative; the first and last rows make the third derivative, (m[i+1] - m[i]) / h[i],
// equal on both sides of node 1 and of node n - 2.
std::vector<double> not_a_knot_curvatures(const std::vector<double>& x,
                                          const std::vector<double>& y) {
  size_t n = x.size();
  if (n < 3) return std::vector<double>(n, 0.0);
  if (n == 3) {
    // Both end conditions coincide: the parabola, whose second derivative is constant.
    double d0 = (y[1] - y[0]) / (x[1] - x[0]), d1 = (y[2] - y[1]) / (x[2] - x[1]);
    return std::vector<double>(3, 2 * (d1 - d0) / (x[2] - x[0]));
  }
  std::vector<double> h(n - 1);
  for (size_t i = 0; i + 1 < n; ++i) h[i] = x[i + 1] - x[i];
  std::vector<std::vector<double>> a(n, std::vector<double>(n, 0.0));
  std::vector<double> b(n, 0.0);
  a[0][0] = h[1];
  a[0][1] = -(h[0] + h[1]);
  a[0][2] = h[0];
  for (size_t i = 1; i + 1 < n; ++i) {
    a[i][i - 1] = h[i - 1];
    a[i][i] = 2 * (h[i - 1] + h[i]);
    a[i][i + 1] = h[i];
    b[i] = 6 * ((y[i + 1] - y[i]) / h[i] - (y[i] - y[i - 1]) / h[i - 1]);
  }
  a[n - 1][n - 3] = h[n - 2];
  a[n - 1][n - 2] = -(h[n - 3] + h[n - 2]);
  a[n - 1][n - 1] = h[n - 3];
  return solve_dense(std::move(a), std::move(b));
}

}  // namespace

std::optional<cubic_spline> cubic_spline::through(std::span<const double> x,
                                                  std::span<const double> y) {
  if (x.empty() || x.size() != y.size()) return std::nullopt;
  cubic_spline s;
  s.x_.assign(x.begin(), x.end());
  s.y_.assign(y.begin(), y.end());
  std::vector<double> m = not_a_knot_curvatures(s.x_, s.y_);
  for (size_t i = 0; i + 1 < s.x_.size(); ++i) {
    double h = s.x_[i + 1] - s.x_[i];
    s.pieces_.push_back({(s.y_[i + 1] - s.y_[i]) / h - h * (2 * m[i] + m[i + 1]) / 6, m[i] / 2,
                         (m[i + 1] - m[i]) / (6 * h)});
  }
  return s;
}

double cubic_spline::operator()(double t) const {
  size_t n = x_.size();
  if (n == 1) return y_[0];
  // The piece of the interval holding t; beyond the ends, the end pieces.
  size_t i = std::upper_bound(x_.begin() + 1, x_.end() - 1, t) - x_.begin() - 1;
  // Measured from the piece's own node, a flat spline is exactly its level.
  double dx = t - x_[i];
  const piece& p = pieces_[i];
  return y_[i] + dx * (p.b + dx * (p.c + dx * p.d));
}
