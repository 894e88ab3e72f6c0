#include "numerics/least_squares.h"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gsl/gsl_vector.h>

#include <cmath>
#include <memory>
#include <mutex>
#include <optional>

namespace {

constexpr double converged_edm = 1e-6;
constexpr int newton_polish_steps = 8;

// The points inside the range and the mapping from free to all parameters.
struct problem {
  const fit_model& model;
  std::vector<data_point> points;
  std::vector<int> free;           // indices of the free parameters
  std::vector<double> all;         // every parameter, the free ones overwritten per evaluation
  std::vector<double> grad, hess;  // scratch for one point

  problem(const fit_model& m, const std::vector<fit_parameter>& pars) : model(m) {
    for (size_t i = 0; i < pars.size(); ++i) {
      all.push_back(pars[i].start);
      if (!pars[i].fixed) free.push_back(static_cast<int>(i));
    }
    grad.resize(all.size());
    hess.resize(all.size() * all.size());
  }
  size_t n() const { return points.size(); }
  size_t p() const { return free.size(); }
  void set_free(const double* x) {
    for (size_t j = 0; j < p(); ++j) all[free[j]] = x[j];
  }
  // Residual r = (f - y) / ey of point i; fills grad of f when asked for `derivatives` 1 or 2,
  // and hess too for 2.
  double residual(size_t i, int derivatives) {
    const data_point& d = points[i];
    double f = model.evaluate(d.x, all.data(), derivatives > 0 ? grad.data() : nullptr,
                              derivatives > 1 ? hess.data() : nullptr);
    return (f - d.y) / d.ey;
  }
};

struct gsl_vector_deleter {
  void operator()(gsl_vector* v) const { gsl_vector_free(v); }
};
struct gsl_matrix_deleter {
  void operator()(gsl_matrix* m) const { gsl_matrix_free(m); }
};
struct gsl_workspace_deleter {
  void operator()(gsl_multifit_nlinear_workspace* w) const { gsl_multifit_nlinear_free(w); }
};
using vector_ptr = std::unique_ptr<gsl_vector, gsl_vector_deleter>;
using matrix_ptr = std::unique_ptr<gsl_matrix, gsl_matrix_deleter>;

int residuals(const gsl_vector* x, void* context, gsl_vector* r) {
  auto& pb = *static_cast<problem*>(context);
  pb.set_free(x->data);
  for (size_t i = 0; i < pb.n(); ++i) gsl_vector_set(r, i, pb.residual(i, 0));
  return GSL_SUCCESS;
}

int jacobian(const gsl_vector* x, void* context, gsl_matrix* jac) {
  auto& pb = *static_cast<problem*>(context);
  pb.set_free(x->data);
  for (size_t i = 0; i < pb.n(); ++i) {
    if (pb.model.gradient)
      pb.model.gradient(pb.points[i].x, pb.all.data(), pb.grad.data());
    else
      pb.residual(i, 1);
    for (size_t j = 0; j < pb.p(); ++j)
      gsl_matrix_set(jac, i, j, pb.grad[pb.free[j]] / pb.points[i].ey);
  }
  return GSL_SUCCESS;
}

// chi2 and its derivatives at the current parameters: with r_i = (f_i - y_i) / e_i,
//   chi2 = sum r^2,   g = 2 sum r dr,   H = 2 sum (dr dr^T + r d2r),   GN = 2 sum dr dr^T,
// where dr = df / e and d2r = d2f / e.
struct curvature {
  double chi2 = 0.0;
  std::vector<double> g, h, gn;  // row-major p x p for h and gn
};

curvature chi2_curvature(problem& pb) {
  size_t p = pb.p(), np = pb.all.size();
  curvature c{0.0, std::vector<double>(p), std::vector<double>(p * p), std::vector<double>(p * p)};
  std::vector<double> dr(p);
  for (size_t i = 0; i < pb.n(); ++i) {
    double r = pb.residual(i, 2), e = pb.points[i].ey;
    c.chi2 += r * r;
    for (size_t a = 0; a < p; ++a) dr[a] = pb.grad[pb.free[a]] / e;
    for (size_t a = 0; a < p; ++a) {
      c.g[a] += 2 * r * dr[a];
      for (size_t b = 0; b < p; ++b) {
        double d2 = pb.hess[pb.free[a] * np + pb.free[b]] / e;
        c.gn[a * p + b] += 2 * dr[a] * dr[b];
        c.h[a * p + b] += 2 * (dr[a] * dr[b] + r * d2);
      }
    }
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

// The trust-region steps until they converge, stall, run out or the limits give up; as GSL's own
// driver, plus the give-up test after each step.
size_t iterate(problem& pb, gsl_multifit_nlinear_workspace* w, const fit_limits& limits,
               bool& gave_up) {
  size_t iter = 0;
  int info = 0, status = GSL_CONTINUE;
  gave_up = false;
  while (status == GSL_CONTINUE && iter < static_cast<size_t>(limits.max_iterations)) {
    status = gsl_multifit_nlinear_iterate(w);
    // No progress on the very first step means no step lowers chi2 at all.
    if (status == GSL_ENOPROG && iter == 0) break;
    ++iter;
    if (limits.give_up) {
      pb.set_free(gsl_multifit_nlinear_position(w)->data);
      if (limits.give_up(pb.all.data())) {
        gave_up = true;
        break;
      }
    }
    status = gsl_multifit_nlinear_test(limits.tolerance, limits.tolerance, 0.0, &info, w);
  }
  return iter;
}

size_t run_trust_region(problem& pb, std::vector<double>& x, const fit_limits& limits,
                        bool& gave_up) {
  gsl_multifit_nlinear_fdf fdf{};
  fdf.f = residuals;
  fdf.df = jacobian;
  fdf.n = pb.n();
  fdf.p = pb.p();
  fdf.params = &pb;
  gsl_multifit_nlinear_parameters params = gsl_multifit_nlinear_default_parameters();
  if (limits.normal_equations) params.solver = gsl_multifit_nlinear_solver_cholesky;
  std::unique_ptr<gsl_multifit_nlinear_workspace, gsl_workspace_deleter> w(
      gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &params, pb.n(), pb.p()));
  gsl_vector_view start = gsl_vector_view_array(x.data(), x.size());
  if (gsl_multifit_nlinear_init(&start.vector, &fdf, w.get()) != GSL_SUCCESS) return 0;
  size_t steps = iterate(pb, w.get(), limits, gave_up);
  const gsl_vector* end = gsl_multifit_nlinear_position(w.get());
  for (size_t j = 0; j < x.size(); ++j) x[j] = gsl_vector_get(end, j);
  return steps;
}

// A few full Newton steps from where the trust region stopped, each kept only if it lowers
// chi2: near the minimum they shrink the remaining distance quadratically.
void newton_polish(problem& pb, std::vector<double>& x) {
  size_t p = pb.p();
  for (int step = 0; step < newton_polish_steps; ++step) {
    pb.set_free(x.data());
    curvature c = chi2_curvature(pb);
    auto inv = inverse_if_positive(c.h, p);
    if (!inv) return;
    std::vector<double> trial(x);
    for (size_t a = 0; a < p; ++a)
      for (size_t b = 0; b < p; ++b) trial[a] -= (*inv)[a * p + b] * c.g[b];
    pb.set_free(trial.data());
    double chi2 = chi2_at(pb);
    if (!(chi2 < c.chi2)) return;
    x = trial;
  }
}

// GSL's default handler aborts the process on an error; every status here is checked as a value
// instead. The handler is process-wide, so it is switched off once, safely under threads, rather
// than on every call.
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
  for (const data_point& d : data)
    if (d.x >= xmin && d.x <= xmax) pb.points.push_back(d);
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
  if (!gave_up && limits.polish) newton_polish(pb, x);

  pb.set_free(x.data());
  curvature c = chi2_curvature(pb);
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
