// The Box-Cox power transformation, its inverse and the log-Jacobian, guarded
// so that neither direction ever yields an undefined value for any lambda.
//
//   y(lambda) = (y^lambda - 1) / lambda  (lambda != 0),   log y  (lambda = 0)
//   y         = (lambda y(lambda) + 1)^(1/lambda),        exp y(lambda)
//
// Guards: lambda_safe = 1e-6 when |lambda| < 1e-6 (the divisor is never 0);
// the logarithmic branch is taken whenever |lambda| < 1e-4; the forward
// direction reads max(y, 1e-6); the inverse floors its base
// lambda_safe y + 1 at 1e-9. The branch is selected per element between two
// computed candidates, both finite for every finite input. These are
// numerical guards only: the EBP front end rejects a non-positive response
// before transforming, and counts (and warns about) floored synthetic values.
//
//   Eigen::VectorXd t = boxcox_transform(y, 0.3);
//   Eigen::VectorXd back = inverse_boxcox_transform(t, 0.3);   // == y for y > 1e-6
//   double jac = boxcox_log_jacobian(y, 0.3);   // (lambda - 1) sum log max(y, 1e-6)
//
// BackTransformation names the inverse of the transformation a model was fitted
// on (Box-Cox with lambda, log, or none); the simulation kernels take it.
#pragma once

#include <Eigen/Core>

namespace kelp_sae::kernels {

inline constexpr double kBoxCoxValueFloor = 1e-6;    // floor of y and of |lambda| as a divisor
inline constexpr double kBoxCoxLogBranch = 1e-4;     // |lambda| below this: log / exp
inline constexpr double kBoxCoxInverseFloor = 1e-9;  // floor of lambda y + 1 in the inverse

// One value forward / backward (the elementwise rules above).
double boxcox_forward(double y, double lambda);
double boxcox_inverse(double y_trans, double lambda);

Eigen::VectorXd boxcox_transform(const Eigen::Ref<const Eigen::VectorXd>& y, double lambda,
                                 bool inverse = false);
Eigen::VectorXd inverse_boxcox_transform(const Eigen::Ref<const Eigen::VectorXd>& y_trans,
                                         double lambda);
// (lambda - 1) * sum_i log(max(y_i, 1e-6)).
double boxcox_log_jacobian(const Eigen::Ref<const Eigen::VectorXd>& y, double lambda);

// The back-transformation g^-1 from the model scale to the data scale.
struct BackTransformation {
  enum class Kind { BOX_COX, LOG, NONE };
  Kind kind = Kind::NONE;
  double lambda = 1.0;  // read only for BOX_COX

  static BackTransformation box_cox(double lambda) { return {Kind::BOX_COX, lambda}; }
  static BackTransformation log() { return {Kind::LOG, 0.0}; }
  static BackTransformation none() { return {Kind::NONE, 1.0}; }

  // g^-1 of one value: inverse Box-Cox, exp, or the identity.
  double apply(double y_model) const;
};

}  // namespace kelp_sae::kernels
