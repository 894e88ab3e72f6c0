#pragma once

#include <vector>

#include "numerics/least_squares.h"

/// A start of the shaper fit: peak time (ns), time stamp (ns) and height (ADC counts), with the
/// chi2 the points give there.
struct fit_start {
  double peak_time = 0.0;
  double time_stamp = 0.0;
  double peak = 0.0;
  double chi2 = 0.0;
};

/// A channel's points in time order, for the chi2 of the shape at a peak time (ns) and time
/// stamp (ns) with the height that minimises it, solved linearly.
class shape_profile {
 public:
  /// Sorts a copy of `data` by time.
  explicit shape_profile(const std::vector<data_point>& data);

  /// The points in time order.
  const std::vector<data_point>& points() const { return points_; }
  /// The sum of (y / error)^2 over every point: chi2 without a pulse.
  double yy() const { return yy_; }
  /// The most shapes the calls below take at once.
  static constexpr int max_shapes = 4;
  /// For `count` (1 to max_shapes) shapes of unit height g, by their peak times and time stamps:
  /// the sums g.g into `gg` and g.y into `gy`, each term divided by its point's error squared,
  /// over the points from the pulse's start to `reach` peak times after it. Each the same to the
  /// last bit however many are asked at once.
  void sums(const double* peak_time, const double* time_stamp, int count, double reach, double* gg,
            double* gy) const;
  /// For `count` (1 to max_shapes) shapes: the chi2 at the best height into `chi2`, the height
  /// into `peak` (0.0 for a shape that is zero on every point, whose chi2 is yy()); to within
  /// the shape's tail beyond 12 peak times, where it has fallen below 2e-15 of its height, and to
  /// within rounding. Each the same to the last bit however many are asked at once.
  void chi2(const double* peak_time, const double* time_stamp, int count, double* chi2,
            double* peak) const;
  /// chi2() for one shape.
  double chi2(double peak_time, double time_stamp, double& peak) const;

 private:
  std::vector<data_point> points_;
  // The points as the sums use them: their times, the inverses of their errors and their
  // amplitudes over their errors, so that the sums over many shapes need no division.
  std::vector<double> times_, inverse_errors_, weighted_amplitudes_;
  double yy_ = 0.0;
};

/// Starts drawn from the data alone: the shape's maximum placed on the point of largest
/// |amplitude| or between it and its neighbours in time, or its start placed just before one of
/// the two points ahead of that point, at peak times spanning 20 to 600 ns, with the height
/// solved linearly; for each placing, the starts at which chi2 is lowest along the peak times
/// (its local minima); of all these the lowest first, at most `max_starts`. Empty when there
/// are no points.
std::vector<fit_start> data_driven_starts(const shape_profile& profile, int max_starts);

/// Starts with the shape's maximum placed on every point in turn and halfway between
/// neighbours, at peak times of 25, 60 and
/// 150 ns (the height solved linearly): for each peak time the placing of lowest chi2; of
/// these the lowest first, at most `max_starts`. For pulses too weak to stand out of the noise,
/// whose largest point may lie anywhere.
std::vector<fit_start> range_starts(const shape_profile& profile, int max_starts);
