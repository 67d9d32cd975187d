#include "kelp_sae/kernels/optimization/fh_losses.h"

#include <Eigen/Cholesky>
#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "kelp_sae/kernels/optimization/internal/fh_profile.h"

namespace kelp_sae::kernels {
namespace {

using internal::FhCriterion;

enum class Solver { kLu, kCholesky };

// The loss written out step by step (no workspace, no derivatives).
double direct_loss(std::string_view function, double log_sigma,
                   const Eigen::Ref<const Eigen::MatrixXd>& X,
                   const Eigen::Ref<const Eigen::VectorXd>& y,
                   const Eigen::Ref<const Eigen::VectorXd>& D, FhCriterion criterion,
                   Solver solver) {
  internal::check_fh_shapes(function, X, y.size(), D.size());
  const double l = std::clamp(log_sigma, -internal::kFhLogSigmaBound, internal::kFhLogSigmaBound);
  const double s = std::exp(2.0 * l);
  const Eigen::ArrayXd raw = D.array() + s;
  // max(V, floor) that keeps NaN.
  const Eigen::ArrayXd v =
      (raw < internal::kFhVarianceFloor).select(internal::kFhVarianceFloor, raw);
  const Eigen::VectorXd w = v.inverse().matrix();
  const Eigen::MatrixXd xtw = X.transpose() * w.asDiagonal();
  Eigen::MatrixXd A = xtw * X;
  const double mean_diag = A.trace() / static_cast<double>(A.rows());
  A.diagonal().array() += mean_diag > 0.0 ? internal::kFhRidge * mean_diag : internal::kFhRidge;
  const Eigen::VectorXd b = xtw * y;

  Eigen::VectorXd beta;
  double log_det_a = 0.0;
  if (solver == Solver::kLu) {
    const Eigen::PartialPivLU<Eigen::MatrixXd> lu(A);
    beta = lu.solve(b);
    log_det_a = lu.matrixLU().diagonal().array().abs().log().sum();
  } else {
    const Eigen::LLT<Eigen::MatrixXd> llt(A);
    if (llt.info() != Eigen::Success) return std::numeric_limits<double>::quiet_NaN();
    beta = llt.solve(b);
    log_det_a = 2.0 * llt.matrixL().toDenseMatrix().diagonal().array().log().sum();
  }
  const Eigen::VectorXd r = y - X * beta;
  const double rss = (r.array().square() * w.array()).sum();
  const double n = static_cast<double>(X.rows());
  const double p = static_cast<double>(X.cols());
  const double log_2pi = std::log(2.0 * std::numbers::pi);
  if (criterion == FhCriterion::kReml) {
    return 0.5 * ((n - p) * log_2pi + v.log().sum() + log_det_a + rss);
  }
  return 0.5 * (n * log_2pi + v.log().sum() + rss);
}

ProfiledLoss profiled(std::string_view function, double log_sigma,
                      const Eigen::Ref<const Eigen::MatrixXd>& X,
                      const Eigen::Ref<const Eigen::VectorXd>& y,
                      const Eigen::Ref<const Eigen::VectorXd>& D, FhCriterion criterion,
                      int order) {
  internal::check_fh_shapes(function, X, y.size(), D.size());
  internal::FhProfile profile(X, D, criterion);
  const internal::FhLossValue v = profile.evaluate(log_sigma, y, order);
  return {v.value, v.d1, v.d2};
}

}  // namespace

ProfiledLoss fh_reml_loss(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                          const Eigen::Ref<const Eigen::VectorXd>& y,
                          const Eigen::Ref<const Eigen::VectorXd>& D) {
  return profiled("fh_reml_loss", log_sigma, X, y, D, FhCriterion::kReml, 2);
}

ProfiledLoss fh_ml_loss(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                        const Eigen::Ref<const Eigen::VectorXd>& y,
                        const Eigen::Ref<const Eigen::VectorXd>& D) {
  return profiled("fh_ml_loss", log_sigma, X, y, D, FhCriterion::kMl, 2);
}

double reml_loss(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                 const Eigen::Ref<const Eigen::VectorXd>& y,
                 const Eigen::Ref<const Eigen::VectorXd>& D) {
  return direct_loss("reml_loss", log_sigma, X, y, D, FhCriterion::kReml, Solver::kLu);
}

double ml_loss(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
               const Eigen::Ref<const Eigen::VectorXd>& y,
               const Eigen::Ref<const Eigen::VectorXd>& D) {
  return direct_loss("ml_loss", log_sigma, X, y, D, FhCriterion::kMl, Solver::kLu);
}

double reml_loss_cholesky(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                          const Eigen::Ref<const Eigen::VectorXd>& y,
                          const Eigen::Ref<const Eigen::VectorXd>& D) {
  return direct_loss("reml_loss_cholesky", log_sigma, X, y, D, FhCriterion::kReml,
                     Solver::kCholesky);
}

double ml_loss_cholesky(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                        const Eigen::Ref<const Eigen::VectorXd>& y,
                        const Eigen::Ref<const Eigen::VectorXd>& D) {
  return direct_loss("ml_loss_cholesky", log_sigma, X, y, D, FhCriterion::kMl, Solver::kCholesky);
}

double fh_loss_unified(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                       const Eigen::Ref<const Eigen::VectorXd>& y,
                       const Eigen::Ref<const Eigen::VectorXd>& D, VarianceMethod method) {
  const FhCriterion criterion =
      method == VarianceMethod::REML ? FhCriterion::kReml : FhCriterion::kMl;
  return direct_loss("fh_loss_unified", log_sigma, X, y, D, criterion, Solver::kCholesky);
}

LossWithGradient reml_loss_with_grad(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                                     const Eigen::Ref<const Eigen::VectorXd>& y,
                                     const Eigen::Ref<const Eigen::VectorXd>& D) {
  const ProfiledLoss v = profiled("reml_loss_with_grad", log_sigma, X, y, D, FhCriterion::kReml, 1);
  return {v.value, v.d1};
}

LossWithGradient ml_loss_with_grad(double log_sigma, const Eigen::Ref<const Eigen::MatrixXd>& X,
                                   const Eigen::Ref<const Eigen::VectorXd>& y,
                                   const Eigen::Ref<const Eigen::VectorXd>& D) {
  const ProfiledLoss v = profiled("ml_loss_with_grad", log_sigma, X, y, D, FhCriterion::kMl, 1);
  return {v.value, v.d1};
}

}  // namespace kelp_sae::kernels
