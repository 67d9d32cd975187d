// The pseudo-EBLUP of the nested-error model under informative sampling
// (You and Rao 2002; Guadarrama, Molina and Rao 2018): the variance
// components come from the unweighted fit, the survey weights enter beta and
// the area effects.
//
// With the weighted area means ybar_aw = sum_j w_j y_j / W_a and xbar_aw
// (W_a = sum_j w_j), delta_a = sum_j w_j^2 / W_a^2 and
//   gamma_aw = sigma_u^2 / (sigma_u^2 + sigma_e^2 delta_a),
// beta solves sum_a sum_j w_j (x_j - gamma_aw xbar_aw)(y_j - x_j' beta) = 0,
// that is A beta = r with
//   A = sum_j w_j x_j x_j' - sum_a gamma_aw W_a xbar_aw xbar_aw',
//   r = sum_j w_j x_j y_j  - sum_a gamma_aw W_a xbar_aw ybar_aw;
// the predicted area effect is u_a = gamma_aw (ybar_aw - xbar_aw' beta) and
// its conditional variance sigma_u^2 (1 - gamma_aw). Equal weights give the
// unweighted EBLUP (the GLS beta, gamma_a = sigma_u^2 / (sigma_u^2 +
// sigma_e^2 / n_a)).
//
//   PseudoEblup fit = pseudo_eblup(X, y, w, offsets, sigma_u * sigma_u, sigma_e * sigma_e);
//
// A bootstrap whose replicates share X and w computes the design's sums once
// (weighted_design_sums) and solves each replicate from its response sums
// (pseudo_eblup_from_sums), allocating only the result.
#pragma once

#include <Eigen/Core>
#include <span>

namespace kelp_sae::kernels {

struct PseudoEblup {
  Eigen::VectorXd beta;   // p
  Eigen::VectorXd gamma;  // m: gamma_aw, 0 for an area without units
  Eigen::VectorXd u_hat;  // m: gamma_aw (ybar_aw - xbar_aw' beta), 0 without units
};

// The response-free sums of a weighted design.
struct WeightedDesignSums {
  Eigen::MatrixXd XtWX;   // p x p: sum_j w_j x_j x_j'
  Eigen::VectorXd W;      // m: sum of the area's weights (0 without units)
  Eigen::VectorXd delta;  // m: sum w^2 / W^2 (0 without units)
  Eigen::MatrixXd xbar;   // p x m: weighted area means of x (0 without units)
};

// X (n x p) and w (n) with the units grouped by area: area a holds rows
// [offsets[a], offsets[a + 1]) (m + 1 offsets, non-decreasing, from 0 to
// n). Throws std::invalid_argument for mismatched shapes, bad offsets or a
// weight that is not positive and finite.
WeightedDesignSums weighted_design_sums(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                        const Eigen::Ref<const Eigen::VectorXd>& w,
                                        std::span<const Eigen::Index> offsets);

// The pseudo-EBLUP from the design's sums, Xt_w_y = sum_j w_j x_j y_j (p)
// and the weighted area means of y, ybar_w (m). sigma_u2 >= 0 and
// sigma_e2 >= 0 are the variances (not log sigmas). A singular system
// leaves beta (and so u_hat) NaN; the caller checks. Throws
// std::invalid_argument for mismatched shapes or negative or non-finite
// variances.
PseudoEblup pseudo_eblup_from_sums(const WeightedDesignSums& sums,
                                   const Eigen::Ref<const Eigen::VectorXd>& Xt_w_y,
                                   const Eigen::Ref<const Eigen::VectorXd>& ybar_w, double sigma_u2,
                                   double sigma_e2);

// Both steps on the data: y (n) beside X and w as above.
PseudoEblup pseudo_eblup(const Eigen::Ref<const Eigen::MatrixXd>& X,
                         const Eigen::Ref<const Eigen::VectorXd>& y,
                         const Eigen::Ref<const Eigen::VectorXd>& w,
                         std::span<const Eigen::Index> offsets, double sigma_u2, double sigma_e2);

}  // namespace kelp_sae::kernels
