#include "numerics/least_squares.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "numerics/dense_kernels.h"
#include "numerics/trust_region.h"

namespace {

constexpr double converged_edm = 1e-6;
constexpr int newton_polish_steps = 8;

// The points inside the range and the mapping from free to all parameters, with the residuals
// and Jacobian the trust region asks for.
struct problem final : residual_source {
  const fit_model& model;
  std::vector<double> xs, ys, errors;  // the points' x, y and ey, each in a row of its own
  std::vector<int> free;               // indices of the free parameters
  std::vector<double> all;             // every parameter, the free ones overwritten per evaluation
  std::vector<double> grad, hess;      // scratch for one point
  // As the last evaluation of the residuals left them: the model's values, its first
  // derivatives [parameter][point], and the parameters they belong to.
  std::vector<double> values, slopes, slopes_at;

  problem(const fit_model& m, const std::vector<fit_parameter>& pars) : model(m) {
    for (size_t i = 0; i < pars.size(); ++i) {
      all.push_back(pars[i].start);
      if (!pars[i].fixed) free.push_back(static_cast<int>(i));
    }
    grad.resize(all.size());
    hess.resize(all.size() * all.size());
  }
  // Takes the points inside [xmin, xmax] and sizes the scratch for them.
  void take_points(const std::vector<data_point>& data, double xmin, double xmax) {
    for (auto* v : {&xs, &ys, &errors}) v->reserve(data.size());
    for (const data_point& d : data)
      if (d.x >= xmin && d.x <= xmax) {
        xs.push_back(d.x);
        ys.push_back(d.y);
        errors.push_back(d.ey);
      }
    values.resize(n());
    slopes.resize(n() * all.size());
  }
  size_t n() const { return xs.size(); }
  size_t p() const { return free.size(); }
  void set_free(const double* x) {
    for (size_t j = 0; j < p(); ++j) all[free[j]] = x[j];
  }
  // Residual r = (f - y) / ey of point i; fills grad of f when asked for `derivatives` 1 or 2,
  // and hess too for 2.
  double residual(size_t i, int derivatives) {
    double f = model.evaluate(xs[i], all.data(), derivatives > 0 ? grad.data() : nullptr,
                              derivatives > 1 ? hess.data() : nullptr);
    return (f - ys[i]) / errors[i];
  }
  // Every residual into `r`, keeping the slopes found on the way: the trust region asks for the
  // Jacobian where it last asked for the residuals, and the model's exponential and power are
  // then worked out once per point and step, not twice. The slopes are divided by the errors only
  // when the Jacobian is asked for, since many trial steps are refused before it is.
  void residuals_and_slopes(double* r) {
    const size_t count = n();
    if (model.evaluate_many) {
      model.evaluate_many(count, xs.data(), all.data(), values.data(), slopes.data());
    } else {
      for (size_t i = 0; i < count; ++i) {
        values[i] = model.evaluate(xs[i], all.data(), grad.data(), nullptr);
        for (size_t j = 0; j < all.size(); ++j) slopes[j * count + i] = grad[j];
      }
    }
    for (size_t i = 0; i < count; ++i) r[i] = (values[i] - ys[i]) / errors[i];
    slopes_at = all;
  }
  // The first derivatives of f at point i for the current parameters, worked out afresh.
  const double* slopes_of(size_t i) {
    if (model.gradient)
      model.gradient(xs[i], all.data(), grad.data());
    else
      residual(i, 1);
    return grad.data();
  }
  void residuals(const double* x, double* r) override {
    set_free(x);
    residuals_and_slopes(r);
  }
  // From the slopes kept by the last residuals when they were worked out at x (always, but where
  // a parameter is NaN), else afresh.
  void jacobian(const double* x, dense_kernels::column_matrix& jac) override {
    set_free(x);
    const size_t count = n();
    if (slopes_at == all) {
      for (size_t j = 0; j < p(); ++j) {
        const double* slope = &slopes[free[j] * count];
        double* column = jac.column(j);
        for (size_t i = 0; i < count; ++i) column[i] = slope[i] / errors[i];
      }
      return;
    }
    for (size_t i = 0; i < count; ++i) {
      const double* slope = slopes_of(i);
      for (size_t j = 0; j < p(); ++j) jac(i, j) = slope[free[j]] / errors[i];
    }
  }
};

struct gsl_matrix_deleter {
  void operator()(gsl_matrix* m) const { gsl_matrix_free(m); }
};
using matrix_ptr = std::unique_ptr<gsl_matrix, gsl_matrix_deleter>;

// chi2 and its derivatives at the current parameters: with r_i = (f_i - y_i) / e_i,
//   chi2 = sum r^2,   g = 2 sum r dr,   H = 2 sum (dr dr^T + r d2r),   GN = 2 sum dr dr^T,
// where dr = df / e and d2r = d2f / e.
struct curvature {
  double chi2 = 0.0;
  std::vector<double> g, h, gn;  // row-major p x p for h and gn
};

// Adds every point's terms to chi2, g, h and gn (p and p x p elements, zeroed); P is p where it
// is known when compiled, so that the loops over the parameters unroll and the sums stay in
// registers, or 0.
template <size_t P>
void add_curvature(problem& pb, size_t p, double& chi2, double* g, double* h, double* gn,
                   double* dr) {
  if constexpr (P > 0) p = P;
  const size_t np = pb.all.size();
  for (size_t i = 0; i < pb.n(); ++i) {
    double r = pb.residual(i, 2), e = pb.errors[i];
    chi2 += r * r;
    for (size_t a = 0; a < p; ++a) dr[a] = pb.grad[pb.free[a]] / e;
    for (size_t a = 0; a < p; ++a) {
      g[a] += 2 * r * dr[a];
      for (size_t b = 0; b < p; ++b) {
        double d2 = pb.hess[pb.free[a] * np + pb.free[b]] / e;
        gn[a * p + b] += 2 * dr[a] * dr[b];
        h[a * p + b] += 2 * (dr[a] * dr[b] + r * d2);
      }
    }
  }
}

curvature chi2_curvature(problem& pb) {
  size_t p = pb.p();
  curvature c{0.0, std::vector<double>(p), std::vector<double>(p * p), std::vector<double>(p * p)};
  if (p == 3) {
    double g[3] = {}, h[9] = {}, gn[9] = {}, dr[3];
    add_curvature<3>(pb, p, c.chi2, g, h, gn, dr);
    std::copy(g, g + 3, c.g.begin());
    std::copy(h, h + 9, c.h.begin());
    std::copy(gn, gn + 9, c.gn.begin());
  } else {
    std::vector<double> dr(p);
    add_curvature<0>(pb, p, c.chi2, c.g.data(), c.h.data(), c.gn.data(), dr.data());
  }
  return c;
}

// chi2 alone at the current parameters, summed in the same order as by chi2_curvature.
double chi2_at(problem& pb) {
  double chi2 = 0.0;
  for (size_t i = 0; i < pb.n(); ++i) {
    double r = pb.residual(i, 0);
    chi2 += r * r;
  }
  return chi2;
}

// The inverse of the symmetric p x p matrix `m`, or nothing when it is not positive definite.
std::optional<std::vector<double>> inverse_if_positive(const std::vector<double>& m, size_t p) {
  matrix_ptr a(gsl_matrix_alloc(p, p));
  for (size_t i = 0; i < p * p; ++i) a->data[i / p * a->tda + i % p] = m[i];
  if (gsl_linalg_cholesky_decomp1(a.get()) != GSL_SUCCESS) return std::nullopt;
  if (gsl_linalg_cholesky_invert(a.get()) != GSL_SUCCESS) return std::nullopt;
  std::vector<double> inv(p * p);
  for (size_t i = 0; i < p * p; ++i) inv[i] = a->data[i / p * a->tda + i % p];
  for (double v : inv)
    if (!std::isfinite(v)) return std::nullopt;
  return inv;
}

double quadratic_form(const std::vector<double>& g, const std::vector<double>& m, size_t p) {
  double s = 0.0;
  for (size_t a = 0; a < p; ++a)
    for (size_t b = 0; b < p; ++b) s += g[a] * m[a * p + b] * g[b];
  return s;
}

// The trust-region steps until they converge, stall, run out or the limits give up, plus the
// give-up test after each step. No progress on the very first step means no step lowers chi2 at
// all; later, the next iteration tries again from the damping reached.
size_t iterate(problem& pb, trust_region& tr, const fit_limits& limits, bool& gave_up) {
  size_t iter = 0;
  bool converged = false;
  gave_up = false;
  while (!converged && iter < static_cast<size_t>(limits.max_iterations)) {
    const step_result step = tr.iterate();
    if (step == step_result::no_progress && iter == 0) break;
    ++iter;
    if (limits.give_up) {
      pb.set_free(tr.position());
      if (limits.give_up(pb.all.data())) {
        gave_up = true;
        break;
      }
    }
    converged = tr.converged(limits.tolerance, limits.tolerance);
  }
  return iter;
}

// The trust region is kept per thread, so that its storage outlives the fit: a channel's starts
// all fit the same points.
size_t run_trust_region(problem& pb, std::vector<double>& x, const fit_limits& limits,
                        bool& gave_up) {
  thread_local trust_region tr;
  tr.start(pb, pb.n(), pb.p(), x.data(), limits.normal_equations);
  size_t steps = iterate(pb, tr, limits, gave_up);
  x.assign(tr.position(), tr.position() + pb.p());
  return steps;
}

// A few full Newton steps from where the trust region stopped, each kept only if it lowers
// chi2: near the minimum they shrink the remaining distance quadratically. Returns chi2's
// curvature where they end, when the last one worked out was there, so that it is not worked
// out twice.
std::optional<curvature> newton_polish(problem& pb, std::vector<double>& x) {
  size_t p = pb.p();
  for (int step = 0; step < newton_polish_steps; ++step) {
    pb.set_free(x.data());
    curvature c = chi2_curvature(pb);
    auto inv = inverse_if_positive(c.h, p);
    if (!inv) return c;
    std::vector<double> trial(x);
    for (size_t a = 0; a < p; ++a)
      for (size_t b = 0; b < p; ++b) trial[a] -= (*inv)[a * p + b] * c.g[b];
    pb.set_free(trial.data());
    double chi2 = chi2_at(pb);
    if (!(chi2 < c.chi2)) return c;
    x = trial;
  }
  return std::nullopt;
}

// GSL's default handler aborts the process on an error, as its Cholesky decomposition reports a
// matrix that is not positive definite; every status here is checked as a value instead. The
// handler is process-wide, so it is switched off once, safely under threads, rather than on every
// call.
void use_status_values() {
  static std::once_flag once;
  std::call_once(once, [] { gsl_set_error_handler_off(); });
}

}  // namespace

fit_result least_squares_fit(const fit_model& model, const std::vector<fit_parameter>& parameters,
                             const std::vector<data_point>& data, double xmin, double xmax,
                             const fit_limits& limits) {
  use_status_values();
  problem pb(model, parameters);
  pb.take_points(data, xmin, xmax);
  fit_result result;
  result.values = pb.all;
  result.errors.assign(pb.all.size(), 0.0);
  result.points = static_cast<int>(pb.n());
  result.ndf = static_cast<int>(pb.n()) - static_cast<int>(pb.p());
  if (pb.p() == 0 || pb.n() < pb.p()) return result;

  std::vector<double> x;
  for (int j : pb.free) x.push_back(pb.all[j]);
  bool gave_up = false;
  result.iterations = static_cast<int>(run_trust_region(pb, x, limits, gave_up));
  std::optional<curvature> at_end;
  if (!gave_up && limits.polish) at_end = newton_polish(pb, x);

  pb.set_free(x.data());
  curvature c = at_end ? std::move(*at_end) : chi2_curvature(pb);
  size_t p = pb.p();
  auto inv = inverse_if_positive(c.h, p);
  bool hessian_ok = inv.has_value();
  if (!inv) inv = inverse_if_positive(c.gn, p);
  result.values = pb.all;
  result.chi2 = c.chi2;
  bool finite = std::isfinite(c.chi2);
  for (double v : x) finite = finite && std::isfinite(v);
  if (inv) {
    result.edm = 0.5 * quadratic_form(c.g, *inv, p);
    for (size_t j = 0; j < p; ++j) result.errors[pb.free[j]] = std::sqrt(2 * (*inv)[j * p + j]);
  }
  result.gave_up = gave_up;
  result.converged = !gave_up && finite && hessian_ok && result.edm < converged_edm;
  return result;
}
