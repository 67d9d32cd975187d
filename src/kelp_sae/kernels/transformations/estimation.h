// The Box-Cox parameter of a response by the REML profile likelihood of the
// nested-error model.
//
// For a trial lambda the response is transformed (boxcox.h), standardised,
// y_s = (y_t - mean) / s_safe with s the standard deviation (divisor n) and
// s_safe = s when s > 1e-9 else 1, and the model is fitted by REML
// (fit_lmm_reml from (-0.5, -0.5)). The profile log-likelihood is
//   l(lambda) = l_s - n log(s_safe) + (lambda - 1) sum_i log max(y_i, 1e-6),
// l_s = -0.5 (-2 REML log-likelihood of y_s at the fitted variance
// components): the scale term and the Jacobian make likelihoods on different
// transformed scales comparable. A fit that does not converge scores 1e12 and
// the search moves away from it. lambda maximises l over [lower, upper] by
// Brent's bounded method (brent.h) with absolute tolerance 0.001 and at most
// 500 evaluations; the minimiser found is returned unrounded.
//
//   double lambda = estimate_boxcox_lambda(X, y, area, m, {.lower = -2.0, .upper = 2.0});
#pragma once

#include <Eigen/Core>

namespace kelp_sae::kernels {

struct BoxCoxLambdaOptions {
  double lower = -2.0;  // search interval of lambda
  double upper = 2.0;
  double tol = 1e-4;   // tolerance of every REML fit
  int max_iter = 100;  // iteration limit of every REML fit
};

// X (n x p): design of every fit; y_raw (n): shifted, untransformed
// responses; area_indices (n): areas 0 .. n_areas-1. Throws
// std::invalid_argument for mismatched lengths, an area index out of range, or
// bounds that are not finite or have lower > upper.
double estimate_boxcox_lambda(const Eigen::Ref<const Eigen::MatrixXd>& X,
                              const Eigen::Ref<const Eigen::VectorXd>& y_raw,
                              const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                              Eigen::Index n_areas, const BoxCoxLambdaOptions& options = {});

// The objective minimised above: minus the profile log-likelihood at lambda
// (1e12 when the REML fit fails).
double boxcox_negative_profile_loglik(double lambda, const Eigen::Ref<const Eigen::MatrixXd>& X,
                                      const Eigen::Ref<const Eigen::VectorXd>& y_raw,
                                      const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                      Eigen::Index n_areas, double tol, int max_iter);

}  // namespace kelp_sae::kernels
