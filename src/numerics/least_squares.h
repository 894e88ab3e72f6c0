#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

/// One measured point: y at x, with the error of y (x has no error).
struct data_point {
  double x = 0.0;
  double y = 0.0;
  double ey = 0.0;
};

/// A model y = f(x; p) with its derivatives in the parameters.
struct fit_model {
  /// The number of parameters.
  int parameter_count = 0;
  /// f at x for the parameters `par`; fills `grad` (parameter_count) and `hess`
  /// (parameter_count^2, row-major) with the first and second derivatives when they are not null.
  double (*evaluate)(double x, const double* par, double* grad, double* hess) = nullptr;
  /// The first derivatives alone at x, as `evaluate` gives them, for a model whose value costs
  /// more than its slopes; may be null, and `evaluate` then serves.
  void (*gradient)(double x, const double* par, double* grad) = nullptr;
  /// f at the n points x[0..n) into values[0..n) and its first derivatives into
  /// slopes[j * n + i] (parameter j, point i; parameter_count n elements), bit for bit as
  /// `evaluate` gives them point by point, for a model cheaper on many points at once; may be
  /// null, and `evaluate` then serves.
  void (*evaluate_many)(size_t n, const double* x, const double* par, double* values,
                        double* slopes) = nullptr;
};

/// A parameter of the model: its name, start value and whether it is held fixed.
struct fit_parameter {
  std::string name;
  double start = 0.0;
  bool fixed = false;
};

/// How long a fit may go on.
struct fit_limits {
  /// Minimiser steps at most.
  int max_iterations = 500;
  /// Asked after every step with every parameter's value; true ends the fit there, unconverged,
  /// for a fit that has wandered where it cannot end well. May be empty.
  std::function<bool(const double* values)> give_up;
  /// Whether a few full Newton steps refine the minimum the trust region reached; without them
  /// a fit is cheaper and its chi2 may stand a little above the minimum's.
  bool polish = true;
  /// The trust region stops once a step moves the parameters, or the gradient falls, below this
  /// relative size.
  double tolerance = 1e-12;
  /// Whether each step is solved from the normal equations by Cholesky rather than by QR: some
  /// times cheaper, and less accurate only where the Jacobian is nearly singular.
  bool normal_equations = false;
};

/// What a fit found.
struct fit_result {
  std::vector<double> values;  ///< by parameter; a fixed one keeps its start value
  std::vector<double> errors;  ///< by parameter; 0.0 for a fixed one
  double chi2 = 0.0;           ///< at the values found
  int points = 0;              ///< points inside the fit range
  int ndf = 0;                 ///< points less free parameters
  double edm = 0.0;            ///< estimated distance to the minimum, in chi2
  int iterations = 0;          ///< steps the minimiser took
  bool converged = false;      ///< the minimum was reached (edm small, values finite)
  bool gave_up = false;        ///< the limits' give_up ended the fit
};

/// Minimises chi2 = sum ((y - f(x)) / ey)^2 over the points with xmin <= x <= xmax. The errors
/// are the square roots of the diagonal of 2 H^-1, H being the full matrix of second
/// derivatives of chi2 in the free parameters at the minimum; where H is not positive definite,
/// the Gauss-Newton matrix stands in. With fewer points in range than free parameters no
/// minimisation runs: the start values come back with errors 0.0 and `converged` false.
fit_result least_squares_fit(const fit_model& model, const std::vector<fit_parameter>& parameters,
                             const std::vector<data_point>& data, double xmin, double xmax,
                             const fit_limits& limits = {});
