#pragma once

#include <vector>

// The pulse shape of a real front end, of unit height: the shaper response u^n e^(-n (u - 1)),
// u = time since the pulse start / peak time, of real order n, plus a slow tail, both convolved
// with the linear ramp of the injected step, then scaled so that the maximum is exactly 1.
//
// The tail is the response passed through a first-order filter of the tail's time constant
// (what a misadjusted pole-zero cancellation or an AC coupling adds), scaled so that on its own
// it would peak at `tail` times the pulse height: > 0 a slow positive tail, < 0 an undershoot
// that recovers with that time constant.

/// What shapes one channel's pulse.
struct front_end_shape_parameters {
  double peak_time = 150.0;     ///< ns from the pulse start to the maximum of the plain response
  double order = 4.0;           ///< shaping order n, > 0
  double tail = 0.0;            ///< the tail's own peak, a signed fraction of the pulse height
  double tail_time = 1000.0;    ///< the tail's time constant, ns, > 0
  double injection_rise = 0.0;  ///< duration of the injected step's linear ramp, ns, >= 0
};

/// The plain response u^n e^(-n (u - 1)) at u >= 0 (0 before the start), peaking at 1 at u = 1.
double shaper_of_order(double u, double order);

/// A channel's pulse of unit height, tabulated every `table_step_ns` from its start up to a
/// length given at construction; values between nodes are interpolated linearly.
class front_end_shape {
 public:
  /// The node spacing of the table, ns.
  static constexpr double table_step_ns = 0.25;

  /// Tabulates the shape for times up to `longest_ns` after the start (at least until the tail
  /// and the ramp have shown). `p` must be valid (see the field comments); nothing is checked.
  front_end_shape(const front_end_shape_parameters& p, double longest_ns);

  /// The shape `since_start_ns` after the pulse start: 0 before it; past the table, the last node
  /// decaying with the tail's time constant (0 without a tail).
  double at(double since_start_ns) const;

 private:
  std::vector<double> table_;
  double tail_time_ = 0;
  bool has_tail_ = false;
};
