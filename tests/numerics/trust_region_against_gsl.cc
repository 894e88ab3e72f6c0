// The fit's trust region against GSL's own driver, gsl_multifit_nlinear_trust with its default
// parameters and with the Cholesky solver: iteration after iteration, the same outcome, the same
// parameters to the last bit and the same verdict of the convergence test.
//
// The project's kernels sum every product in the reference BLAS's order but form the norm
// otherwise (dense_kernels::norm). So that GSL's driver computes as the project's does, this
// program, and no library of the project, gives GSL the project's norm under the BLAS's name.

#include <gsl/gsl_blas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fit/shaper_model.h"
#include "numerics/damped_least_squares.h"
#include "numerics/dense_kernels.h"
#include "numerics/trust_region.h"

extern "C" double cblas_dnrm2(const int n, const double* x, const int inc) {
  thread_local std::vector<double> packed;
  packed.clear();
  for (int i = 0; i < n && inc > 0; ++i) packed.push_back(x[i * inc]);
  return dense_kernels::norm(packed.data(), packed.size());
}

namespace {

// chi2 residuals (f - y) / e of a model over points, its Jacobian from the model's slopes.
class model_problem final : public residual_source {
 public:
  // f(x) of the free parameters x and its derivatives into grad (p elements).
  using model = double (*)(double t, const double* x, double* grad);
  model_problem(model m, size_t p, std::vector<double> t, std::vector<double> y, double e)
      : m_(m), p_(p), t_(std::move(t)), y_(std::move(y)), e_(e), grad_(p) {}
  size_t n() const { return t_.size(); }
  size_t p() const { return p_; }
  void residuals(const double* x, double* r) override {
    for (size_t i = 0; i < n(); ++i) r[i] = (m_(t_[i], x, grad_.data()) - y_[i]) / e_;
  }
  void jacobian(const double* x, dense_kernels::column_matrix& j) override {
    for (size_t i = 0; i < n(); ++i) {
      m_(t_[i], x, grad_.data());
      for (size_t k = 0; k < p_; ++k) j(i, k) = grad_[k] / e_;
    }
  }

 private:
  model m_;
  size_t p_;
  std::vector<double> t_, y_;
  double e_;
  std::vector<double> grad_;
};

// The shaper with its baseline held at 0: peak time, time stamp, height.
double shaper3(double t, const double* x, double* grad) {
  const double par[] = {x[0], x[1], 0.0, x[2]};
  double all[4];
  const double f = shaper_with_derivatives(t, par, all, nullptr);
  grad[0] = all[0], grad[1] = all[1], grad[2] = all[3];
  return f;
}

// The shaper with all four parameters free.
double shaper4(double t, const double* x, double* grad) {
  return shaper_with_derivatives(t, x, grad, nullptr);
}

// |x - 1| + t: lowest at its start x = 1, where every step is refused, so that iteration after
// iteration makes no progress while the damping grows past every bound.
double kink(double t, const double* x, double* grad) {
  grad[0] = x[0] >= 1 ? 1.0 : -1.0;
  return std::abs(x[0] - 1) + t;
}

int gsl_residuals(const gsl_vector* x, void* problem, gsl_vector* r) {
  static_cast<model_problem*>(problem)->residuals(x->data, r->data);
  return GSL_SUCCESS;
}

int gsl_jacobian(const gsl_vector* x, void* problem, gsl_matrix* j) {
  auto& pb = *static_cast<model_problem*>(problem);
  dense_kernels::column_matrix columns;
  columns.resize(pb.n(), pb.p());
  pb.jacobian(x->data, columns);
  for (size_t i = 0; i < pb.n(); ++i)
    for (size_t k = 0; k < pb.p(); ++k) gsl_matrix_set(j, i, k, columns(i, k));
  return GSL_SUCCESS;
}

std::string hex(double x) {
  char text[40];
  std::snprintf(text, sizeof text, "%a", x);
  return text;
}

struct workspace_deleter {
  void operator()(gsl_multifit_nlinear_workspace* w) const { gsl_multifit_nlinear_free(w); }
};

// Runs both drivers from x0 for `iterations` iterations, whatever each ends in, and returns
// where they first part ("" when they never do).
std::string first_difference(model_problem& pb, std::vector<double> x0, bool normal_equations,
                             int iterations) {
  gsl_set_error_handler_off();
  gsl_multifit_nlinear_parameters params = gsl_multifit_nlinear_default_parameters();
  if (normal_equations) params.solver = gsl_multifit_nlinear_solver_cholesky;
  std::unique_ptr<gsl_multifit_nlinear_workspace, workspace_deleter> w(
      gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &params, pb.n(), pb.p()));
  gsl_multifit_nlinear_fdf fdf{};
  fdf.f = gsl_residuals;
  fdf.df = gsl_jacobian;
  fdf.n = pb.n();
  fdf.p = pb.p();
  fdf.params = &pb;
  gsl_vector_view start = gsl_vector_view_array(x0.data(), x0.size());
  if (gsl_multifit_nlinear_init(&start.vector, &fdf, w.get()) != GSL_SUCCESS) return "GSL's init";
  trust_region tr;
  tr.start(pb, pb.n(), pb.p(), x0.data(), normal_equations);
  for (int k = 0; k < iterations; ++k) {
    const std::string at = "iteration " + std::to_string(k) + ": ";
    const int status = gsl_multifit_nlinear_iterate(w.get());
    const step_result step = tr.iterate();
    if (status != (step == step_result::accepted ? GSL_SUCCESS : GSL_ENOPROG))
      return at + "GSL " + std::to_string(status) + ", ours " + std::to_string(int(step));
    const double* theirs = gsl_multifit_nlinear_position(w.get())->data;
    for (size_t i = 0; i < pb.p(); ++i)
      if (std::memcmp(&theirs[i], &tr.position()[i], sizeof(double)) != 0)
        return at + "parameter " + std::to_string(i) + " GSL " + hex(theirs[i]) + ", ours " +
               hex(tr.position()[i]);
    for (double tol : {1e-7, 1e-12, 0.0}) {
      int info = 0;
      const bool done = gsl_multifit_nlinear_test(tol, tol, 0.0, &info, w.get()) == GSL_SUCCESS;
      if (done != tr.converged(tol, tol)) return at + "the test at " + std::to_string(tol);
    }
  }
  return "";
}

// Pulses near the shaper's shape, with noise, from starts near and far, some hopeless (no pulse,
// or a start that leaves the points), for both solvers; each run well past its convergence, into
// the iterations that make no progress.
TEST(TrustRegionAgainstGsl, TakesGslsStepsOnPulsesToTheLastBit) {
  std::mt19937 rng(2024);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> noise;
  int runs = 0;
  for (int c = 0; c < 160; ++c) {
    const double truth[] = {30 + 300 * u(rng), 300 + 1500 * u(rng), 0.0,
                            c % 8 == 0 ? 0.0 : 2000 * (u(rng) - 0.2)};
    const double sigma = 0.1 + 5 * u(rng), offset = c % 3 == 0 ? 4 * (u(rng) - 0.5) : 0.0;
    std::vector<double> t, y;
    for (int i = 0; i < 150; ++i) {
      t.push_back((i / 10 + 1) * 200.0 - (i % 10) * 20.0);
      y.push_back(Fit_Function(&t.back(), truth) + offset + sigma * noise(rng));
    }
    const bool all_free = c % 5 == 0;
    model_problem pb(all_free ? shaper4 : shaper3, all_free ? 4 : 3, t, y, sigma);
    std::vector<double> x0 = {truth[0] * (0.5 + u(rng)), truth[1] + 200 * (u(rng) - 0.5),
                              truth[3] * (0.5 + u(rng))};
    if (c % 11 == 0) x0 = {150.0, 3500.0, 0.0};  // starts after the last point: no slope at all
    if (c % 13 == 0) x0[0] = 0.0;                // a peak time of 0: nothing finite
    if (all_free) x0.insert(x0.begin() + 2, offset);
    for (bool normal_equations : {false, true}) {
      EXPECT_EQ(first_difference(pb, x0, normal_equations, 30), "")
          << "pulse " << c << (normal_equations ? " by Cholesky" : " by QR");
      ++runs;
    }
  }
  EXPECT_EQ(runs, 320);
}

// Iteration after iteration without progress: the damping grows until it overflows, and once its
// doubling factor wraps it is NaN.
TEST(TrustRegionAgainstGsl, TakesGslsStepsWhereNoStepCanLowerTheResiduals) {
  std::vector<double> t;
  for (int i = 0; i < 12; ++i) t.push_back(0.1 * i);
  model_problem pb(kink, 1, t, std::vector<double>(12, 0.0), 0.5);
  for (bool normal_equations : {false, true})
    EXPECT_EQ(first_difference(pb, {1.0}, normal_equations, 12), "") << normal_equations;
}

// The undamped QR step, which a fit reaches only with a damping that has underflowed to 0, is
// GSL's least-squares solution over the rank it finds, turned downhill: for full rank, for a
// column twice another and for one that is zero.
TEST(TrustRegionAgainstGsl, TheUndampedQrStepIsGslsLeastSquaresSolution) {
  std::mt19937 rng(7);
  std::normal_distribution<double> normal;
  const size_t n = 9, p = 3;
  for (int dependent = 0; dependent < 3; ++dependent) {
    dense_kernels::column_matrix j;
    j.resize(n, p);
    std::vector<double> f(n), norms(p), diag(p, 1.0), ours(p);
    for (double& x : j.data) x = normal(rng);
    for (double& x : f) x = normal(rng);
    for (size_t i = 0; i < n; ++i) {
      if (dependent == 1) j(i, 2) = 2 * j(i, 0);
      if (dependent == 2) j(i, 1) = 0.0;
    }
    for (size_t k = 0; k < p; ++k) norms[k] = dense_kernels::norm(j.column(k), n);
    qr_damped_solver qr;
    qr.prepare(j, norms.data(), f.data());
    ASSERT_TRUE(qr.solve(0.0, diag.data(), ours.data()));

    gsl_matrix* a = gsl_matrix_alloc(n, p);
    for (size_t i = 0; i < n; ++i)
      for (size_t k = 0; k < p; ++k) gsl_matrix_set(a, i, k, j(i, k));
    gsl_vector *tau = gsl_vector_alloc(p), *work = gsl_vector_alloc(p), *x = gsl_vector_alloc(p);
    gsl_vector* residual = gsl_vector_alloc(n);
    gsl_permutation* perm = gsl_permutation_alloc(p);
    int signum = 0;
    gsl_linalg_QRPT_decomp(a, tau, perm, &signum, work);
    const size_t rank = gsl_linalg_QRPT_rank(a, -1.0);
    EXPECT_EQ(rank, dependent == 0 ? 3u : 2u);
    gsl_vector_const_view b = gsl_vector_const_view_array(f.data(), n);
    gsl_linalg_QRPT_lssolve2(a, tau, perm, &b.vector, rank, x, residual);
    for (size_t k = 0; k < p; ++k)
      EXPECT_EQ(ours[k], -gsl_vector_get(x, k)) << dependent << " " << k;
    gsl_permutation_free(perm);
    for (gsl_vector* v : {tau, work, x, residual}) gsl_vector_free(v);
    gsl_matrix_free(a);
  }
}

}  // namespace
