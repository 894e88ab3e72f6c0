#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "numerics/damped_least_squares.h"
#include "numerics/dense_kernels.h"

// The fit's Levenberg-Marquardt trust region. It takes the steps GSL's gsl_multifit_nlinear_trust
// takes with its default parameters (Levenberg-Marquardt, More scaling, the QR solver, or the
// Cholesky one), in the same order and with the same roundings, so that a fit ends where GSL's
// driver ended to the last bit. It is written out here because GSL's driver reaches its products
// only through the global names of the BLAS: faster ones could be given to it only by taking
// those names over in every program that links the fit.

/// The residuals and Jacobian of a least-squares problem of n residuals in p parameters.
class residual_source {
 public:
  virtual ~residual_source() = default;
  /// The n residuals at the parameters x (p elements) into r.
  virtual void residuals(const double* x, double* r) = 0;
  /// The Jacobian d r / d x at x into the n x p matrix j. The trust region asks for it only at
  /// the x of the residuals it asked for last.
  virtual void jacobian(const double* x, dense_kernels::column_matrix& j) = 0;
};

/// How one iteration of the trust region ended.
enum class step_result {
  accepted,     ///< a step lowered the residuals' norm and was taken
  no_progress,  ///< 16 steps in a row did not, and the parameters are unchanged
};

/// One minimisation at a time; an object kept for the next keeps its storage.
class trust_region {
 public:
  /// Starts minimising the residuals of `problem` from x (p elements), with each step solved by QR,
  /// or from the normal equations by Cholesky where `normal_equations`. n >= p >= 1. `problem`
  /// must outlive the minimisation.
  void start(residual_source& problem, size_t n, size_t p, const double* x, bool normal_equations);
  /// One iteration: steps of growing damping until one lowers the residuals' norm, at most 16.
  step_result iterate();
  /// Whether the last step moved every parameter x by less than xtol^2 + xtol |x|, or failing that
  /// the gradient of chi2 / 2, each element times max(x, 1), is below gtol max(chi2 / 2, 1).
  bool converged(double xtol, double gtol) const;
  /// The parameters reached, p elements.
  const double* position() const { return x_.data(); }

 private:
  // Takes the Jacobian just evaluated: its columns' norms, the gradient and the scaling.
  void take_jacobian();
  // Tries the step vel_: true, with x_trial_ and f_trial_ at it, when it is to be taken; rho is
  // the ratio of the actual to the predicted reduction and norm_trial |f_trial_|.
  bool try_step(double& rho, double& norm_trial);
  // The ratio of the actual to the predicted reduction of |f|^2 by the step vel_ to x_trial_.
  double reduction_ratio(double norm_trial);
  // Moves to the accepted trial point and lowers the damping.
  void accept(double rho, double norm_trial);
  // Raises the damping after a rejected step.
  void reject();

  residual_source* problem_ = nullptr;
  bool normal_equations_ = false;
  qr_damped_solver qr_;
  cholesky_damped_solver cholesky_;
  size_t n_ = 0, p_ = 0;
  std::vector<double> x_, f_, g_;  // parameters, residuals, J^T f
  double norm_f_ = 0.0;            // |f|
  dense_kernels::column_matrix j_;
  std::vector<double> column_norms_;  // of j_
  std::vector<double> diag_;          // the scaling D, the largest column norms seen
  double mu_ = 0.0;                   // the damping
  int64_t nu_ = 2;                    // its factor after the next rejected step
  std::vector<double> vel_, dx_;      // the step solved, and the last one tried
  std::vector<double> x_trial_, f_trial_, jv_;
};
