// Nested-error (Battese-Harter-Fuller) likelihood and fitters.
//
// Model: y_ij = x_ij' beta + u_i + e_ij for areas i = 0 .. m-1 and units
// j = 1 .. n_i, u_i ~ N(0, sigma_u^2), e_ij ~ N(0, sigma_e^2), independent.
// Area i's covariance is V_i = sigma_e^2 I + sigma_u^2 J (J all ones).
//
// Parameters are theta = (log sigma_e, log sigma_u): log standard deviations,
// error component first. Everything is computed from per-area sufficient
// statistics, so once they are formed (O(n p^2)) one evaluation of the
// objective, its exact gradient and its exact Hessian costs O(m p^2 + p^3),
// whatever the number of units n.
//
//   LmmSufficientStats s = compute_sufficient_stats(X, y, area, m);
//   double reml = lmm_loss_reml(theta, s);          // -2 log L, no constants
//   OptimizationResult fit = fit_lmm_reml(theta0, X, y, area, m);
//   // fit.params = (beta_hat, log sigma_e, log sigma_u)
//
// With lambda = sigma_u^2 / sigma_e^2, d_i = 1 + n_i lambda and
// w_i = lambda / d_i, V_i^-1 = (I - w_i J) / sigma_e^2, and
//   X'V^-1X = (X'X - sum_i w_i xs_i xs_i') / sigma_e^2,
//   X'V^-1y = (X'y - sum_i w_i xs_i ys_i) / sigma_e^2,
//   y'V^-1y = (y'y - sum_i w_i ys_i^2) / sigma_e^2,
//   log|V|  = N log sigma_e^2 + sum_i log d_i,
// with xs_i, ys_i the per-area sums of x and y. beta_hat solves
// A beta = X'V^-1y with A = X'V^-1X when its Cholesky factorisation keeps
// every pivot above 1e-10 times its diagonal entry; otherwise (rank-deficient
// or nearly so) A = X'V^-1X + 1e-8 diag(X'V^-1X). The raise is relative, so
// beta_hat scales with the response and a well-conditioned design is never
// perturbed. An all-zero column of X gets the diagonal entry 1 (coefficient
// 0, no contribution to the likelihood). rss = y'V^-1y - 2 beta'X'V^-1y + beta'X'V^-1X beta, and
//   ML:   -2 log L = log|V| + rss,
//   REML: -2 log L = log|V| + log|A| + rss.
// Areas enter through their size and sums only, so they are grouped by size
// (internal/nested_error_objective.h, shared with the batched Newton refit).
// No 2 pi terms are included: the full REML log-likelihood is
// -0.5 ((N - p) log(2 pi) + value), the full ML one -0.5 (N log(2 pi) + value).
#pragma once

#include <Eigen/Core>

#include "kelp_sae/core/optimization_result.h"
#include "kelp_sae/core/variance_method.h"

namespace kelp_sae::kernels {

// Per-area sufficient statistics of (X, y) over m areas.
struct LmmSufficientStats {
  double y_sq_sum = 0.0;   // sum of y^2 over all units
  Eigen::VectorXd yi_sum;  // m: per-area sum of y
  Eigen::MatrixXd Xi_sum;  // m x p: per-area column sums of X
  Eigen::MatrixXd XtX;     // p x p: X'X
  Eigen::VectorXd Xty;     // p: X'y
  Eigen::VectorXd ni;      // m: per-area unit counts (0 for an area without units)
};

// The statistics of X (n x p), y (n) and area_indices (n, each in
// 0 .. n_areas-1). Throws std::invalid_argument on mismatched lengths or an
// area index out of range.
LmmSufficientStats compute_sufficient_stats(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                            const Eigen::Ref<const Eigen::VectorXd>& y,
                                            const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                            Eigen::Index n_areas);

struct LmmCoreResult {
  double neg2_loglik = 0.0;  // -2 log L without constants
  Eigen::VectorXd beta;      // p: beta_hat at the given variance components
};

// -2 log L and beta_hat at params = (log sigma_e, log sigma_u). A design
// whose jittered X'V^-1X is not positive definite gives NaN.
LmmCoreResult lmm_core_calc(const Eigen::Ref<const Eigen::Vector2d>& params,
                            const LmmSufficientStats& stats, VarianceMethod method);

double lmm_loss_reml(const Eigen::Ref<const Eigen::Vector2d>& params,
                     const LmmSufficientStats& stats);
double lmm_loss_ml(const Eigen::Ref<const Eigen::Vector2d>& params,
                   const LmmSufficientStats& stats);

// The objective (-2 log L without constants) with its exact gradient and
// Hessian with respect to params = (log sigma_e, log sigma_u).
struct LmmObjective {
  double value = 0.0;
  Eigen::Vector2d gradient = Eigen::Vector2d::Zero();
  Eigen::Matrix2d hessian = Eigen::Matrix2d::Zero();
};
LmmObjective lmm_loss_derivatives(const Eigen::Ref<const Eigen::Vector2d>& params,
                                  const LmmSufficientStats& stats, VarianceMethod method);

struct LmmStats {
  double neg2_loglik = 0.0;  // -2 log L without constants
  Eigen::VectorXd beta;      // p
  Eigen::MatrixXd cov;       // p x p: A^-1 (A as above)
};

// -2 log L, beta_hat and cov(beta_hat) at fixed params = (log sigma_e,
// log sigma_u) on data X (n x p), y (n), area_indices (n) over n_areas areas.
LmmStats evaluate_lmm_stats(const Eigen::Ref<const Eigen::Vector2d>& params,
                            const Eigen::Ref<const Eigen::MatrixXd>& X,
                            const Eigen::Ref<const Eigen::VectorXd>& y,
                            const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                            Eigen::Index n_areas, VarianceMethod method = VarianceMethod::REML);

struct LmmFitOptions {
  double tol = 1e-4;  // BFGS stops when the largest |gradient| component is at most tol
  int max_iter = 100;
};

// Minimises the REML (ML) objective over theta = (log sigma_e, log sigma_u)
// by BFGS with the exact gradient, from init_params.
// Result: params = (beta_hat (p), theta_hat (2)); hessian_inv is
// (p+2) x (p+2), zero except its lower-right 2 x 2 block, the inverse of the
// exact Hessian of the objective at theta_hat (1e-6 I when that Hessian is
// singular or not finite); fun = objective at theta_hat; success and
// message = the minimiser's flag and status (MinimizerStatus in bfgs.h).
// Non-convergence is reported there, never thrown.
OptimizationResult fit_lmm_reml(const Eigen::Ref<const Eigen::Vector2d>& init_params,
                                const Eigen::Ref<const Eigen::MatrixXd>& X,
                                const Eigen::Ref<const Eigen::VectorXd>& y,
                                const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                Eigen::Index n_areas, const LmmFitOptions& options = {});
OptimizationResult fit_lmm_ml(const Eigen::Ref<const Eigen::Vector2d>& init_params,
                              const Eigen::Ref<const Eigen::MatrixXd>& X,
                              const Eigen::Ref<const Eigen::VectorXd>& y,
                              const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                              Eigen::Index n_areas, const LmmFitOptions& options = {});

}  // namespace kelp_sae::kernels
