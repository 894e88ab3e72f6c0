#pragma once

#include <cstddef>
#include <vector>

#include "numerics/dense_kernels.h"

// The linear problem of a Levenberg-Marquardt step: the v that minimises
//   |J v + f|^2 + mu |D v|^2
// for the Jacobian J (n x p, n >= p), the residuals f, the damping mu >= 0 and the diagonal
// scaling D. Each solver takes the steps of GSL's multifit_nlinear solver of its kind, in the
// same order and with the same roundings, so that the trust region built on them
// (trust_region.h) reaches what GSL's own driver reached, to the last bit. Each is prepared once
// for a Jacobian and residual vector, then solves for any number of dampings.

/// By J P = Q R, Householder reflections with column pivoting, once per Jacobian; for each mu the
/// rows of sqrt(mu) D P are folded into R by Givens rotations. With mu = 0 the Gauss-Newton step
/// comes from R alone, over the leading columns whose diagonal elements are not negligible; a
/// Jacobian without one has no step.
class qr_damped_solver {
 public:
  /// Factorises the Jacobian `j` for the residuals `f` (j.rows elements); `column_norms` holds
  /// dense_kernels::norm of each column of `j`. `f` is read, not copied, until the next call,
  /// and must stay unchanged meanwhile.
  void prepare(const dense_kernels::column_matrix& j, const double* column_norms, const double* f);
  /// The step v (p elements) for the damping `mu` and the scaling `diag` (p elements). False
  /// where there is none (mu = 0 and no independent column): v then holds nothing of use.
  bool solve(double mu, const double* diag, double* v);

 private:
  // The factorisation J P = Q R of prepare().
  void factorise(const double* column_norms);
  // Swaps column i for the remaining one of largest norm.
  void pivot(size_t i);
  // Folds the rows of lambda D P into R; the solution of the damped problem into x.
  void eliminate_damping(double lambda, const double* diag, double* x);
  // The number of leading diagonal elements of R above its rounding level.
  size_t rank() const;
  // The Gauss-Newton step over the first `rank` columns of R P^T into x.
  void gauss_newton(size_t rank, double* x);
  // Q^T f, worked out once per prepare(), when first needed.
  const std::vector<double>& qtf();
  double r(size_t i, size_t j) const { return qr_(i, j); }

  dense_kernels::column_matrix qr_;  // R on and above the diagonal, the reflections below
  std::vector<double> tau_;          // the reflections' scales
  std::vector<size_t> perm_;         // column j of J P is column perm_[j] of J
  std::vector<double> norms_;        // the remaining columns' norms while factorising
  // The rotated triangle of eliminate_damping(), p x p row-major. It is kept from one solve to
  // the next: where the leading elements of lambda D P are all 0.0 the elimination reads its
  // diagonal as the previous solve left it, as GSL's does.
  std::vector<double> s_;
  std::vector<double> work_;
  std::vector<double> qtf_;
  bool qtf_ready_ = false;
  const double* f_ = nullptr;
};

/// By the normal equations (J^T J + mu D^2) v = -J^T f, J^T J formed once per Jacobian and its
/// Cholesky factor for each mu. No step where the damped matrix is not positive definite. GSL's
/// roundings are kept up to 24 parameters, beyond which GSL's decomposition works in blocks.
class cholesky_damped_solver {
 public:
  /// Forms J^T J of the Jacobian `j`; `jtf` is J^T f, dense_kernels::transposed_product of `j`
  /// and the residuals.
  void prepare(const dense_kernels::column_matrix& j, const double* jtf);
  /// The step v (p elements) for the damping `mu` and the scaling `diag` (p elements). False
  /// where J^T J + mu D^2 is not positive definite: v is then left as it was.
  bool solve(double mu, const double* diag, double* v);

 private:
  // The lower triangle of work_ replaced by its Cholesky factor L; false, with work_ spoilt,
  // where a pivot is not above 0.
  bool factor();
  // v = (L L^T)^-1 v.
  void substitute(double* v) const;

  size_t p_ = 0;
  std::vector<double> jtj_;   // J^T J, lower triangle, p x p row-major
  std::vector<double> work_;  // its damped copy, then the factor
  std::vector<double> rhs_;   // -J^T f
};
