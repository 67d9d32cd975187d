#include "kelp_sae/kernels/transformations/boxcox.h"

#include <algorithm>
#include <cmath>

namespace kelp_sae::kernels {
namespace {

double safe_lambda(double lambda) {
  return std::fabs(lambda) < kBoxCoxValueFloor ? kBoxCoxValueFloor : lambda;
}

}  // namespace

double boxcox_forward(double y, double lambda) {
  const double y_safe = std::max(y, kBoxCoxValueFloor);
  const double log_candidate = std::log(y_safe);
  const double power_candidate = (std::pow(y_safe, lambda) - 1.0) / safe_lambda(lambda);
  return std::fabs(lambda) < kBoxCoxLogBranch ? log_candidate : power_candidate;
}

double boxcox_inverse(double y_trans, double lambda) {
  if (std::fabs(lambda) < kBoxCoxLogBranch) return std::exp(y_trans);
  const double lambda_safe = safe_lambda(lambda);
  const double inner = std::max(lambda_safe * y_trans + 1.0, kBoxCoxInverseFloor);
  return std::pow(inner, 1.0 / lambda_safe);
}

Eigen::VectorXd boxcox_transform(const Eigen::Ref<const Eigen::VectorXd>& y, double lambda,
                                 bool inverse) {
  Eigen::VectorXd out(y.size());
  for (Eigen::Index i = 0; i < y.size(); ++i) {
    out(i) = inverse ? boxcox_inverse(y(i), lambda) : boxcox_forward(y(i), lambda);
  }
  return out;
}

Eigen::VectorXd inverse_boxcox_transform(const Eigen::Ref<const Eigen::VectorXd>& y_trans,
                                         double lambda) {
  return boxcox_transform(y_trans, lambda, /*inverse=*/true);
}

double boxcox_log_jacobian(const Eigen::Ref<const Eigen::VectorXd>& y, double lambda) {
  double sum_log = 0.0;
  for (Eigen::Index i = 0; i < y.size(); ++i)
    sum_log += std::log(std::max(y(i), kBoxCoxValueFloor));
  return (lambda - 1.0) * sum_log;
}

double BackTransformation::apply(double y_model) const {
  switch (kind) {
    case Kind::BOX_COX:
      return boxcox_inverse(y_model, lambda);
    case Kind::LOG:
      return std::exp(y_model);
    case Kind::NONE:
      break;
  }
  return y_model;
}

}  // namespace kelp_sae::kernels
