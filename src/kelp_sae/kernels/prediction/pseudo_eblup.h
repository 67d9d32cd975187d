// The pseudo-EBLUP of the nested-error model under informative sampling
// (You and Rao 2002; Guadarrama, Molina and Rao 2018): the variance
// components come from the unweighted fit, the survey weights enter beta and
// the area effects.
//
// With the weighted area means ybar_aw = sum_j w_j y_j / W_a and xbar_aw
// (W_a = sum_j w_j), delta_a = sum_j w_j^2 / W_a^2 and
//   gamma_aw = sigma_u^2 / (sigma_u^2 + sigma_e^2 delta_a),
// beta solves sum_a sum_j w_j (x_j - gamma_aw xbar_aw)(y_j - x_j' beta) = 0,
// the predicted area effect is u_a = gamma_aw (ybar_aw - xbar_aw' beta) and
// its conditional variance sigma_u^2 (1 - gamma_aw). Equal weights give the
// unweighted EBLUP (the GLS beta, gamma_a = sigma_u^2 / (sigma_u^2 +
// sigma_e^2 / n_a)).
//
//   PseudoEblup fit = pseudo_eblup(X, y, w, offsets, sigma_u * sigma_u, sigma_e * sigma_e);
#pragma once

#include <Eigen/Core>
#include <span>

namespace kelp_sae::kernels {

struct PseudoEblup {
  Eigen::VectorXd beta;   // p
  Eigen::VectorXd gamma;  // m: gamma_aw, 0 for an area without units
  Eigen::VectorXd u_hat;  // m: gamma_aw (ybar_aw - xbar_aw' beta), 0 without units
};

// X (n x p), y (n) and w (n) with the units grouped by area: area a holds
// rows [offsets[a], offsets[a + 1]) (m + 1 offsets, non-decreasing, from 0 to
// n). sigma_u2 >= 0 and sigma_e2 >= 0 are the variances (not log sigmas).
// Throws std::invalid_argument for mismatched shapes, bad offsets, a weight
// that is not positive and finite, or negative or non-finite variances. A
// singular system leaves beta (and so u_hat) non-finite; the caller checks.
PseudoEblup pseudo_eblup(const Eigen::Ref<const Eigen::MatrixXd>& X,
                         const Eigen::Ref<const Eigen::VectorXd>& y,
                         const Eigen::Ref<const Eigen::VectorXd>& w,
                         std::span<const Eigen::Index> offsets, double sigma_u2, double sigma_e2);

}  // namespace kelp_sae::kernels
