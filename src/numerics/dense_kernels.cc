#include "numerics/dense_kernels.h"

#include <cmath>

namespace dense_kernels {

void column_matrix::resize(size_t r, size_t c) {
  rows = r;
  cols = c;
  data.resize(r * c);
}

// The reference BLAS scales each element by the largest so far, a division per element, so that
// no square can overflow; the trust region takes the norm of the residuals, and of every
// Householder column, on each step, where that division was a tenth of a fit's time. The plain
// sum of squares gives the same norm within a few units in the last place, and is used wherever
// it can neither overflow nor lose digits below the smallest normal number; elsewhere the norm is
// scaled as the reference scales it. The fits' results depend on this sum to the last bit.
double norm(const double* x, size_t n) {
  if (n == 0) return 0.0;
  // Four sums side by side, so that the additions need not wait for one another.
  double part[4] = {0.0, 0.0, 0.0, 0.0};
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (size_t k = 0; k < 4; ++k) part[k] += x[i + k] * x[i + k];
  for (; i < n; ++i) part[0] += x[i] * x[i];
  const double sum = (part[0] + part[1]) + (part[2] + part[3]);
  constexpr double smallest = 1e-280, largest = 1e280;
  if (std::isnan(sum) || (sum > smallest && sum < largest)) return std::sqrt(sum);
  double scale = 0.0, ssq = 1.0;
  for (i = 0; i < n; ++i) {
    if (x[i] == 0.0) continue;
    const double a = std::abs(x[i]);
    if (scale < a) {
      ssq = 1.0 + ssq * (scale / a) * (scale / a);
      scale = a;
    } else {
      ssq += (a / scale) * (a / scale);
    }
  }
  return scale * std::sqrt(ssq);
}

double dot(const double* x, const double* y, size_t n) {
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += x[i] * y[i];
  return sum;
}

namespace {

// The columns of `a` as P pointers.
template <size_t P>
void columns_of(const column_matrix& a, const double* (&columns)[P]) {
  for (size_t j = 0; j < P; ++j) columns[j] = a.column(j);
}

// transposed_product for P columns: all P sums side by side in one pass over the rows, held in
// registers, rather than one sum, one column, after another; each still takes its rows in order.
template <size_t P>
void transposed_product_of(const column_matrix& a, const double* v, double* out) {
  const double* columns[P];
  columns_of(a, columns);
  double sum[P] = {};
  for (size_t i = 0; i < a.rows; ++i) {
    if (v[i] == 0.0) continue;
    for (size_t j = 0; j < P; ++j) sum[j] += v[i] * columns[j][i];
  }
  for (size_t j = 0; j < P; ++j) out[j] = sum[j];
}

// lower_gram for P columns: the P (P + 1) / 2 sums side by side in one pass over the rows.
template <size_t P>
void lower_gram_of(const column_matrix& a, double* out) {
  const double* columns[P];
  columns_of(a, columns);
  double sum[P][P] = {};
  for (size_t k = 0; k < a.rows; ++k) {
    double row[P];
    for (size_t i = 0; i < P; ++i) row[i] = columns[i][k];
    for (size_t i = 0; i < P; ++i)
      for (size_t j = 0; j <= i; ++j) sum[i][j] += row[i] * row[j];
  }
  for (size_t i = 0; i < P; ++i)
    for (size_t j = 0; j <= i; ++j) out[i * P + j] = sum[i][j];
}

}  // namespace

void transposed_product(const column_matrix& a, const double* v, double* out) {
  switch (a.cols) {
    case 1:
      return transposed_product_of<1>(a, v, out);
    case 2:
      return transposed_product_of<2>(a, v, out);
    case 3:
      return transposed_product_of<3>(a, v, out);
    case 4:
      return transposed_product_of<4>(a, v, out);
    default:
      for (size_t j = 0; j < a.cols; ++j) {
        const double* column = a.column(j);
        double sum = 0.0;
        for (size_t i = 0; i < a.rows; ++i)
          if (v[i] != 0.0) sum += v[i] * column[i];
        out[j] = sum;
      }
  }
}

// Row by row the sums would read the columns across; column by column each row's sum still takes
// its terms in column order, and a pass reads one column straight through.
void product(const column_matrix& a, const double* x, double* out) {
  for (size_t i = 0; i < a.rows; ++i) out[i] = 0.0;
  for (size_t j = 0; j < a.cols; ++j) {
    const double* column = a.column(j);
    const double xj = x[j];
    for (size_t i = 0; i < a.rows; ++i) out[i] += xj * column[i];
  }
}

void lower_gram(const column_matrix& a, double* out) {
  switch (a.cols) {
    case 1:
      return lower_gram_of<1>(a, out);
    case 2:
      return lower_gram_of<2>(a, out);
    case 3:
      return lower_gram_of<3>(a, out);
    case 4:
      return lower_gram_of<4>(a, out);
    default:
      for (size_t i = 0; i < a.cols; ++i)
        for (size_t j = 0; j <= i; ++j) out[i * a.cols + j] = dot(a.column(i), a.column(j), a.rows);
  }
}

}  // namespace dense_kernels
