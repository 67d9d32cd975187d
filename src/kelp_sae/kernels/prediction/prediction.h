// EBLUP of area means under the nested-error model.
//
// With fitted beta_hat, sigma_u and sigma_e, area i's predicted effect is its
// mean residual shrunk by gamma_i = sigma_u^2 / (sigma_u^2 + sigma_e^2 / n_i),
// and the EBLUP of its mean is X_pop_mean_i' beta_hat + u_hat_i (Battese,
// Harter and Fuller 1988; Rao and Molina 2015, section 7.1). An area without
// sample gets gamma 0 and the synthetic estimate X_pop_mean_i' beta_hat.
//
//   AreaEblup e = predict_area_eblup(beta, su, se, n_i, ybar, xbar_smp, xbar_pop);
//   // e.theta_hat(i): predicted mean of population area i
#pragma once

#include <Eigen/Core>

namespace kelp_sae::kernels {

struct UnitEblup {
  Eigen::VectorXd u_hat;  // n_areas: predicted area effects (0 for an area without units)
  Eigen::VectorXd gamma;  // n_areas: shrinkage factors (0 for an area without units)
};

// Predicted area effects from unit records: X (n x p), y (n), beta (p),
// standard deviations sigma_u and sigma_e, area_ids (n, each in
// 0 .. n_areas-1). u_hat_i = sigma_u^2 / (sigma_e^2 + n_i sigma_u^2) S_i with
// S_i the area's sum of residuals y - X beta. Throws std::invalid_argument on
// mismatched shapes or an area id out of range.
UnitEblup predict_unit_eblup(const Eigen::Ref<const Eigen::MatrixXd>& X,
                             const Eigen::Ref<const Eigen::VectorXd>& y,
                             const Eigen::Ref<const Eigen::VectorXd>& beta, double sigma_u,
                             double sigma_e, const Eigen::Ref<const Eigen::VectorXi>& area_ids,
                             Eigen::Index n_areas);

struct AreaEblup {
  Eigen::VectorXd theta_hat;  // M: EBLUP of the area mean
  Eigen::VectorXd u_hat;      // M: predicted area effect
  Eigen::VectorXd gamma;      // M: shrinkage factor (0 for an area without sample)
};

// EBLUP of the means of M population areas from area summaries: n_i (M,
// sample sizes, 0 for none), y_bar_s (M, sample means of y, 0 for none),
// X_smp_means (M x p, sample covariate means, 0 for none), X_pop_means
// (M x p, population covariate means), beta (p), standard deviations sigma_u
// and sigma_e.
//   gamma_i = sigma_u^2 / (sigma_u^2 + sigma_e^2 / max(n_i, 1)), 0 where n_i = 0,
//   u_hat_i = gamma_i (y_bar_s_i - X_smp_means_i' beta),
//   theta_hat_i = X_pop_means_i' beta + u_hat_i.
// Throws std::invalid_argument on mismatched shapes.
AreaEblup predict_area_eblup(const Eigen::Ref<const Eigen::VectorXd>& beta, double sigma_u,
                             double sigma_e, const Eigen::Ref<const Eigen::VectorXd>& n_i,
                             const Eigen::Ref<const Eigen::VectorXd>& y_bar_s,
                             const Eigen::Ref<const Eigen::MatrixXd>& X_smp_means,
                             const Eigen::Ref<const Eigen::MatrixXd>& X_pop_means);

}  // namespace kelp_sae::kernels
