// The diagnostics of a fit and the direct estimates beside which the report
// sets the model estimates, from the arrays the front ends hold after the
// fit (pure functions; the statistics come from kernels/diagnostics).
//
//   result.set_diagnostics(internal::nested_error_diagnostics(X, y, area, m, beta, su, se));
//   result.set_direct_estimates(internal::sample_means(y, offsets, labels));
#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

#include "kelp_sae/results/containers.h"

namespace kelp_sae::models::internal {

// Nested-error model y_ij = x_ij' beta + u_i + e_ij, units sorted or not:
// X (n x p) the design beta multiplies, area_indices in 0 .. m-1. Area
// effects u_i = gamma_i (mean_i(y) - mean_i(x)' beta), gamma_i = sigma_u^2 /
// (sigma_u^2 + sigma_e^2 / n_i); residuals e_ij = y_ij - x_ij' beta - u_i
// divided by sigma_e, beside the fitted values x_ij' beta + u_i; area effects
// divided by their standard deviation; Nakagawa-Schielzeth R-squared.
Diagnostics nested_error_diagnostics(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                     const Eigen::Ref<const Eigen::VectorXd>& y,
                                     const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                     Eigen::Index m, const Eigen::Ref<const Eigen::VectorXd>& beta,
                                     double sigma_u, double sigma_e);

// Fay-Herriot model y_i = x_i' beta + u_i + e_i, e_i ~ N(0, D_i): residuals
// (y_i - x_i' beta) / sqrt(sigma_u^2 + D_i) beside x_i' beta, the EBLUP area
// effects gamma_i (y_i - x_i' beta) divided by their standard deviation, and
// the linking model's R-squared.
Diagnostics fay_herriot_diagnostics(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                    const Eigen::Ref<const Eigen::VectorXd>& y,
                                    const Eigen::Ref<const Eigen::VectorXd>& D,
                                    const Eigen::Ref<const Eigen::VectorXd>& beta, double sigma_u);

// The unweighted sample mean of y per sampled area (units of area i in rows
// [offsets[i], offsets[i+1])), with variance s^2 / n_i (NaN for one unit).
std::vector<DirectEstimate> sample_means(const Eigen::Ref<const Eigen::VectorXd>& y,
                                         const std::vector<Eigen::Index>& offsets,
                                         const std::vector<std::string>& areas,
                                         const std::string& indicator);

}  // namespace kelp_sae::models::internal
