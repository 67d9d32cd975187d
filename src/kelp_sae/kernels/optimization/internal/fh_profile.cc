#include "kelp_sae/kernels/optimization/internal/fh_profile.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>

namespace kelp_sae::kernels::internal {
namespace {

// Designs up to this many columns use the packed products (N p(p+1)/2
// doubles); wider ones form diag(w) X and one product per weight vector.
constexpr Eigen::Index kMaxPackedColumns = 16;

}  // namespace

void check_fh_shapes(std::string_view function, const Eigen::Ref<const Eigen::MatrixXd>& X,
                     Eigen::Index y_size, Eigen::Index D_size) {
  const std::string name(function);
  if (X.cols() < 1) throw std::invalid_argument(name + ": X must have at least one column");
  if (y_size != X.rows()) {
    throw std::invalid_argument(name + ": y has " + std::to_string(y_size) + " entries but X has " +
                                std::to_string(X.rows()) + " rows");
  }
  if (D_size != X.rows()) {
    throw std::invalid_argument(name + ": D has " + std::to_string(D_size) + " entries but X has " +
                                std::to_string(X.rows()) + " rows");
  }
}

FhProfile::FhProfile(const Eigen::Ref<const Eigen::MatrixXd>& X,
                     const Eigen::Ref<const Eigen::VectorXd>& D, FhCriterion criterion)
    : X_(X),
      D_(D),
      criterion_(criterion),
      last_log_sigma_(std::numeric_limits<double>::quiet_NaN()),
      n_(X.rows()),
      p_(X.cols()),
      packed_(X.cols() <= kMaxPackedColumns),
      weights_(X.rows(), 3),
      A_(X.cols(), X.cols()),
      A1_(X.cols(), X.cols()),
      A2_(X.cols(), X.cols()),
      M_(X.cols(), X.cols()),
      lu_(X.cols()),
      beta_(X.cols()),
      beta1_(X.cols()),
      beta2_(X.cols()),
      b_(X.cols()),
      c_(X.cols()),
      r_(X.rows()),
      t_(X.rows()) {
  const Eigen::Index q = p_ * (p_ + 1) / 2;
  if (packed_) {
    products_.resize(n_, q);
    Eigen::Index idx = 0;
    for (Eigen::Index j = 0; j < p_; ++j) {
      for (Eigen::Index k = j; k < p_; ++k) {
        products_.col(idx++) = X_.col(j).cwiseProduct(X_.col(k));
      }
    }
    grams_.resize(q, 3);
  } else {
    scaled_.resize(n_, p_);
  }
}

void FhProfile::weighted_grams(int n_weights) {
  Eigen::MatrixXd* targets[3] = {&A_, &A1_, &A2_};
  if (packed_) {
    grams_.leftCols(n_weights).noalias() = products_.transpose() * weights_.leftCols(n_weights);
    for (int w = 0; w < n_weights; ++w) {
      Eigen::MatrixXd& G = *targets[w];
      Eigen::Index idx = 0;
      for (Eigen::Index j = 0; j < p_; ++j) {
        for (Eigen::Index k = j; k < p_; ++k) {
          G(j, k) = G(k, j) = grams_(idx++, w);
        }
      }
    }
  } else {
    for (int w = 0; w < n_weights; ++w) {
      scaled_.noalias() = weights_.col(w).asDiagonal() * X_;
      targets[w]->noalias() = X_.transpose() * scaled_;
    }
  }
}

FhLossValue FhProfile::evaluate(double log_sigma, const Eigen::Ref<const Eigen::VectorXd>& y,
                                int order) {
  const double l = std::clamp(log_sigma, -kFhLogSigmaBound, kFhLogSigmaBound);
  const bool inside = std::abs(log_sigma) <= kFhLogSigmaBound;
  const int want = inside ? order : 0;  // L is constant outside the bounds
  const double s = std::exp(2.0 * l);
  last_log_sigma_ = l;

  double log_det_v = 0.0;
  double dlog_det_v = 0.0;   // d/ds of sum log V*
  double d2log_det_v = 0.0;  // d2/ds2
  for (Eigen::Index i = 0; i < n_; ++i) {
    const double v = s + D_(i);
    const bool above = !(v < kFhVarianceFloor);  // NaN propagates
    const double w = 1.0 / (above ? v : kFhVarianceFloor);
    log_det_v += std::log(above ? v : kFhVarianceFloor);
    weights_(i, 0) = w;
    if (want >= 1) {
      const double w2 = above ? w * w : 0.0;
      weights_(i, 1) = -w2;
      dlog_det_v += above ? w : 0.0;
      d2log_det_v -= w2;
      if (want >= 2) weights_(i, 2) = 2.0 * w2 * w;
    }
  }
  weighted_grams(want + 1);
  // The ridge eps(s) = kFhRidge tr(A0) / p is relative to the matrix, so that
  // it scales with the unit of y; A' and A'' carry its derivatives. An
  // all-zero design keeps the bare kFhRidge so that A stays invertible.
  const double mean_diag = A_.trace() / static_cast<double>(p_);
  const bool relative = mean_diag > 0.0;
  const double eps = relative ? kFhRidge * mean_diag : kFhRidge;
  A_.diagonal().array() += eps;
  double eps1 = 0.0;
  double eps2 = 0.0;
  if (want >= 1 && relative) {
    eps1 = kFhRidge * A1_.trace() / static_cast<double>(p_);
    A1_.diagonal().array() += eps1;
  }
  if (want >= 2 && relative) {
    eps2 = kFhRidge * A2_.trace() / static_cast<double>(p_);
    A2_.diagonal().array() += eps2;
  }
  lu_.compute(A_);

  t_ = weights_.col(0).cwiseProduct(y);
  b_.noalias() = X_.transpose() * t_;
  beta_ = lu_.solve(b_);
  r_ = y;
  r_.noalias() -= X_ * beta_;
  const double rss = (r_.array().square() * weights_.col(0).array()).sum();

  const bool reml = criterion_ == FhCriterion::kReml;
  const double n_const = static_cast<double>(reml ? n_ - p_ : n_);
  double log_det_a = 0.0;
  if (reml) log_det_a = lu_.matrixLU().diagonal().array().abs().log().sum();
  FhLossValue out;
  out.value = 0.5 * (n_const * std::log(2.0 * std::numbers::pi) + log_det_v + log_det_a + rss);
  if (want == 0) return out;

  // First derivatives in s.
  t_ = weights_.col(1).cwiseProduct(r_);
  c_.noalias() = X_.transpose() * t_;
  b_ = c_;
  b_ -= eps1 * beta_;
  beta1_ = lu_.solve(b_);
  const double drss =
      (r_.array().square() * weights_.col(1).array()).sum() - 2.0 * eps * beta_.dot(beta1_);
  double dlog_det_a = 0.0;
  if (reml) {
    M_ = lu_.solve(A1_);
    dlog_det_a = M_.trace();
  }
  const double l_s = 0.5 * (dlog_det_v + dlog_det_a + drss);
  out.d1 = 2.0 * s * l_s;
  if (want == 1) return out;

  // Second derivatives in s.
  double d2log_det_a = 0.0;
  if (reml) {
    d2log_det_a = -(M_.array() * M_.transpose().array()).sum();
    M_ = lu_.solve(A2_);
    d2log_det_a += M_.trace();
  }
  t_ = weights_.col(2).cwiseProduct(r_);
  b_.noalias() = X_.transpose() * t_;
  b_.noalias() -= 2.0 * A1_ * beta1_;
  b_ -= eps2 * beta_;
  beta2_ = lu_.solve(b_);
  const double d2rss = (r_.array().square() * weights_.col(2).array()).sum() -
                       2.0 * c_.dot(beta1_) - 2.0 * eps1 * beta_.dot(beta1_) -
                       2.0 * eps * (beta1_.squaredNorm() + beta_.dot(beta2_));
  const double l_ss = 0.5 * (d2log_det_v + d2log_det_a + d2rss);
  out.d2 = 4.0 * s * s * l_ss + 4.0 * s * l_s;
  return out;
}

FhFitCore fit_profile(FhProfile& profile, const Eigen::Ref<const Eigen::VectorXd>& y,
                      double log_sigma0, const BfgsOptions& options) {
  const ObjectiveWithGradient objective = [&](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
    const FhLossValue v = profile.evaluate(x(0), y, 1);
    g(0) = v.d1;
    return v.value;
  };
  BfgsResult r = minimize_bfgs(objective, Eigen::VectorXd::Constant(1, log_sigma0), options);
  // Beyond +-10 the loss is flat, so a step that overshoots the bound ends
  // the search there with a zero slope even when the minimum lies inside.
  // The slope at the bound tells: if it points back inside, search again
  // from the bound (a few times at most).
  for (int restart = 0; restart < 3 && std::abs(r.x(0)) > kFhLogSigmaBound; ++restart) {
    const double bound = std::copysign(kFhLogSigmaBound, r.x(0));
    const double slope = profile.evaluate(bound, y, 1).d1;
    const bool inward = bound > 0.0 ? slope > options.tol : slope < -options.tol;
    if (!inward) break;
    r = minimize_bfgs(objective, Eigen::VectorXd::Constant(1, bound), options);
  }
  FhFitCore core;
  core.log_sigma = std::clamp(r.x(0), -kFhLogSigmaBound, kFhLogSigmaBound);
  core.fun = r.fun;
  core.status = r.status;
  core.success = r.success;
  return core;
}

}  // namespace kelp_sae::kernels::internal
