// OptimizationResult: what a fitting kernel returns.
//
// A plain aggregate, so it supports structured bindings in field order:
//   auto [params, hessian_inv, fun, success, message] = fit_fay_herriot_reml(...);
#pragma once

#include <Eigen/Core>
#include <iosfwd>
#include <string>

namespace kelp_sae {

struct OptimizationResult {
  Eigen::VectorXd params;       // final parameter vector (layout per fitter)
  Eigen::MatrixXd hessian_inv;  // covariance of the parameters (layout per fitter)
  double fun = 0.0;             // final loss value
  bool success = false;         // converged without a line-search failure
  int message = 0;              // minimiser status code (see MinimizerStatus)
};

// "OptimizationResult(success=True, fun=<fun>, message=<code>)".
std::string to_string(const OptimizationResult& result);
std::ostream& operator<<(std::ostream& os, const OptimizationResult& result);

}  // namespace kelp_sae
