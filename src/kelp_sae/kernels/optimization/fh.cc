#include "kelp_sae/kernels/optimization/fh.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "kelp_sae/kernels/optimization/internal/fh_profile.h"

namespace kelp_sae::kernels {
namespace {

using internal::FhCriterion;

OptimizationResult fit_fay_herriot(std::string_view function,
                                   const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                   const Eigen::Ref<const Eigen::MatrixXd>& X,
                                   const Eigen::Ref<const Eigen::VectorXd>& y,
                                   const Eigen::Ref<const Eigen::VectorXd>& D,
                                   FhCriterion criterion, const FitOptions& options) {
  internal::check_fh_shapes(function, X, y.size(), D.size());
  if (init_params.size() < 1) {
    throw std::invalid_argument(std::string(function) + ": init_params is empty");
  }
  internal::FhProfile profile(X, D, criterion);
  const internal::FhFitCore core =
      internal::fit_profile(profile, y, init_params(init_params.size() - 1),
                            {.tol = options.tol, .max_iter = options.max_iter});
  const internal::FhLossValue at_hat = profile.evaluate(core.log_sigma, y, 2);

  const Eigen::Index p = X.cols();
  OptimizationResult result;
  result.params.resize(p + 1);
  result.params.head(p) = profile.beta();
  result.params(p) = core.log_sigma;
  result.hessian_inv = Eigen::MatrixXd::Zero(p + 1, p + 1);
  result.hessian_inv.topLeftCorner(p, p) = profile.covariance();
  result.hessian_inv(p, p) = 1.0 / (at_hat.d2 + 1e-8);
  result.fun = core.fun;
  result.success = core.success;
  result.message = core.status;
  return result;
}

}  // namespace

OptimizationResult fit_fay_herriot_reml(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                        const Eigen::Ref<const Eigen::MatrixXd>& X,
                                        const Eigen::Ref<const Eigen::VectorXd>& y,
                                        const Eigen::Ref<const Eigen::VectorXd>& D,
                                        const FitOptions& options) {
  return fit_fay_herriot("fit_fay_herriot_reml", init_params, X, y, D, FhCriterion::kReml, options);
}

OptimizationResult fit_fay_herriot_ml(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                      const Eigen::Ref<const Eigen::MatrixXd>& X,
                                      const Eigen::Ref<const Eigen::VectorXd>& y,
                                      const Eigen::Ref<const Eigen::VectorXd>& D,
                                      const FitOptions& options) {
  return fit_fay_herriot("fit_fay_herriot_ml", init_params, X, y, D, FhCriterion::kMl, options);
}

OptimizationResult fit_fay_herriot_reml_gradient(
    const Eigen::Ref<const Eigen::VectorXd>& init_params,
    const Eigen::Ref<const Eigen::MatrixXd>& X, const Eigen::Ref<const Eigen::VectorXd>& y,
    const Eigen::Ref<const Eigen::VectorXd>& D, const FitOptions& options) {
  return fit_fay_herriot("fit_fay_herriot_reml_gradient", init_params, X, y, D, FhCriterion::kReml,
                         options);
}

OptimizationResult fit_fay_herriot_ml_gradient(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                               const Eigen::Ref<const Eigen::MatrixXd>& X,
                                               const Eigen::Ref<const Eigen::VectorXd>& y,
                                               const Eigen::Ref<const Eigen::VectorXd>& D,
                                               const FitOptions& options) {
  return fit_fay_herriot("fit_fay_herriot_ml_gradient", init_params, X, y, D, FhCriterion::kMl,
                         options);
}

OptimizationResult fit_fay_herriot_reml_compat(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                               const Eigen::Ref<const Eigen::MatrixXd>& X,
                                               const Eigen::Ref<const Eigen::VectorXd>& y,
                                               const Eigen::Ref<const Eigen::VectorXd>& D,
                                               const FitOptions& options) {
  return fit_fay_herriot("fit_fay_herriot_reml_compat", init_params, X, y, D, FhCriterion::kReml,
                         options);
}

OptimizationResult fit_fay_herriot_ml_compat(const Eigen::Ref<const Eigen::VectorXd>& init_params,
                                             const Eigen::Ref<const Eigen::MatrixXd>& X,
                                             const Eigen::Ref<const Eigen::VectorXd>& y,
                                             const Eigen::Ref<const Eigen::VectorXd>& D,
                                             const FitOptions& options) {
  return fit_fay_herriot("fit_fay_herriot_ml_compat", init_params, X, y, D, FhCriterion::kMl,
                         options);
}

}  // namespace kelp_sae::kernels
