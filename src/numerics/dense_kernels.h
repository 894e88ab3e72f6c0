#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

// The small dense products of the fit's trust region (src/numerics/trust_region.h), on tall,
// narrow matrices stored column after column. Each sum starts from +0.0 and runs in the order of
// the reference BLAS's loops, so that a fit's every bit is what it was when GSL's driver made
// these products; the norm alone is formed otherwise (see norm()).

namespace dense_kernels {

/// A matrix of rows x cols doubles stored column after column: element (i, j) at
/// data[j * rows + i], so that a column is contiguous.
struct column_matrix {
  size_t rows = 0, cols = 0;
  std::vector<double> data;

  /// Makes it rows x cols, keeping its storage when that is large enough; the elements are
  /// whatever was there.
  void resize(size_t r, size_t c);
  double* column(size_t j) { return data.data() + j * rows; }
  const double* column(size_t j) const { return data.data() + j * rows; }
  double& operator()(size_t i, size_t j) { return data[j * rows + i]; }
  double operator()(size_t i, size_t j) const { return data[j * rows + i]; }
};

/// The Euclidean norm of x[0..n); 0.0 for n = 0, NaN if an element is NaN. Within a few units in
/// the last place of the reference BLAS's scaled norm, without its division per element.
double norm(const double* x, size_t n);

/// x . y over n elements, summed in index order.
double dot(const double* x, const double* y, size_t n);

/// out[j] = the sum over the rows i of v[i] a(i, j), each row where v[i] = 0 left out (a zero
/// times an infinite slope adds no NaN). `out` has a.cols elements.
void transposed_product(const column_matrix& a, const double* v, double* out);

/// out[i] = the sum over j of x[j] a(i, j), for each of the a.rows rows.
void product(const column_matrix& a, const double* x, double* out);

/// The lower triangle of a^T a into the row-major a.cols x a.cols matrix `out`: out[i * cols + j]
/// for j <= i; the elements above the diagonal are left as they are.
void lower_gram(const column_matrix& a, double* out);

/// x times -1 as a multiplication forms it: a NaN comes back as it is, where negating it would
/// flip its sign bit.
inline double times_minus_one(double x) {
  return std::isnan(x) ? x : -x;
}

}  // namespace dense_kernels
