// Analytical (Prasad-Rao type) MSE of the nested-error EBLUP of area means.
//
// MSE_i = g1_i + g2_i + 2 g3_i (Prasad and Rao 1990; Rao and Molina 2015,
// section 7.2) with gamma_i = sigma_u^2 / (sigma_u^2 + sigma_e^2 / n_i):
//   g1_i = sigma_u^2 (1 - gamma_i)                      area-effect prediction
//   g2_i = a_i' cov(beta_hat) a_i, a_i = (1 - gamma_i) X_pop_means_i   estimating beta
//   g3_i = V_i grad(gamma_i)' Cov(sigma_e^2, sigma_u^2) grad(gamma_i)   estimating the
//          variance components, V_i = sigma_u^2 + sigma_e^2 / n_i, the gradient
//          taken in (sigma_e^2, sigma_u^2). V_i carries the unit of the response
//          squared, so the MSE scales with the square of the response's unit.
// An area without sample (n_i = 0) has gamma 0 and g3 0: MSE = sigma_u^2 +
// X_pop_means_i' cov(beta_hat) X_pop_means_i.
//
//   Eigen::Matrix2d vc = Eigen::Vector2d(2 * se2 * se2 / (n - p), 2 * su2 * su2 / M).asDiagonal();
//   Eigen::VectorXd mse = analytical_mse_bhf(su2, se2, beta_cov, X_pop_means, n_i, vc);
#pragma once

#include <Eigen/Core>
#include <optional>

namespace kelp_sae::kernels {

// sigma_u2, sigma_e2: variances (not standard deviations); beta_cov (p x p);
// X_pop_means (M x p); n_i_sample (M, 0 for an area without sample);
// var_cov_params: covariance of (sigma_e^2, sigma_u^2) ([0,0] var(sigma_e^2),
// [1,1] var(sigma_u^2), [0,1] their covariance); without it g3 = 0.
// Returns the M-vector of MSEs. Throws std::invalid_argument on mismatched
// shapes.
Eigen::VectorXd analytical_mse_bhf(
    double sigma_u2, double sigma_e2, const Eigen::Ref<const Eigen::MatrixXd>& beta_cov,
    const Eigen::Ref<const Eigen::MatrixXd>& X_pop_means,
    const Eigen::Ref<const Eigen::VectorXd>& n_i_sample,
    const std::optional<Eigen::Matrix2d>& var_cov_params = std::nullopt);

}  // namespace kelp_sae::kernels
