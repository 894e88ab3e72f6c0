// The trust region's products: right at every scale, and each sum taken in index order, the
// order the fits' results depend on to the last bit.

#include "numerics/dense_kernels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using dense_kernels::column_matrix;

// A rows x cols matrix of varied values, some of them zero.
column_matrix varied(size_t rows, size_t cols) {
  column_matrix a;
  a.resize(rows, cols);
  for (size_t j = 0; j < cols; ++j)
    for (size_t i = 0; i < rows; ++i) a(i, j) = (i + j) % 5 == 0 ? 0.0 : std::sin(1.0 + 7 * i + j);
  return a;
}

// The norm is the plain one where that is safe and the scaled one where squares would overflow or
// fall below the smallest normal number.
TEST(DenseKernels, TheNormIsRightAtEveryScale) {
  for (double scale : {1.0, 1e-3, 1e150, 1e200, 1e300, 1e-160, 1e-200, 1e-300}) {
    const double values[] = {3.0 * scale, 0.0, -4.0 * scale, 12.0 * scale, 0.0};
    EXPECT_NEAR(dense_kernels::norm(values, 5) / (13.0 * scale), 1.0, 1e-15) << scale;
  }
  const double zeros[] = {0.0, 0.0, 0.0};
  EXPECT_EQ(dense_kernels::norm(zeros, 3), 0.0);
  EXPECT_EQ(dense_kernels::norm(zeros, 0), 0.0);
  const double with_nan[] = {1.0, std::numeric_limits<double>::quiet_NaN()};
  EXPECT_TRUE(std::isnan(dense_kernels::norm(with_nan, 2)));
  // 150 residuals of a fit: within a few units in the last place of the sum taken in order.
  double residuals[150], sum = 0.0;
  for (int i = 0; i < 150; ++i) residuals[i] = std::sin(i * 0.37) * (1.0 + i % 7);
  for (double x : residuals) sum += x * x;
  EXPECT_NEAR(dense_kernels::norm(residuals, 150), std::sqrt(sum),
              4 * std::numeric_limits<double>::epsilon() * std::sqrt(sum));
}

// For every width, those of one pass over the rows and the general one: each element is the sum
// in row order, rows where the vector is zero left out even against an infinite element.
TEST(DenseKernels, TheProductsSumInIndexOrderAtEveryWidth) {
  for (size_t cols = 1; cols <= 6; ++cols) {
    column_matrix a = varied(11, cols);
    double v[11], x[6], out[11];
    for (size_t i = 0; i < 11; ++i) v[i] = i % 4 == 1 ? 0.0 : std::cos(3.0 * i) * 1e3;
    for (size_t j = 0; j < cols; ++j) x[j] = 0.5 - std::sin(2.0 * j);
    a(1, 0) = INFINITY;  // where v is 0
    dense_kernels::transposed_product(a, v, out);
    for (size_t j = 0; j < cols; ++j) {
      double sum = 0.0;
      for (size_t i = 0; i < 11; ++i)
        if (v[i] != 0.0) sum += v[i] * a(i, j);
      EXPECT_EQ(out[j], sum) << cols << " " << j;
    }
    a(1, 0) = 2.0;
    dense_kernels::product(a, x, out);
    for (size_t i = 0; i < 11; ++i) {
      double sum = 0.0;
      for (size_t j = 0; j < cols; ++j) sum += x[j] * a(i, j);
      EXPECT_EQ(out[i], sum) << cols << " " << i;
    }
  }
}

TEST(DenseKernels, TheGramMatrixFillsItsLowerTriangleOnly) {
  for (size_t cols = 1; cols <= 6; ++cols) {
    const column_matrix a = varied(9, cols);
    double out[36];
    for (double& o : out) o = -7.0;
    dense_kernels::lower_gram(a, out);
    for (size_t i = 0; i < cols; ++i)
      for (size_t j = 0; j < cols; ++j) {
        double sum = 0.0;
        for (size_t k = 0; k < 9; ++k) sum += a(k, i) * a(k, j);
        EXPECT_EQ(out[i * cols + j], j <= i ? sum : -7.0) << cols << " " << i << " " << j;
      }
  }
}

// As a product by -1 forms it: a NaN keeps its sign bit, a zero changes it.
TEST(DenseKernels, TimesMinusOneLeavesANaNAsItIs) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_FALSE(std::signbit(dense_kernels::times_minus_one(nan)));
  EXPECT_TRUE(std::signbit(dense_kernels::times_minus_one(-nan)));
  EXPECT_TRUE(std::signbit(dense_kernels::times_minus_one(0.0)));
  EXPECT_EQ(dense_kernels::times_minus_one(2.5), -2.5);
}

}  // namespace
