#pragma once

#include <cstddef>

// The response of a fourth-order semi-Gaussian shaper to a test pulse: flat at Baseline before
// the pulse starts at Time_stamp, then Baseline + Peak * u^4 * exp(-4 (u - 1)) with
// u = (t - Time_stamp) / Peak_Time, which rises to Baseline + Peak at t = Time_stamp + Peak_Time.

/// Parameter indices of the model, in the order the fit and its callers use.
enum shaper_parameter { peak_time_par = 0, time_stamp_par = 1, baseline_par = 2, peak_par = 3 };
/// The number of model parameters.
inline constexpr int shaper_parameter_count = 4;
/// The parameter names, by index.
inline constexpr const char* shaper_parameter_names[shaper_parameter_count] = {
    "Peak_Time", "Time_stamp", "Baseline", "Peak"};

/// The model value at time x[0] (ns) for the parameters par[0..3] (ns, ns, ADC counts, ADC counts).
/// There is no guard against Peak_Time = 0.
double Fit_Function(const double* x, const double* par);

/// The model value at `t` with its first derivatives `grad[4]` and second derivatives
/// `hess[16]` (row-major) in the parameters; either pointer may be null.
double shaper_with_derivatives(double t, const double* par, double* grad, double* hess);

/// As shaper_with_derivatives, but with u^4 formed by multiplication rather than the general
/// power function: several times faster, and equal to the model within a few units in the last
/// place.
double shaper_with_derivatives_fast(double t, const double* par, double* grad, double* hess);

/// The first derivatives `grad[4]` of the model at `t` alone, equal to the ones
/// shaper_with_derivatives gives, without the cost of the value.
void shaper_gradient(double t, const double* par, double* grad);

/// The model values at the `n` times t[0..n) (ns) into values[0..n), and its first derivatives
/// into slopes[j * n + i] (parameter j, time i; 4 n elements): bit for bit what
/// shaper_with_derivatives gives time by time.
void shaper_at_times(size_t n, const double* t, const double* par, double* values, double* slopes);

/// As shaper_at_times, bit for bit what shaper_with_derivatives_fast gives.
void shaper_at_times_fast(size_t n, const double* t, const double* par, double* values,
                          double* slopes);
