#include "numerics/least_squares.h"

#include <gsl/gsl_cblas.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_multifit_nlinear.h>
#include <gsl/gsl_vector.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr double converged_edm = 1e-6;
constexpr int newton_polish_steps = 8;

// The points inside the range and the mapping from free to all parameters.
struct problem {
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
  if (r->stride == 1) {
    pb.residuals_and_slopes(r->data);
  } else {
    std::vector<double> values(pb.n());
    pb.residuals_and_slopes(values.data());
    for (size_t i = 0; i < pb.n(); ++i) gsl_vector_set(r, i, values[i]);
  }
  return GSL_SUCCESS;
}

int jacobian(const gsl_vector* x, void* context, gsl_matrix* jac) {
  auto& pb = *static_cast<problem*>(context);
  pb.set_free(x->data);
  const size_t n = pb.n(), p = pb.p();
  if (pb.slopes_at == pb.all) {
    for (size_t j = 0; j < p; ++j) {
      const double* slope = &pb.slopes[pb.free[j] * n];
      for (size_t i = 0; i < n; ++i) jac->data[i * jac->tda + j] = slope[i] / pb.errors[i];
    }
    return GSL_SUCCESS;
  }
  for (size_t i = 0; i < n; ++i) {
    const double* slopes = pb.slopes_of(i);
    double* row = jac->data + i * jac->tda;
    for (size_t j = 0; j < p; ++j) row[j] = slopes[pb.free[j]] / pb.errors[i];
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

// Trust-region workspaces kept per thread for the sizes and solvers last used: a channel's starts
// all fit the same points, and GSL reinitialises a workspace for each fit, so that allocating
// one afresh for every fit bought nothing.
class workspace_cache {
 public:
  gsl_multifit_nlinear_workspace* get(size_t n, size_t p, bool normal_equations) {
    for (entry& e : kept_)
      if (e.n == n && e.p == p && e.normal_equations == normal_equations) return e.w.get();
    gsl_multifit_nlinear_parameters params = gsl_multifit_nlinear_default_parameters();
    if (normal_equations) params.solver = gsl_multifit_nlinear_solver_cholesky;
    workspace_ptr w(gsl_multifit_nlinear_alloc(gsl_multifit_nlinear_trust, &params, n, p));
    if (!w) return nullptr;
    if (kept_.size() == max_kept) kept_.erase(kept_.begin());
    kept_.push_back({n, p, normal_equations, std::move(w)});
    return kept_.back().w.get();
  }

 private:
  static constexpr size_t max_kept = 4;
  using workspace_ptr = std::unique_ptr<gsl_multifit_nlinear_workspace, gsl_workspace_deleter>;
  struct entry {
    size_t n, p;
    bool normal_equations;
    workspace_ptr w;
  };
  std::vector<entry> kept_;
};

size_t run_trust_region(problem& pb, std::vector<double>& x, const fit_limits& limits,
                        bool& gave_up) {
  gsl_multifit_nlinear_fdf fdf{};
  fdf.f = residuals;
  fdf.df = jacobian;
  fdf.n = pb.n();
  fdf.p = pb.p();
  fdf.params = &pb;
  thread_local workspace_cache workspaces;
  gsl_multifit_nlinear_workspace* w = workspaces.get(pb.n(), pb.p(), limits.normal_equations);
  if (!w) return 0;
  gsl_vector_view start = gsl_vector_view_array(x.data(), x.size());
  if (gsl_multifit_nlinear_init(&start.vector, &fdf, w) != GSL_SUCCESS) return 0;
  size_t steps = iterate(pb, w, limits, gave_up);
  const gsl_vector* end = gsl_multifit_nlinear_position(w);
  for (size_t j = 0; j < x.size(); ++j) x[j] = gsl_vector_get(end, j);
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

// GSL's default handler aborts the process on an error; every status here is checked as a value
// instead. The handler is process-wide, so it is switched off once, safely under threads, rather
// than on every call.
void use_status_values() {
  static std::once_flag once;
  std::call_once(once, [] { gsl_set_error_handler_off(); });
}

}  // namespace

// GSL's reference BLAS forms a norm by scaling each element by the largest so far, a division per
// element, so that no square can overflow; the trust region takes the norm of the residuals, and
// its QR solver of every Householder column, on each step, where that division was a tenth of the
// fit's time. The plain sum of squares gives the same norm to within a few units in the last
// place, and is used wherever it can neither overflow nor lose digits below the smallest normal
// number; elsewhere the norm is scaled as the library scales it. Being defined in this library,
// it stands in for the library's own in every program linked with it.
extern "C" double cblas_dnrm2(const int n, const double* x, const int inc) {
  if (n <= 0 || inc <= 0) return 0.0;
  // Four sums side by side, so that the additions need not wait for one another.
  double part[4] = {0.0, 0.0, 0.0, 0.0};
  int i = 0;
  for (; i + 4 <= n; i += 4)
    for (int k = 0; k < 4; ++k) part[k] += x[(i + k) * inc] * x[(i + k) * inc];
  for (; i < n; ++i) part[0] += x[i * inc] * x[i * inc];
  const double sum = (part[0] + part[1]) + (part[2] + part[3]);
  constexpr double smallest = 1e-280, largest = 1e280;
  if (std::isnan(sum) || (sum > smallest && sum < largest)) return std::sqrt(sum);
  double scale = 0.0, ssq = 1.0;
  for (i = 0; i < n; ++i) {
    if (x[i * inc] == 0.0) continue;
    const double a = std::abs(x[i * inc]);
    if (scale < a) {
      ssq = 1.0 + ssq * (scale / a) * (scale / a);
      scale = a;
    } else {
      ssq += (a / scale) * (a / scale);
    }
  }
  return scale * std::sqrt(ssq);
}

// y = x, for n elements at increments incx and incy, a negative one walking from the far end as
// in the reference BLAS; the trust region copies whole vectors on every step, which the
// reference did element by element. Like cblas_dnrm2 above, it stands in for the library's.
extern "C" void cblas_dcopy(const int n, const double* x, const int incx, double* y,
                            const int incy) {
  if (n <= 0) return;
  if (incx == 1 && incy == 1) {
    std::copy_n(x, n, y);
    return;
  }
  const ptrdiff_t x0 = incx > 0 ? 0 : ptrdiff_t{n - 1} * -incx;
  const ptrdiff_t y0 = incy > 0 ? 0 : ptrdiff_t{n - 1} * -incy;
  for (int i = 0; i < n; ++i) y[y0 + ptrdiff_t{i} * incy] = x[x0 + ptrdiff_t{i} * incx];
}

namespace {

// f(std::integral_constant<int, W>) for W = `width`, 1 to 4: picks the fixed-size form of a small
// product below.
template <class F>
void with_width(int width, F&& f) {
  switch (width) {
    case 1:
      return f(std::integral_constant<int, 1>{});
    case 2:
      return f(std::integral_constant<int, 2>{});
    case 3:
      return f(std::integral_constant<int, 3>{});
    default:
      return f(std::integral_constant<int, 4>{});
  }
}

// y[0..L) += alpha x[j] row j for the rows j of `a` in turn, y held in registers meanwhile: the
// Jacobian's transpose times a vector, each element summed in the rows' order as the reference
// BLAS sums it.
template <int L>
void gather_rows(int rows, double alpha, const double* a, int lda, const double* x, ptrdiff_t x0,
                 int incx, double* y) {
  double sum[L];
  for (int i = 0; i < L; ++i) sum[i] = y[i];
  for (int j = 0; j < rows; ++j) {
    const double scale = alpha * x[x0 + ptrdiff_t{j} * incx];
    if (scale == 0.0) continue;
    const double* row = a + ptrdiff_t{lda} * j;
    for (int i = 0; i < L; ++i) sum[i] += scale * row[i];
  }
  for (int i = 0; i < L; ++i) y[i] = sum[i];
}

// y[i] += alpha (row i of `a`) . x[0..L) for the rows i of `a`, x held in registers meanwhile: the
// Jacobian times a vector, each row's sum formed in the reference BLAS's order.
template <int L>
void row_products(int rows, double alpha, const double* a, int lda, const double* x, double* y,
                  ptrdiff_t y0, int incy) {
  double xs[L];
  for (int j = 0; j < L; ++j) xs[j] = x[j];
  for (int i = 0; i < rows; ++i) {
    const double* row = a + ptrdiff_t{lda} * i;
    double sum = 0.0;
    for (int j = 0; j < L; ++j) sum += xs[j] * row[j];
    y[y0 + ptrdiff_t{i} * incy] += alpha * sum;
  }
}

}  // namespace

// y = alpha op(A) x + beta y, each element summed in the order of GSL's reference BLAS, so that
// every result is the same to the last bit; written for the trust region's tall, narrow
// Jacobians, where the reference's general indexing cost more than the arithmetic. Like
// cblas_dnrm2 above, it stands in for the library's own.
extern "C" void cblas_dgemv(const enum CBLAS_ORDER order, const enum CBLAS_TRANSPOSE trans,
                            const int m, const int n, const double alpha, const double* a,
                            const int lda, const double* x, const int incx, const double beta,
                            double* y, const int incy) {
  const bool transposed = trans != CblasNoTrans;
  if (m <= 0 || n <= 0 || (alpha == 0.0 && beta == 1.0)) return;
  const int len_x = transposed ? m : n, len_y = transposed ? n : m;
  // A negative increment walks the vector from its far end.
  const ptrdiff_t x0 = incx > 0 ? 0 : ptrdiff_t{len_x - 1} * -incx;
  const ptrdiff_t y0 = incy > 0 ? 0 : ptrdiff_t{len_y - 1} * -incy;
  if (beta != 1.0)
    for (int i = 0; i < len_y; ++i) {
      double& yi = y[y0 + ptrdiff_t{i} * incy];
      yi = beta == 0.0 ? 0.0 : yi * beta;
    }
  if (alpha == 0.0) return;
  if ((order == CblasRowMajor) != transposed && incx == 1 && len_x <= 4) {
    with_width(len_x, [&](auto width) {
      row_products<decltype(width)::value>(len_y, alpha, a, lda, x, y, y0, incy);
    });
  } else if ((order == CblasRowMajor) != transposed) {
    // Each element of y is a row of the stored matrix times x.
    for (int i = 0; i < len_y; ++i) {
      const double* row = a + ptrdiff_t{lda} * i;
      double sum = 0.0;
      if (incx == 1)
        for (int j = 0; j < len_x; ++j) sum += x[j] * row[j];
      else
        for (int j = 0; j < len_x; ++j) sum += x[x0 + ptrdiff_t{j} * incx] * row[j];
      y[y0 + ptrdiff_t{i} * incy] += alpha * sum;
    }
  } else if (len_y <= 4 && incy == 1) {
    with_width(len_y, [&](auto width) {
      gather_rows<decltype(width)::value>(len_x, alpha, a, lda, x, x0, incx, y);
    });
  } else {
    // y gathers the stored rows, each times its element of x.
    for (int j = 0; j < len_x; ++j) {
      const double scale = alpha * x[x0 + ptrdiff_t{j} * incx];
      if (scale == 0.0) continue;
      const double* row = a + ptrdiff_t{lda} * j;
      if (incy == 1)
        for (int i = 0; i < len_y; ++i) y[i] += scale * row[i];
      else
        for (int i = 0; i < len_y; ++i) y[y0 + ptrdiff_t{i} * incy] += scale * row[i];
    }
  }
}

namespace {

// C += alpha A^T A on one triangle of the N x N matrix C, A having k rows of N elements: all
// elements summed side by side in one pass over the rows, each in the rows' order as the
// reference BLAS sums it.
template <int N, bool upper>
void gram(int k, double alpha, const double* a, int lda, double* c, int ldc) {
  double sum[N][N] = {};
  for (int r = 0; r < k; ++r) {
    const double* row = a + ptrdiff_t{lda} * r;
    for (int i = 0; i < N; ++i)
      for (int j = upper ? i : 0; j < (upper ? N : i + 1); ++j) sum[i][j] += row[i] * row[j];
  }
  for (int i = 0; i < N; ++i)
    for (int j = upper ? i : 0; j < (upper ? N : i + 1); ++j)
      c[ptrdiff_t{ldc} * i + j] += alpha * sum[i][j];
}

}  // namespace

// C = alpha op(A)^T op(A) + beta C on one triangle of C, each element summed in the order of
// GSL's reference BLAS, so that every result is the same to the last bit. The normal equations'
// J^T J of a tall, narrow Jacobian sums all its elements in one pass over the rows, side by side,
// rather than one element after another. Like cblas_dnrm2 above, it stands in for the library's.
extern "C" void cblas_dsyrk(const enum CBLAS_ORDER order, const enum CBLAS_UPLO uplo_given,
                            const enum CBLAS_TRANSPOSE trans_given, const int n, const int k,
                            const double alpha, const double* a, const int lda, const double beta,
                            double* c, const int ldc) {
  if (n <= 0 || (alpha == 0.0 && beta == 1.0)) return;
  // Column-major storage is the row-major transpose: the other triangle, the other product.
  const bool row_major = order == CblasRowMajor;
  const bool upper = (uplo_given == CblasUpper) == row_major;
  const bool trans = (trans_given != CblasNoTrans) == row_major;
  auto first = [upper](int i) { return upper ? i : 0; };
  auto past = [upper, n](int i) { return upper ? n : i + 1; };
  if (beta != 1.0)
    for (int i = 0; i < n; ++i)
      for (int j = first(i); j < past(i); ++j)
        c[ptrdiff_t{ldc} * i + j] = beta == 0.0 ? 0.0 : c[ptrdiff_t{ldc} * i + j] * beta;
  if (alpha == 0.0) return;
  // Element (i, j) of the product: the sum over r of A(r, i) A(r, j) when transposed, else of
  // A(i, r) A(j, r).
  auto element = [a, lda, trans](int i, int j, int r) {
    return trans ? a[ptrdiff_t{lda} * r + i] * a[ptrdiff_t{lda} * r + j]
                 : a[ptrdiff_t{lda} * i + r] * a[ptrdiff_t{lda} * j + r];
  };
  if (trans && n <= 4) {
    return with_width(n, [&](auto width) {
      constexpr int w = decltype(width)::value;
      return upper ? gram<w, true>(k, alpha, a, lda, c, ldc)
                   : gram<w, false>(k, alpha, a, lda, c, ldc);
    });
  }
  for (int i = 0; i < n; ++i)
    for (int j = first(i); j < past(i); ++j) {
      double sum = 0.0;
      for (int r = 0; r < k; ++r) sum += element(i, j, r);
      c[ptrdiff_t{ldc} * i + j] += alpha * sum;
    }
}

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
