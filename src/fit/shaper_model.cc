#include "fit/shaper_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "numerics/fourth_power.h"

double Fit_Function(const double* x, const double* par) {
  double d = x[0] - par[time_stamp_par];
  if (d < 0) return par[baseline_par];
  double u = d / par[peak_time_par];
  return fourth_power(u) * (std::exp((u - 1) * -4) * par[peak_par]) + par[baseline_par];
}

// With g(u) = u^4 e^(-4(u-1)):
//   g'(u)  = 4 u^3 (1 - u) e^(-4(u-1))
//   g''(u) = 4 (3u^2 - 8u^3 + 4u^4) e^(-4(u-1))
// and u = (t - t0) / T, so du/dT = -u/T and du/dt0 = -1/T. For f = A g(u) + B:
//   df/dT = -A g' u / T        df/dt0 = -A g' / T        df/dA = g        df/dB = 1
//   d2f/dT2   = A (g'' u^2 + 2 g' u) / T^2
//   d2f/dTdt0 = A (g'' u + g') / T^2
//   d2f/dt02  = A g'' / T^2
//   d2f/dAdT  = -g' u / T      d2f/dAdt0 = -g' / T      the rest are 0.
// Before the pulse start every derivative but df/dB vanishes; g, g' and g'' are 0 at u = 0, so
// all of them are continuous there.
namespace {

// The model and its derivatives, u^4 formed by `fourth`; see the formulas above.
template <class Fourth>
double shaper_and_derivatives(double t, const double* par, double* grad, double* hess,
                              Fourth fourth) {
  // The few elements are zeroed one by one: a fill of so few bytes became a string instruction
  // whose start-up cost more than the model.
  if (grad) {
    grad[peak_time_par] = grad[time_stamp_par] = grad[peak_par] = 0.0;
    grad[baseline_par] = 1.0;
  }
  double d = t - par[time_stamp_par];
  if (d < 0) {
    if (hess) {
      static constexpr double zeros[shaper_parameter_count * shaper_parameter_count] = {};
      std::memcpy(hess, zeros, sizeof zeros);
    }
    return par[baseline_par];
  }
  double T = par[peak_time_par], A = par[peak_par];
  double u = d / T;
  // The same operations as Fit_Function, so that with fourth_power the value is the model's to
  // the last bit.
  double e = std::exp((u - 1) * -4);
  double value = fourth(u) * (e * A) + par[baseline_par];
  if (!grad && !hess) return value;
  double g = u * u * u * u * e;
  double g1 = 4 * u * u * u * (1 - u) * e;
  double g2 = 4 * (3 * u * u - 8 * u * u * u + 4 * u * u * u * u) * e;
  if (grad) {
    grad[peak_time_par] = -A * g1 * u / T;
    grad[time_stamp_par] = -A * g1 / T;
    grad[peak_par] = g;
  }
  if (hess) {
    auto set = [hess](int i, int j, double v) {
      hess[i * shaper_parameter_count + j] = v;
      hess[j * shaper_parameter_count + i] = v;
    };
    set(peak_time_par, peak_time_par, A * (g2 * u * u + 2 * g1 * u) / (T * T));
    set(peak_time_par, time_stamp_par, A * (g2 * u + g1) / (T * T));
    set(time_stamp_par, time_stamp_par, A * g2 / (T * T));
    set(peak_par, peak_time_par, -g1 * u / T);
    set(peak_par, time_stamp_par, -g1 / T);
    // The elements that vanish after the pulse start, set here rather than by a fill before.
    for (int k = 0; k < shaper_parameter_count; ++k) set(baseline_par, k, 0.0);
    set(peak_par, peak_par, 0.0);
  }
  return value;
}

double fourth_by_squares(double u) {
  const double u2 = u * u;
  return u2 * u2;
}

}  // namespace

double shaper_with_derivatives(double t, const double* par, double* grad, double* hess) {
  return shaper_and_derivatives(t, par, grad, hess, fourth_power);
}

double shaper_with_derivatives_fast(double t, const double* par, double* grad, double* hess) {
  return shaper_and_derivatives(t, par, grad, hess, fourth_by_squares);
}

void shaper_gradient(double t, const double* par, double* grad) {
  // The value's u^4 is not needed, so the general power function is spared.
  shaper_and_derivatives(t, par, grad, nullptr, [](double) { return 0.0; });
}

namespace {

// shaper_and_derivatives on many times, inline, without a call and a fill of the slopes per time.
template <class Fourth>
void values_and_slopes(size_t n, const double* t, const double* par, double* values, double* slopes,
                       Fourth fourth) {
  for (size_t i = 0; i < n; ++i) {
    double grad[shaper_parameter_count];
    values[i] = shaper_and_derivatives(t[i], par, grad, nullptr, fourth);
    for (size_t j = 0; j < shaper_parameter_count; ++j) slopes[j * n + i] = grad[j];
  }
}

}  // namespace

void shaper_at_times(size_t n, const double* t, const double* par, double* values, double* slopes) {
  values_and_slopes(n, t, par, values, slopes, fourth_power);
}

void shaper_at_times_fast(size_t n, const double* t, const double* par, double* values,
                          double* slopes) {
  values_and_slopes(n, t, par, values, slopes, fourth_by_squares);
}
