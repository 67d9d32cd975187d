// Bounded scalar minimisation by Brent's method (golden-section search with
// parabolic interpolation), as in R. P. Brent, "Algorithms for Minimization
// without Derivatives" (1973), ch. 5, in the form of SciPy's bounded
// `minimize_scalar` (fminbound).
//
//   ScalarResult r = minimize_scalar_bounded([](double x) { return (x - 0.3) * (x - 0.3); },
//                                            -2.0, 2.0, {.xatol = 1e-8});
//
// The function is only evaluated strictly inside (lo, hi). The search stops
// when the bracket around the best point is within about 2 (sqrt(eps)|x| +
// xatol / 3) (status 0) or after `max_iter` evaluations (status 1); a NaN
// best point or value gives status 2. lo > hi or non-finite bounds throw
// std::invalid_argument.
#pragma once

#include <functional>

namespace kelp_sae::kernels {

struct ScalarOptions {
  double xatol = 1e-5;  // absolute tolerance on the minimiser
  int max_iter = 500;   // maximum number of function evaluations
};

struct ScalarResult {
  double x = 0.0;
  double fun = 0.0;
  int n_evaluations = 0;
  int status = 0;  // 0 converged, 1 evaluation limit, 2 NaN encountered
  bool success = false;
};

ScalarResult minimize_scalar_bounded(const std::function<double(double)>& f, double lo, double hi,
                                     const ScalarOptions& options = {});

}  // namespace kelp_sae::kernels
