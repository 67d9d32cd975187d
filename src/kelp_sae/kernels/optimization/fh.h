// Fay-Herriot fitters: REML or ML estimation of the area variance component
// by BFGS on the profiled loss in log sigma_u (see fh_losses.h), followed by
// the GLS coefficients at the estimate.
//
//   OptimizationResult fit = fit_fay_herriot_reml(init, X, y, D, {.tol = 1e-6});
//   // fit.params = (beta_hat (p), log sigma_u), log sigma_u in [-10, 10]
//
// Arguments: `init_params` has any length >= 1 and only its last entry, the
// starting log sigma_u, is used; X is N x p, y (direct estimates) and D
// (sampling variances) have N entries. Shape mismatches and an empty
// `init_params` throw std::invalid_argument; non-convergence does not throw.
//
// Procedure:
//  1. minimise the loss over log sigma_u from the start value by BFGS
//     (minimize_bfgs with `tol` and `max_iter`); the loss is flat beyond
//     +-10, so when the search ends out there while the slope at the bound
//     points back inside, it is restarted from the bound;
//  2. l = clip(solution, -10, 10), sigma_u^2 = exp(2 l), W_i = 1 / max(sigma_u^2 + D_i, 1e-10),
//     A_s = X' diag(W) X + eps I, eps = 1e-10 tr(X' diag(W) X) / p (a ridge
//     relative to the matrix, so it moves with the unit of y; see fh_losses.h);
//  3. beta_hat = A_s^-1 X' diag(W) y and Cov(beta_hat) = A_s^-1 (the GLS
//     covariance at the estimate);
//  4. h = exact second derivative of the loss in log sigma_u at l, and
//     Var(log sigma_u) = 1 / (h + 1e-8).
// Result: `params` = (beta_hat, l); `hessian_inv` is (p+1) x (p+1) with
// Cov(beta_hat) in the leading block, Var(log sigma_u) at (p, p) and zeros
// elsewhere (coefficients and log sigma_u treated as uncorrelated); `fun` is
// the minimiser's final loss; `success` is true when the minimiser converged
// (status 0); `message` is its status code (MinimizerStatus: 0 converged,
// 1 iteration limit, 2 line-search failure, 3 non-finite start).
#pragma once

#include <Eigen/Core>

#include "kelp_sae/core/optimization_result.h"

namespace kelp_sae::kernels {

struct FitOptions {
  double tol = 1e-4;   // largest absolute gradient component at convergence
  int max_iter = 100;  // BFGS iteration limit
};

OptimizationResult fit_fay_herriot_reml(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                        const Eigen::Ref<const Eigen::MatrixXd>& X,
                                        const Eigen::Ref<const Eigen::VectorXd>& y,
                                        const Eigen::Ref<const Eigen::VectorXd>& D,
                                        const FitOptions& options = {});
OptimizationResult fit_fay_herriot_ml(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                      const Eigen::Ref<const Eigen::MatrixXd>& X,
                                      const Eigen::Ref<const Eigen::VectorXd>& y,
                                      const Eigen::Ref<const Eigen::VectorXd>& D,
                                      const FitOptions& options = {});

// Alternative entry points kept for callers of the gradient-based and
// loss-library-based fitters; they run the same procedure and return
// identical results.
OptimizationResult fit_fay_herriot_reml_gradient(
    const Eigen::Ref<const Eigen::VectorXd>& init_params,
    const Eigen::Ref<const Eigen::MatrixXd>& X, const Eigen::Ref<const Eigen::VectorXd>& y,
    const Eigen::Ref<const Eigen::VectorXd>& D, const FitOptions& options = {});
OptimizationResult fit_fay_herriot_ml_gradient(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                               const Eigen::Ref<const Eigen::MatrixXd>& X,
                                               const Eigen::Ref<const Eigen::VectorXd>& y,
                                               const Eigen::Ref<const Eigen::VectorXd>& D,
                                               const FitOptions& options = {});
OptimizationResult fit_fay_herriot_reml_compat(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                               const Eigen::Ref<const Eigen::MatrixXd>& X,
                                               const Eigen::Ref<const Eigen::VectorXd>& y,
                                               const Eigen::Ref<const Eigen::VectorXd>& D,
                                               const FitOptions& options = {});
OptimizationResult fit_fay_herriot_ml_compat(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                             const Eigen::Ref<const Eigen::MatrixXd>& X,
                                             const Eigen::Ref<const Eigen::VectorXd>& y,
                                             const Eigen::Ref<const Eigen::VectorXd>& D,
                                             const FitOptions& options = {});

}  // namespace kelp_sae::kernels
