// EBLUPs of a fitted Fay-Herriot model with their Prasad-Rao second-order
// mean squared error approximation.
//
//   auto [est, mse, g1, g2, g3] = estimate_mse_prasad_rao(X, y, D, beta_hat, sigma_u2, cov);
//
// For area i, with V_i = sigma_u^2 + D_i, gamma_i = sigma_u^2 / V_i and
// B_i = D_i / V_i:
//   estimate_i = gamma_i y_i + (1 - gamma_i) x_i' beta_hat,
//   g1_i = gamma_i D_i,  g2_i = B_i^2 x_i' Cov(beta_hat) x_i,
//   g3_i = B_i^2 Var(sigma_u^2) / V_i,
//   mse_i = g1_i + g2_i + 2 g3_i - bias_i,
// where, with S1 = sum 1/V_i and S2 = sum 1/V_i^2, by the method that
// estimated sigma_u^2:
//   REML: Var(sigma_u^2) = 2 / S2, no bias term;
//   ML:   Var(sigma_u^2) = 2 / S2, bias_i = -B_i^2 tr(Cov(beta_hat) X' diag(1/V^2) X) / S2;
//   FH:   Var(sigma_u^2) = 2 m / S1^2, bias_i = B_i^2 2 (m S2 - S1^2) / S1^3
//         (the Fay-Herriot moment estimator).
// Shapes: X m x p, y and D m entries, beta_hat p, beta_cov p x p; mismatches
// throw std::invalid_argument. No other validation: areas with V_i = 0 give
// non-finite values.
#pragma once

#include <Eigen/Core>

#include "kelp_sae/core/variance_method.h"

namespace kelp_sae::kernels {

// The estimator of sigma_u^2 whose variance and bias the MSE accounts for:
// the two likelihood methods of the fitters, or the Fay-Herriot moment method.
enum class PrasadRaoMethod { REML, ML, FH };

struct PrasadRaoResult {
  Eigen::VectorXd estimates;  // EBLUPs
  Eigen::VectorXd mse;
  Eigen::VectorXd g1;
  Eigen::VectorXd g2;
  Eigen::VectorXd g3;
};

PrasadRaoResult estimate_mse_prasad_rao(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                        const Eigen::Ref<const Eigen::VectorXd>& y,
                                        const Eigen::Ref<const Eigen::VectorXd>& D,
                                        const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
                                        double sigma_u2,
                                        const Eigen::Ref<const Eigen::MatrixXd>& beta_cov,
                                        PrasadRaoMethod method = PrasadRaoMethod::REML);
// The same for a fit by one of the likelihood methods.
PrasadRaoResult estimate_mse_prasad_rao(
    const Eigen::Ref<const Eigen::MatrixXd>& X, const Eigen::Ref<const Eigen::VectorXd>& y,
    const Eigen::Ref<const Eigen::VectorXd>& D, const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
    double sigma_u2, const Eigen::Ref<const Eigen::MatrixXd>& beta_cov, VarianceMethod method);

}  // namespace kelp_sae::kernels
