#include "numerics/damped_least_squares.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <numbers>
#include <numeric>

using dense_kernels::column_matrix;

namespace {

// The Householder reflection I - tau u u^T, u = (1, v[1..n)), that takes v[0..n) to a multiple
// beta of the first unit vector: v[0] becomes beta and v[1..n) the rest of u. Returns tau, 0.0
// (v unchanged) when v[1..n) is already zero.
double householder(double* v, size_t n) {
  if (n == 1) return 0.0;
  const double xnorm = dense_kernels::norm(v + 1, n - 1);
  if (xnorm == 0) return 0.0;
  const double alpha = v[0];
  const double beta = -(alpha >= 0 ? 1.0 : -1.0) * std::hypot(alpha, xnorm);
  const double tau = (beta - alpha) / beta;
  const double s = alpha - beta;
  if (std::abs(s) > DBL_MIN) {
    const double scale = 1.0 / s;
    for (size_t i = 1; i < n; ++i) v[i] *= scale;
  } else {
    // 1 / s would overflow: scaled in two steps.
    const double first = DBL_EPSILON / s, second = 1.0 / DBL_EPSILON;
    for (size_t i = 1; i < n; ++i) v[i] *= first;
    for (size_t i = 1; i < n; ++i) v[i] *= second;
  }
  v[0] = beta;
  return tau;
}

// Applies the reflection (tau, u = (1, u[1..n))) to the column a[0..n).
void reflect_column(double tau, const double* u, size_t n, double* a) {
  double w = a[0];
  for (size_t i = 1; i < n; ++i) w += a[i] * u[i];
  a[0] = a[0] - tau * w;
  for (size_t i = 1; i < n; ++i) a[i] = a[i] - tau * u[i] * w;
}

// Applies the reflection (tau, u = (1, u[1..n))) to the vector w[0..n), as GSL does to a vector
// rather than to a matrix's column: u^T w is w[0] plus the sum over u[1..n) formed on its own,
// and the update is skipped where its multiple is 0.
void reflect_vector(double tau, const double* u, size_t n, double* w) {
  if (tau == 0) return;
  const double w0 = w[0];
  const double d = w0 + dense_kernels::dot(u + 1, w + 1, n - 1);
  w[0] = w0 - tau * d;
  const double multiple = -tau * d;
  if (multiple == 0.0) return;
  for (size_t i = 1; i < n; ++i) w[i] += multiple * u[i];
}

// The integer part of v as the processor's conversion gives it: INT_MIN for NaN, an infinity or
// anything out of range, as the conversion of a log of 0 must be.
int truncated(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

void qr_damped_solver::prepare(const column_matrix& j, const double* column_norms,
                               const double* f) {
  qr_ = j;
  f_ = f;
  qtf_ready_ = false;
  factorise(column_norms);
}

void qr_damped_solver::factorise(const double* column_norms) {
  const size_t n = qr_.rows, p = qr_.cols;
  tau_.resize(p);
  perm_.resize(p);
  std::iota(perm_.begin(), perm_.end(), size_t{0});
  norms_.assign(column_norms, column_norms + p);
  // The threshold below which a downdated norm has lost too many digits and is formed afresh.
  const double recompute_below = std::sqrt(20.0) * std::sqrt(DBL_EPSILON);
  for (size_t i = 0; i < std::min(n, p); ++i) {
    pivot(i);
    double* column = qr_.column(i) + i;
    tau_[i] = householder(column, n - i);
    if (tau_[i] != 0.0)
      for (size_t k = i + 1; k < p; ++k) reflect_column(tau_[i], column, n - i, qr_.column(k) + i);
    if (i + 1 >= n) continue;
    for (size_t k = i + 1; k < p; ++k) {
      const double x = norms_[k];
      if (!(x > 0.0)) continue;
      const double ratio = qr_(i, k) / x;
      double y = std::abs(ratio) >= 1 ? 0.0 : x * std::sqrt(1 - ratio * ratio);
      if (std::abs(y / x) < recompute_below)
        y = dense_kernels::norm(qr_.column(k) + i + 1, n - i - 1);
      norms_[k] = y;
    }
  }
}

void qr_damped_solver::pivot(size_t i) {
  size_t largest = i;
  double largest_norm = norms_[i];
  for (size_t k = i + 1; k < qr_.cols; ++k)
    if (norms_[k] > largest_norm) {
      largest_norm = norms_[k];
      largest = k;
    }
  if (largest == i) return;
  std::swap_ranges(qr_.column(i), qr_.column(i) + qr_.rows, qr_.column(largest));
  std::swap(perm_[i], perm_[largest]);
  std::swap(norms_[i], norms_[largest]);
}

const std::vector<double>& qr_damped_solver::qtf() {
  if (qtf_ready_) return qtf_;
  const size_t n = qr_.rows;
  qtf_.assign(f_, f_ + n);
  for (size_t i = 0; i < std::min(n, qr_.cols); ++i)
    reflect_vector(tau_[i], qr_.column(i) + i, n - i, qtf_.data() + i);
  qtf_ready_ = true;
  return qtf_;
}

bool qr_damped_solver::solve(double mu, const double* diag, double* v) {
  bool found = true;
  if (mu == 0.0) {
    const size_t r = rank();
    found = r > 0;
    if (found) gauss_newton(r, v);
  } else {
    eliminate_damping(std::sqrt(mu), diag, v);
  }
  // What was solved for is the damped J v = f: the step is its negative, downhill.
  for (size_t j = 0; j < qr_.cols; ++j) v[j] = dense_kernels::times_minus_one(v[j]);
  return found;
}

// R's diagonal is overwritten by the rotated one as the rows of lambda D P are folded in, one
// after another, and given back as each is done; S gathers the rotated triangle, transposed.
void qr_damped_solver::eliminate_damping(double lambda, const double* diag, double* x) {
  const size_t p = qr_.cols;
  const std::vector<double>& qtb = qtf();
  s_.resize(p * p);
  work_.resize(p);
  auto s = [this, p](size_t i, size_t j) -> double& { return s_[i * p + j]; };
  for (size_t j = 0; j < p; ++j) {
    for (size_t i = j + 1; i < p; ++i) s(i, j) = r(j, i);
    x[j] = r(j, j);
    work_[j] = qtb[j];
  }
  for (size_t j = 0; j < p; ++j) {
    const double dj = lambda * diag[perm_[j]];
    if (dj == 0) continue;
    s(j, j) = dj;
    for (size_t k = j + 1; k < p; ++k) s(k, k) = 0.0;
    // The one element beyond the first p of [Q^T f, 0] that the rotations of this row reach.
    double beyond = 0;
    for (size_t k = j; k < p; ++k) {
      const double wk = work_[k], rkk = r(k, k), skk = s(k, k);
      if (skk == 0) continue;
      double sine, cosine;
      if (std::abs(rkk) < std::abs(skk)) {
        const double cotangent = rkk / skk;
        sine = 0.5 / std::sqrt(0.25 + 0.25 * cotangent * cotangent);
        cosine = sine * cotangent;
      } else {
        const double tangent = skk / rkk;
        cosine = 0.5 / std::sqrt(0.25 + 0.25 * tangent * tangent);
        sine = cosine * tangent;
      }
      const double new_rkk = cosine * rkk + sine * skk;
      const double new_wk = cosine * wk + sine * beyond;
      beyond = -sine * wk + cosine * beyond;
      qr_(k, k) = new_rkk;
      s(k, k) = new_rkk;
      work_[k] = new_wk;
      for (size_t i = k + 1; i < p; ++i) {
        const double sik = s(i, k), sii = s(i, i);
        s(i, k) = cosine * sik + sine * sii;
        s(i, i) = -sine * sik + cosine * sii;
      }
    }
    qr_(j, j) = x[j];
  }
  // Back substitution in S, over its columns up to the first zero on the diagonal (the least
  // squares solution of a singular system).
  size_t nonsingular = p;
  for (size_t j = 0; j < p; ++j)
    if (s(j, j) == 0) {
      nonsingular = j;
      break;
    }
  for (size_t j = nonsingular; j < p; ++j) work_[j] = 0.0;
  for (size_t k = 0; k < nonsingular; ++k) {
    const size_t j = nonsingular - 1 - k;
    double sum = 0;
    for (size_t i = j + 1; i < nonsingular; ++i) sum += s(i, j) * work_[i];
    work_[j] = (work_[j] - sum) / s(j, j);
  }
  for (size_t j = 0; j < p; ++j) x[perm_[j]] = work_[j];
}

// The elements of R's diagonal above 20 (n + p) units in the last place of the largest one's
// power of two.
size_t qr_damped_solver::rank() const {
  const size_t n = qr_.rows, p = qr_.cols, m = std::min(n, p);
  double smallest = r(0, 0), largest = r(0, 0);
  for (size_t i = 0; i < m; ++i) {
    const double d = r(i, i);
    if (d < smallest) smallest = d;
    if (d > largest) largest = d;
    if (std::isnan(d)) {
      smallest = largest = d;
      break;
    }
  }
  const double high =
      std::abs(smallest) > std::abs(largest) ? std::abs(smallest) : std::abs(largest);
  const int exponent = truncated(std::log(high) / std::numbers::ln2);
  const double eps = 20.0 * static_cast<double>(n + p) *
                     std::pow(2.0, static_cast<double>(exponent)) * DBL_EPSILON;
  size_t count = 0;
  for (size_t i = 0; i < m; ++i) count += std::abs(r(i, i)) > eps;
  return count;
}

void qr_damped_solver::gauss_newton(size_t rank, double* x) {
  const size_t p = qr_.cols;
  const std::vector<double>& qtb = qtf();
  work_.resize(p);
  // R11 z = (Q^T f)[0..rank), by back substitution; the other elements of z are 0.
  for (size_t i = 0; i < rank; ++i) work_[i] = qtb[i];
  work_[rank - 1] = work_[rank - 1] / r(rank - 1, rank - 1);
  for (size_t i = rank - 1; i-- > 0;) {
    double sum = work_[i];
    for (size_t j = i + 1; j < rank; ++j) sum -= r(i, j) * work_[j];
    work_[i] = sum / r(i, i);
  }
  for (size_t i = rank; i < p; ++i) work_[i] = 0.0;
  for (size_t j = 0; j < p; ++j) x[perm_[j]] = work_[j];
}

// -J^T f summed term by term, each term times -1, is 0 - J^T f: every term, and so every rounded
// sum on the way, only changes its sign; the subtraction from 0.0 leaves a zero sum +0.0, as the
// sum of the negated terms is, and a NaN as it was.
void cholesky_damped_solver::prepare(const column_matrix& j, const double* jtf) {
  p_ = j.cols;
  jtj_.resize(p_ * p_);
  rhs_.resize(p_);
  dense_kernels::lower_gram(j, jtj_.data());
  for (size_t k = 0; k < p_; ++k) rhs_[k] = 0.0 - jtf[k];
}

bool cholesky_damped_solver::solve(double mu, const double* diag, double* v) {
  work_.resize(p_ * p_);
  for (size_t i = 0; i < p_; ++i)
    for (size_t j = 0; j <= i; ++j) work_[i * p_ + j] = jtj_[i * p_ + j];
  if (mu != 0.0)
    for (size_t i = 0; i < p_; ++i) work_[i * p_ + i] += mu * diag[i] * diag[i];
  if (!factor()) return false;
  std::copy(rhs_.begin(), rhs_.end(), v);
  substitute(v);
  return true;
}

// Column by column, unblocked as GSL decomposes up to 24 columns: each element (i, j), i >= j,
// less the product of rows j and i over the columns before j; then the column, pivot included,
// times the reciprocal of the pivot's square root (so that L(j, j) is the pivot times it, not the
// square root itself).
bool cholesky_damped_solver::factor() {
  auto a = [this](size_t i, size_t j) -> double& { return work_[i * p_ + j]; };
  for (size_t j = 0; j < p_; ++j) {
    for (size_t i = j; i < p_ && j > 0; ++i) {
      double sum = 0.0;
      for (size_t k = 0; k < j; ++k) sum += a(j, k) * a(i, k);
      a(i, j) -= sum;
    }
    const double pivot = a(j, j);
    if (pivot <= 0.0) return false;
    const double scale = 1.0 / std::sqrt(pivot);
    for (size_t i = j; i < p_; ++i) a(i, j) *= scale;
  }
  return true;
}

void cholesky_damped_solver::substitute(double* v) const {
  auto l = [this](size_t i, size_t j) { return work_[i * p_ + j]; };
  // L c = v, forwards.
  v[0] = v[0] / l(0, 0);
  for (size_t i = 1; i < p_; ++i) {
    double sum = v[i];
    for (size_t j = 0; j < i; ++j) sum -= l(i, j) * v[j];
    v[i] = sum / l(i, i);
  }
  // L^T v = c, backwards.
  v[p_ - 1] = v[p_ - 1] / l(p_ - 1, p_ - 1);
  for (size_t i = p_ - 1; i-- > 0;) {
    double sum = v[i];
    for (size_t j = i + 1; j < p_; ++j) sum -= l(j, i) * v[j];
    v[i] = sum / l(i, i);
  }
}
