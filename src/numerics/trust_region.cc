#include "numerics/trust_region.h"

#include <cmath>

namespace {

// Steps rejected in a row before an iteration gives up.
constexpr int max_bad_steps = 15;
// The smallest factor by which an accepted step lowers the damping (GSL's rounded third).
constexpr double one_third = 0.333333333333333;

}  // namespace

void trust_region::start(residual_source& problem, size_t n, size_t p, const double* x,
                         bool normal_equations) {
  problem_ = &problem;
  normal_equations_ = normal_equations;
  n_ = n;
  p_ = p;
  x_.assign(x, x + p);
  f_.resize(n);
  f_trial_.resize(n);
  jv_.resize(n);
  x_trial_.resize(p);
  g_.resize(p);
  column_norms_.resize(p);
  diag_.assign(p, 0.0);
  vel_.assign(p, 0.0);
  dx_.assign(p, 0.0);
  j_.resize(n, p);
  problem.residuals(x_.data(), f_.data());
  norm_f_ = dense_kernels::norm(f_.data(), n);
  problem.jacobian(x_.data(), j_);
  take_jacobian();
  // mu = 1e-3 max_j (|J_j| / D_j)^2, the Gauss-Newton matrix's largest scaled diagonal element.
  double largest = -1.0;
  for (size_t k = 0; k < p; ++k) {
    const double scaled = column_norms_[k] / diag_[k];
    largest = largest > scaled ? largest : scaled;
  }
  mu_ = 1.0e-3 * largest * largest;
  nu_ = 2;
}

void trust_region::take_jacobian() {
  for (size_t k = 0; k < p_; ++k) column_norms_[k] = dense_kernels::norm(j_.column(k), n_);
  dense_kernels::transposed_product(j_, f_.data(), g_.data());
  // More's scaling: each parameter by the largest norm its column has had, 1 for a zero column.
  for (size_t k = 0; k < p_; ++k) {
    const double norm = column_norms_[k] == 0.0 ? 1.0 : column_norms_[k];
    diag_[k] = diag_[k] > norm ? diag_[k] : norm;
  }
}

step_result trust_region::iterate() {
  if (normal_equations_)
    cholesky_.prepare(j_, g_.data());
  else
    qr_.prepare(j_, column_norms_.data(), f_.data());
  for (int bad_steps = 0;;) {
    double rho = -1.0, norm_trial = 0.0;
    if (try_step(rho, norm_trial)) {
      accept(rho, norm_trial);
      return step_result::accepted;
    }
    reject();
    if (++bad_steps > max_bad_steps) return step_result::no_progress;
  }
}

bool trust_region::try_step(double& rho, double& norm_trial) {
  const bool solved = normal_equations_ ? cholesky_.solve(mu_, diag_.data(), vel_.data())
                                        : qr_.solve(mu_, diag_.data(), vel_.data());
  if (!solved) return false;
  // The step is the velocity plus half the geodesic acceleration, which is zero here: adding it
  // still turns a -0.0 into +0.0.
  for (size_t k = 0; k < p_; ++k) dx_[k] = vel_[k] + 0.0;
  for (size_t k = 0; k < p_; ++k) x_trial_[k] = x_[k] + dx_[k];
  problem_->residuals(x_trial_.data(), f_trial_.data());
  norm_trial = dense_kernels::norm(f_trial_.data(), n_);
  rho = reduction_ratio(norm_trial);
  // Not rho > 0: a NaN ratio, of residuals that are not finite, takes the step.
  return !(rho <= 0.0);
}

// actual = 1 - (|f_trial| / |f|)^2, predicted = (|J v| / |f|)^2 + 2 mu (|D v| / |f|)^2 (More 1978,
// eq. 4.4); -1 for a step that does not lower |f| or whose predicted reduction is not positive.
double trust_region::reduction_ratio(double norm_trial) {
  if (norm_trial >= norm_f_) return -1.0;
  const double u = norm_trial / norm_f_;
  const double actual = 1.0 - u * u;
  double dv2 = 0.0;
  for (size_t k = 0; k < p_; ++k) {
    const double dv = diag_[k] * vel_[k];
    dv2 += dv * dv;
  }
  dense_kernels::product(j_, vel_.data(), jv_.data());
  const double jv = dense_kernels::norm(jv_.data(), n_) / norm_f_;
  const double dv = std::sqrt(dv2) / norm_f_;
  const double predicted = jv * jv + 2.0 * mu_ * dv * dv;
  return predicted > 0.0 ? actual / predicted : -1.0;
}

// Nielsen's update: mu times max(1/3, 1 - (2 rho - 1)^3).
void trust_region::accept(double rho, double norm_trial) {
  problem_->jacobian(x_trial_.data(), j_);
  x_.swap(x_trial_);
  f_.swap(f_trial_);
  norm_f_ = norm_trial;
  take_jacobian();
  nu_ = 2;
  double b = 2.0 * rho - 1.0;
  b = 1.0 - b * b * b;
  mu_ *= one_third > b ? one_third : b;
}

// mu times nu, nu doubled. Only an accepted step resets nu, so that over iterations without
// progress some 60 rejected steps in a row make it wrap, as the machine's doubling (and GSL's)
// does.
void trust_region::reject() {
  mu_ *= static_cast<double>(nu_);
  nu_ = static_cast<int64_t>(static_cast<uint64_t>(nu_) << 1);
}

bool trust_region::converged(double xtol, double gtol) const {
  // A negative tolerance fails the step test, as GSL refuses it.
  bool small_step = xtol >= 0.0;
  for (size_t k = 0; k < p_ && small_step; ++k)
    small_step = std::abs(dx_[k]) < xtol * xtol + xtol * std::abs(x_[k]);
  if (small_step) return true;
  double gradient = 0.0;
  for (size_t k = 0; k < p_; ++k) {
    const double scaled = std::abs((x_[k] > 1.0 ? x_[k] : 1.0) * g_[k]);
    if (scaled > gradient) gradient = scaled;
  }
  const double half_chi2 = 0.5 * norm_f_ * norm_f_;
  return gradient <= gtol * (half_chi2 > 1.0 ? half_chi2 : 1.0);
}
