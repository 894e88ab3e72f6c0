#include "tools/front_end_shape.h"

#include <algorithm>
#include <cmath>

namespace {

// Spans after which the plain response (12 peak times) and the tail (3 time constants past
// that) have all but vanished, so that the maxima the table is scaled by lie inside it.
constexpr double response_span_peak_times = 12.0;
constexpr double tail_span_time_constants = 3.0;

// The plain response passed through a first-order low-pass of time constant `tau`, exact for an
// input that is linear between nodes.
std::vector<double> low_pass(const std::vector<double>& in, double step, double tau) {
  const double a = std::exp(-step / tau), c = tau / step * (1 - a);
  std::vector<double> out(in.size(), 0.0);
  for (size_t i = 1; i < in.size(); ++i)
    out[i] = a * out[i - 1] + in[i] - a * in[i - 1] - (in[i] - in[i - 1]) * c;
  return out;
}

// The running integral of `in` (trapezoids), read at `x` nodes from the start (0 before it).
double integral_at(const std::vector<double>& integral, double x) {
  if (x <= 0) return 0.0;
  const size_t i = static_cast<size_t>(x);
  if (i + 1 >= integral.size()) return integral.back();
  return integral[i] + (x - i) * (integral[i + 1] - integral[i]);
}

// `in` convolved with a unit-area box of `width` nodes: the response to a linear ramp.
std::vector<double> ramp_response(const std::vector<double>& in, double step, double width) {
  std::vector<double> integral(in.size(), 0.0);
  for (size_t i = 1; i < in.size(); ++i)
    integral[i] = integral[i - 1] + step * (in[i] + in[i - 1]) / 2;
  std::vector<double> out(in.size());
  for (size_t i = 0; i < in.size(); ++i)
    out[i] = (integral[i] - integral_at(integral, i - width)) / (width * step);
  return out;
}

double largest(const std::vector<double>& values) {
  return *std::max_element(values.begin(), values.end());
}

}  // namespace

double shaper_of_order(double u, double order) {
  if (u <= 0) return 0.0;
  return std::exp(order * (std::log(u) - u + 1));
}

front_end_shape::front_end_shape(const front_end_shape_parameters& p, double longest_ns)
    : tail_time_(p.tail_time), has_tail_(p.tail != 0) {
  double span = std::max(longest_ns, response_span_peak_times * p.peak_time + p.injection_rise);
  if (has_tail_) span += tail_span_time_constants * p.tail_time;
  const size_t nodes = static_cast<size_t>(std::ceil(span / table_step_ns)) + 2;
  table_.resize(nodes);
  for (size_t i = 0; i < nodes; ++i)
    table_[i] = shaper_of_order(i * table_step_ns / p.peak_time, p.order);
  if (has_tail_) {
    const std::vector<double> slow = low_pass(table_, table_step_ns, p.tail_time);
    const double scale = p.tail / largest(slow);
    for (size_t i = 0; i < nodes; ++i) table_[i] += scale * slow[i];
  }
  if (p.injection_rise > 0)
    table_ = ramp_response(table_, table_step_ns, p.injection_rise / table_step_ns);
  const double height = largest(table_);
  for (double& value : table_) value /= height;
}

double front_end_shape::at(double since_start_ns) const {
  if (since_start_ns <= 0) return 0.0;
  const double x = since_start_ns / table_step_ns;
  const size_t i = static_cast<size_t>(x);
  if (i + 1 >= table_.size()) {
    if (!has_tail_) return 0.0;
    const double end = (table_.size() - 1) * table_step_ns;
    return table_.back() * std::exp(-(since_start_ns - end) / tail_time_);
  }
  return table_[i] + (x - i) * (table_[i + 1] - table_[i]);
}
