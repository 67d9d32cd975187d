// A small BFGS minimiser with a strong-Wolfe line search.
//
//   auto f = [](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
//     g = 2.0 * x;
//     return x.squaredNorm();
//   };
//   BfgsResult r = minimize_bfgs(f, Eigen::VectorXd::Ones(3), {.tol = 1e-6});
//
// Stops when the largest absolute gradient component is at most `tol`
// (status 0, converged), after `max_iter` iterations (status 1), when the
// line search finds no point satisfying the strong Wolfe conditions (status
// 2) or when the objective or gradient is not finite at the start (status
// 3). `success` means status 0. No memory is allocated per iteration beyond
// the objective's own.
#pragma once

#include <Eigen/Core>
#include <functional>

namespace kelp_sae::kernels {

enum MinimizerStatus : int {
  kConverged = 0,
  kIterationLimit = 1,
  kLineSearchFailed = 2,
  kNonFiniteStart = 3,
};

// Returns f(x) and writes the gradient at x into `grad` (already sized).
using ObjectiveWithGradient =
    std::function<double(const Eigen::VectorXd& x, Eigen::VectorXd& grad)>;

struct BfgsOptions {
  double tol = 1e-4;  // gradient sup-norm at which the search stops
  int max_iter = 100;
};

struct BfgsResult {
  Eigen::VectorXd x;            // final point
  double fun = 0.0;             // objective at x
  Eigen::VectorXd grad;         // gradient at x
  Eigen::MatrixXd inv_hessian;  // final BFGS inverse-Hessian approximation
  int iterations = 0;
  int n_evaluations = 0;
  int status = kConverged;
  bool success = false;  // status == kConverged
};

BfgsResult minimize_bfgs(const ObjectiveWithGradient& objective, const Eigen::VectorXd& x0,
                         const BfgsOptions& options = {});

}  // namespace kelp_sae::kernels
