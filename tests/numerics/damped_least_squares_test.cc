// The linear problem of a Levenberg-Marquardt step, checked by its normal equations
// (J^T J + mu D^2) v = -J^T f rather than against another solver.

#include "numerics/damped_least_squares.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace {

using dense_kernels::column_matrix;

struct damped_problem {
  column_matrix j;
  std::vector<double> f, norms, jtf, diag;
};

// n x p, the columns' sizes spread over six orders so that the pivoting matters.
damped_problem random_problem(size_t n, size_t p, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal;
  damped_problem d;
  d.j.resize(n, p);
  for (size_t c = 0; c < p; ++c)
    for (size_t i = 0; i < n; ++i) d.j(i, c) = normal(rng) * std::pow(10.0, 3.0 - 1.5 * c);
  for (size_t i = 0; i < n; ++i) d.f.push_back(normal(rng));
  for (size_t c = 0; c < p; ++c) d.diag.push_back(0.5 + std::abs(normal(rng)));
  return d;
}

// Works out the column norms and J^T f that the solvers are given with the Jacobian.
void derive(damped_problem& d) {
  const size_t p = d.j.cols;
  d.norms.resize(p);
  d.jtf.resize(p);
  for (size_t c = 0; c < p; ++c) d.norms[c] = dense_kernels::norm(d.j.column(c), d.j.rows);
  dense_kernels::transposed_product(d.j, d.f.data(), d.jtf.data());
}

void prepare(qr_damped_solver& qr, damped_problem& d) {
  derive(d);
  qr.prepare(d.j, d.norms.data(), d.f.data());
}

void prepare(cholesky_damped_solver& cholesky, damped_problem& d) {
  derive(d);
  cholesky.prepare(d.j, d.jtf.data());
}

// The largest element of (J^T J + mu D^2) v + J^T f, relative to the largest of J^T J |v|.
double normal_equations_residual(const damped_problem& d, double mu, const std::vector<double>& v) {
  const size_t n = d.j.rows, p = d.j.cols;
  double worst = 0.0, size = 0.0;
  for (size_t a = 0; a < p; ++a) {
    double r = mu * d.diag[a] * d.diag[a] * v[a] + d.jtf[a];
    for (size_t b = 0; b < p; ++b) {
      double jtj = 0.0;
      for (size_t i = 0; i < n; ++i) jtj += d.j(i, a) * d.j(i, b);
      r += jtj * v[b];
      size = std::max(size, std::abs(jtj * v[b]));
    }
    worst = std::max(worst, std::abs(r));
  }
  return worst / std::max(size, 1e-300);
}

// Several dampings on one preparation, as a trust region's rejected steps ask for them.
template <class solver>
void expect_damped_solutions(solver& s, size_t p, unsigned seed) {
  damped_problem d = random_problem(12, p, seed);
  prepare(s, d);
  for (double mu : {1e-3, 1.0, 1e3}) {
    std::vector<double> v(p);
    ASSERT_TRUE(s.solve(mu, d.diag.data(), v.data()));
    EXPECT_LT(normal_equations_residual(d, mu, v), 1e-9) << p << " " << seed << " " << mu;
  }
}

TEST(DampedLeastSquares, BothSolversSolveTheDampedNormalEquations) {
  qr_damped_solver qr;
  cholesky_damped_solver cholesky;
  for (size_t p : {1, 3, 5})
    for (unsigned seed = 1; seed <= 5; ++seed) {
      expect_damped_solutions(qr, p, seed);
      expect_damped_solutions(cholesky, p, seed);
    }
}

// No step where the matrix to solve is singular: a zero Jacobian undamped for QR, a zero column
// undamped for Cholesky; damping gives each one.
TEST(DampedLeastSquares, NoStepWhereTheUndampedMatrixIsSingular) {
  damped_problem zero = random_problem(8, 2, 3);
  for (double& x : zero.j.data) x = 0.0;
  qr_damped_solver qr;
  prepare(qr, zero);
  std::vector<double> v(2);
  EXPECT_FALSE(qr.solve(0.0, zero.diag.data(), v.data()));
  damped_problem column = random_problem(8, 3, 4);
  for (size_t i = 0; i < 8; ++i) column.j(i, 1) = 0.0;
  cholesky_damped_solver cholesky;
  prepare(cholesky, column);
  v.resize(3);
  EXPECT_FALSE(cholesky.solve(0.0, column.diag.data(), v.data()));
  ASSERT_TRUE(cholesky.solve(0.1, column.diag.data(), v.data()));
  EXPECT_LT(normal_equations_residual(column, 0.1, v), 1e-9);
}

}  // namespace
