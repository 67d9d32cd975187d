#include "kelp_sae/kernels/transformations/estimation.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "kelp_sae/kernels/optimization/brent.h"
#include "kelp_sae/kernels/optimization/lmm.h"
#include "kelp_sae/kernels/transformations/boxcox.h"

namespace kelp_sae::kernels {
namespace {

constexpr double kFailedFit = 1e12;
constexpr double kLambdaTol = 1e-3;
constexpr int kSearchEvaluations = 500;
constexpr double kStartTheta = -0.5;

}  // namespace

double boxcox_negative_profile_loglik(double lambda, const Eigen::Ref<const Eigen::MatrixXd>& X,
                                      const Eigen::Ref<const Eigen::VectorXd>& y_raw,
                                      const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                      Eigen::Index n_areas, double tol, int max_iter) {
  const auto n = static_cast<double>(y_raw.size());
  const Eigen::VectorXd y_t = boxcox_transform(y_raw, lambda);
  const double mean = y_t.mean();
  const double sd = std::sqrt((y_t.array() - mean).square().sum() / n);
  const double s_safe = sd > 1e-9 ? sd : 1.0;
  const Eigen::VectorXd y_s = (y_t.array() - mean) / s_safe;

  const Eigen::Vector2d start(kStartTheta, kStartTheta);
  const OptimizationResult fit =
      fit_lmm_reml(start, X, y_s, area_indices, n_areas, {.tol = tol, .max_iter = max_iter});
  if (!fit.success) return kFailedFit;
  const Eigen::Vector2d theta = fit.params.tail<2>();
  const LmmStats stats =
      evaluate_lmm_stats(theta, X, y_s, area_indices, n_areas, VarianceMethod::REML);
  const double loglik = -0.5 * stats.neg2_loglik - n * std::log(s_safe);
  return -(loglik + boxcox_log_jacobian(y_raw, lambda));
}

double estimate_boxcox_lambda(const Eigen::Ref<const Eigen::MatrixXd>& X,
                              const Eigen::Ref<const Eigen::VectorXd>& y_raw,
                              const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                              Eigen::Index n_areas, const BoxCoxLambdaOptions& options) {
  constexpr const char* kFunction = "estimate_boxcox_lambda";
  if (!(std::isfinite(options.lower) && std::isfinite(options.upper)) ||
      options.lower > options.upper) {
    throw std::invalid_argument(
        std::string(kFunction) + ": the interval must be finite with lower <= upper, got (" +
        std::to_string(options.lower) + ", " + std::to_string(options.upper) + ")");
  }
  if (X.rows() != y_raw.size() || area_indices.size() != y_raw.size()) {
    throw std::invalid_argument(std::string(kFunction) + ": X has " + std::to_string(X.rows()) +
                                " rows, y_raw " + std::to_string(y_raw.size()) +
                                " entries and area_indices " + std::to_string(area_indices.size()) +
                                "; they must agree");
  }
  for (Eigen::Index i = 0; i < area_indices.size(); ++i) {
    if (area_indices(i) < 0 || area_indices(i) >= n_areas) {
      throw std::invalid_argument(std::string(kFunction) + ": area_indices[" + std::to_string(i) +
                                  "] = " + std::to_string(area_indices(i)) + " is outside 0.." +
                                  std::to_string(n_areas - 1));
    }
  }
  const auto objective = [&](double lambda) {
    return boxcox_negative_profile_loglik(lambda, X, y_raw, area_indices, n_areas, options.tol,
                                          options.max_iter);
  };
  return minimize_scalar_bounded(objective, options.lower, options.upper,
                                 {.xatol = kLambdaTol, .max_iter = kSearchEvaluations})
      .x;
}

}  // namespace kelp_sae::kernels
