#pragma once

#include <optional>
#include <span>
#include <vector>

/// A cubic interpolating spline with not-a-knot end conditions: the third derivative is
/// continuous across the second and the next-to-last node, so any cubic is reproduced exactly.
/// Two nodes give the straight line, three the parabola, one the constant. Outside the nodes the
/// end pieces continue.
class cubic_spline {
 public:
  /// The spline through (x[i], y[i]); x strictly increasing. Nothing when there is no node or
  /// the two spans differ in length.
  static std::optional<cubic_spline> through(std::span<const double> x, std::span<const double> y);

  /// The spline's value at `t`, anywhere on the real line.
  double operator()(double t) const;

 private:
  cubic_spline() = default;
  // Piece i is y_[i] + b (t - x_[i]) + c (t - x_[i])^2 + d (t - x_[i])^3.
  struct piece {
    double b, c, d;
  };
  std::vector<double> x_, y_;
  std::vector<piece> pieces_;
};
