#include "fit/shaper_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

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

inline double fourth_by_squares(double u) {
  const double u2 = u * u;
  return u2 * u2;
}

// The model after the pulse start from u^4 and e = exp(-4 (u - 1)); the same operations as
// Fit_Function, so that with fourth_power's u^4 the value is the model's to the last bit.
inline double value_after_start(double u4, double e, double A, double B) {
  return u4 * (e * A) + B;
}

// The first derivatives after the pulse start that do not vanish, and g'.
struct pulse_slopes {
  double peak_time, time_stamp, peak, g1;
};
inline pulse_slopes slopes_after_start(double u, double e, double T, double A) {
  const double g = u * u * u * u * e;
  const double g1 = 4 * u * u * u * (1 - u) * e;
  return {-A * g1 * u / T, -A * g1 / T, g, g1};
}

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
  double e = std::exp((u - 1) * -4);
  double value = value_after_start(fourth(u), e, A, par[baseline_par]);
  if (!grad && !hess) return value;
  const pulse_slopes slopes = slopes_after_start(u, e, T, A);
  double g1 = slopes.g1;
  double g2 = 4 * (3 * u * u - 8 * u * u * u + 4 * u * u * u * u) * e;
  if (grad) {
    grad[peak_time_par] = slopes.peak_time;
    grad[time_stamp_par] = slopes.time_stamp;
    grad[peak_par] = slopes.peak;
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

// The times after the pulse start, packed, with what shaper_at_times works out for them.
struct packed_times {
  std::vector<size_t> index;  // of each time among all
  std::vector<double> u, e, value, peak_time, time_stamp, peak, formed;
  void reserve(size_t n) {
    if (index.size() >= n) return;
    index.resize(n);
    for (auto* v : {&u, &e, &value, &peak_time, &time_stamp, &peak, &formed}) v->resize(n);
  }
};

// The values and slopes at m times after the pulse start from their u and e, with formed[k] 0.0
// where u^4 is std::pow's to give: a loop without branches, which the compiler runs on several
// times at once.
template <bool exact>
void after_start(size_t m, const double* __restrict u, const double* __restrict e,
                 const double* par, double* __restrict value, double* __restrict peak_time,
                 double* __restrict time_stamp, double* __restrict peak,
                 double* __restrict formed) {
  const double T = par[peak_time_par], A = par[peak_par], B = par[baseline_par];
  for (size_t k = 0; k < m; ++k) {
    double u4;
    bool exact_power = true;
    if constexpr (exact)
      exact_power = fourth_power_without_pow(u[k], u4);
    else
      u4 = fourth_by_squares(u[k]);
    value[k] = value_after_start(u4, e[k], A, B);
    const pulse_slopes s = slopes_after_start(u[k], e[k], T, A);
    peak_time[k] = s.peak_time;
    time_stamp[k] = s.time_stamp;
    peak[k] = s.peak;
    formed[k] = exact_power ? 1.0 : 0.0;
  }
}

// shaper_and_derivatives on many times: the times before the pulse start, and std::exp, one by
// one, the arithmetic after the start on several times at once.
template <bool exact>
void values_and_slopes(size_t n, const double* t, const double* par, double* values,
                       double* slopes) {
  thread_local packed_times packed;
  packed.reserve(n);
  const double T = par[peak_time_par], t0 = par[time_stamp_par];
  const double A = par[peak_par], B = par[baseline_par];
  double* d_peak_time = slopes + peak_time_par * n;
  double* d_time_stamp = slopes + time_stamp_par * n;
  double* d_baseline = slopes + baseline_par * n;
  double* d_peak = slopes + peak_par * n;
  size_t m = 0;
  for (size_t i = 0; i < n; ++i) {
    d_baseline[i] = 1.0;
    const double d = t[i] - t0;
    if (d < 0) {
      values[i] = B;
      d_peak_time[i] = d_time_stamp[i] = d_peak[i] = 0.0;
      continue;
    }
    const double u = d / T;
    packed.index[m] = i;
    packed.u[m] = u;
    packed.e[m] = std::exp((u - 1) * -4);
    ++m;
  }
  after_start<exact>(m, packed.u.data(), packed.e.data(), par, packed.value.data(),
                     packed.peak_time.data(), packed.time_stamp.data(), packed.peak.data(),
                     packed.formed.data());
  for (size_t k = 0; k < m; ++k) {
    const size_t i = packed.index[k];
    values[i] = packed.formed[k] != 0.0
                    ? packed.value[k]
                    : value_after_start(std::pow(packed.u[k], 4.0), packed.e[k], A, B);
    d_peak_time[i] = packed.peak_time[k];
    d_time_stamp[i] = packed.time_stamp[k];
    d_peak[i] = packed.peak[k];
  }
}

}  // namespace

void shaper_at_times(size_t n, const double* t, const double* par, double* values, double* slopes) {
  values_and_slopes<true>(n, t, par, values, slopes);
}

void shaper_at_times_fast(size_t n, const double* t, const double* par, double* values,
                          double* slopes) {
  values_and_slopes<false>(n, t, par, values, slopes);
}
