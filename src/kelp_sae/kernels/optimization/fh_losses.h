// Fay-Herriot negative log-likelihoods with the regression coefficients
// profiled out, as functions of the single parameter log sigma_u.
//
// Model: y = X beta + u + e, u ~ N(0, sigma_u^2 I), e ~ N(0, diag(D)), so
// y ~ N(X beta, V) with V = diag(sigma_u^2 + D_i). For a parameter value l:
//   sigma_u^2 = exp(2 clip(l, -10, 10)),  W_i = 1 / max(sigma_u^2 + D_i, 1e-10),
//   A_0 = X' diag(W) X,  A_s = A_0 + eps I with eps = 1e-10 tr(A_0) / p
//   (1e-10 when tr(A_0) = 0),  beta_hat = A_s^-1 X' diag(W) y,
//   r = y - X beta_hat,  RSS = sum_i W_i r_i^2,  log|V| = sum_i log max(V_i, 1e-10),
//   REML = 0.5 ((N - p) log(2 pi) + log|V| + log|A_s| + RSS),
//   ML   = 0.5 (N log(2 pi) + log|V| + RSS).
// The losses are smooth in l inside [-10, 10] and constant outside; they are
// defined for every finite input (the clip, the floor and the ridge keep every
// logarithm, division and solve defined). The ridge is relative to A_0, so
// with y -> c y and D -> c^2 D the coefficients move by c exactly as the
// unregularised ones do (inside the clip).
//
// Shapes: X is N x p (p >= 1), y and D have N entries; a mismatch throws
// std::invalid_argument naming the function. The parameter is the scalar
// log sigma_u (not sigma_u, not the variance).
//
//   ProfiledLoss L = fh_reml_loss(0.3, X, y, D);   // L.value, L.d1, L.d2
//   double v = reml_loss_cholesky(0.3, X, y, D);   // same value, other solve
#pragma once

#include <Eigen/Core>

#include "kelp_sae/core/variance_method.h"

namespace kelp_sae::kernels {

// A loss value with its exact first and second derivatives in log sigma_u
// (both 0 outside [-10, 10]). The derivation is documented beside the
// implementation (optimization/internal/fh_profile.h).
struct ProfiledLoss {
  double value = 0.0;
  double d1 = 0.0;
  double d2 = 0.0;
};

ProfiledLoss fh_reml_loss(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                          const Eigen::Ref<const Eigen::VectorXd>& y,
                          const Eigen::Ref<const Eigen::VectorXd>& D);
ProfiledLoss fh_ml_loss(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                        const Eigen::Ref<const Eigen::VectorXd>& y,
                        const Eigen::Ref<const Eigen::VectorXd>& D);

// The loss library: the same values computed directly as written above, the
// solve by LU with partial pivoting and log|A_s| from its factors.
double reml_loss(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                 const Eigen::Ref<const Eigen::VectorXd>& y,
                 const Eigen::Ref<const Eigen::VectorXd>& D);
double ml_loss(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
               const Eigen::Ref<const Eigen::VectorXd>& y,
               const Eigen::Ref<const Eigen::VectorXd>& D);

// Cholesky variants: A_s = L L', beta_hat by two triangular solves and
// log|A_s| = 2 sum log L_ii. NaN if A_s is not numerically positive definite.
double reml_loss_cholesky(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                          const Eigen::Ref<const Eigen::VectorXd>& y,
                          const Eigen::Ref<const Eigen::VectorXd>& D);
double ml_loss_cholesky(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                        const Eigen::Ref<const Eigen::VectorXd>& y,
                        const Eigen::Ref<const Eigen::VectorXd>& D);

// The Cholesky loss of the given method.
double fh_loss_unified(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                       const Eigen::Ref<const Eigen::VectorXd>& y,
                       const Eigen::Ref<const Eigen::VectorXd>& D,
                       VarianceMethod method = VarianceMethod::REML);

// Loss value and its derivative in log sigma_u.
struct LossWithGradient {
  double value = 0.0;
  double gradient = 0.0;
};
LossWithGradient reml_loss_with_grad(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                                     const Eigen::Ref<const Eigen::VectorXd>& y,
                                     const Eigen::Ref<const Eigen::VectorXd>& D);
LossWithGradient ml_loss_with_grad(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                                   const Eigen::Ref<const Eigen::VectorXd>& y,
                                   const Eigen::Ref<const Eigen::VectorXd>& D);

}  // namespace kelp_sae::kernels
