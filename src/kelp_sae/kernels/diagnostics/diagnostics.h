// Model diagnostics: the shape of residuals and predicted area effects
// (skewness, kurtosis, the Shapiro-Wilk test), the share of variance the
// model explains (R-squared of mixed and Fay-Herriot models) and the Box-Cox
// profile likelihood of lambda over its search interval.
//
//   const kernels::DistributionSummary s = kernels::summarize_distribution(residuals);
//   // s.skewness, s.kurtosis, s.shapiro_w, s.shapiro_p, s.shapiro_n, s.subsampled
//   const kernels::MixedRSquared r2 = kernels::nakagawa_r_squared(X * beta, su * su, se * se);
#pragma once

#include <Eigen/Core>

#include "kelp_sae/kernels/transformations/estimation.h"

namespace kelp_sae::kernels {

// Moment skewness m3 / m2^(3/2) with central moments m_k = mean((x - mean)^k)
// (divisor n, as R's moments::skewness). NaN for fewer than 2 values or a
// constant x.
double skewness(const Eigen::Ref<const Eigen::VectorXd>& x);

// Moment kurtosis m4 / m2^2 (3 for the normal distribution; not the excess).
// NaN for fewer than 2 values or a constant x.
double kurtosis(const Eigen::Ref<const Eigen::VectorXd>& x);

struct ShapiroWilk {
  double w = 0.0;
  double p_value = 0.0;
};

// The Shapiro-Wilk W statistic and its p-value by Royston's approximation
// (Royston 1995, Applied Statistics algorithm AS R94), as R's shapiro.test:
// 3 <= n <= 5000 values in any order. Throws std::invalid_argument outside
// that range, for a non-finite value, or when all values are equal.
ShapiroWilk shapiro_wilk(const Eigen::Ref<const Eigen::VectorXd>& x);

// The largest sample the Shapiro-Wilk approximation covers.
inline constexpr Eigen::Index kShapiroWilkMaxN = 5000;

struct DistributionSummary {
  long long n = 0;  // values summarised
  double skewness = 0.0;
  double kurtosis = 0.0;
  double shapiro_w = 0.0;  // NaN when the test cannot be made (n < 3, constant values)
  double shapiro_p = 0.0;
  long long shapiro_n = 0;  // values the test used
  bool subsampled = false;  // the test ran on a subsample of kShapiroWilkMaxN values
};

// Skewness and kurtosis of all values, and the Shapiro-Wilk test on all of
// them or, beyond kShapiroWilkMaxN values, on a subsample of that many drawn
// without replacement by a fixed random key, so the same values always give
// the same answer. Non-finite values throw std::invalid_argument.
DistributionSummary summarize_distribution(const Eigen::Ref<const Eigen::VectorXd>& x);

struct MixedRSquared {
  double marginal = 0.0;     // fixed effects only
  double conditional = 0.0;  // fixed and area effects
};

// R-squared of a random-intercept model (Nakagawa and Schielzeth 2013):
// with var_f the variance (divisor n - 1) of the fixed part x_ij' beta over
// the sample units,
//   marginal    = var_f / (var_f + sigma_u^2 + sigma_e^2),
//   conditional = (var_f + sigma_u^2) / (var_f + sigma_u^2 + sigma_e^2).
// fixed_part holds x_ij' beta; NaN both when every variance is zero.
MixedRSquared nakagawa_r_squared(const Eigen::Ref<const Eigen::VectorXd>& fixed_part,
                                 double sigma_u2, double sigma_e2);

// R-squared of the Fay-Herriot linking model theta_i = x_i' beta + u_i: the
// share of the variance of the true area values that the covariates explain,
// var_f / (var_f + sigma_u^2), var_f the variance (divisor m - 1) of
// x_i' beta over the areas. 1 when sigma_u is zero; NaN when both are.
double fay_herriot_r_squared(const Eigen::Ref<const Eigen::VectorXd>& fixed_part, double sigma_u2);

struct ProfileCurve {
  Eigen::VectorXd lambda;  // evenly spaced over the search interval, ends included
  Eigen::VectorXd loglik;  // profile log-likelihood; NaN where the REML fit failed
};

// The Box-Cox profile log-likelihood (estimation.h, Jacobian included) at
// n_points >= 2 evenly spaced lambdas over [options.lower, options.upper],
// for plotting around the estimated lambda. One REML fit per point. Throws
// std::invalid_argument for n_points < 2 and for the inputs
// estimate_boxcox_lambda rejects.
ProfileCurve boxcox_profile_curve(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                  const Eigen::Ref<const Eigen::VectorXd>& y_raw,
                                  const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                  Eigen::Index n_areas, const BoxCoxLambdaOptions& options = {},
                                  int n_points = 31);

}  // namespace kelp_sae::kernels
