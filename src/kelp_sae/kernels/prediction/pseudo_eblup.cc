#include "kelp_sae/kernels/prediction/pseudo_eblup.h"

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <string>

#include "kelp_sae/core/checks.h"
#include "kelp_sae/kernels/prediction/eblup.h"

namespace kelp_sae::kernels {
namespace {

constexpr const char* kFunction = "pseudo_eblup";

}  // namespace

WeightedDesignSums weighted_design_sums(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                        const Eigen::Ref<const Eigen::VectorXd>& w,
                                        std::span<const Eigen::Index> offsets) {
  const Eigen::Index n = X.rows();
  const Eigen::Index p = X.cols();
  check(w.size() == n, kFunction,
        "X has " + std::to_string(n) + " rows but w has " + std::to_string(w.size()));
  check(!offsets.empty() && offsets.front() == 0 && offsets.back() == n, kFunction,
        "offsets must run from 0 to the number of units");
  for (Eigen::Index i = 0; i < n; ++i) {
    check(std::isfinite(w(i)) && w(i) > 0.0, kFunction,
          "weight " + std::to_string(i) + " is not positive and finite");
  }
  const auto m = static_cast<Eigen::Index>(offsets.size()) - 1;
  WeightedDesignSums s{.XtWX = X.transpose() * w.asDiagonal() * X,
                       .W = Eigen::VectorXd::Zero(m),
                       .delta = Eigen::VectorXd::Zero(m),
                       .xbar = Eigen::MatrixXd::Zero(p, m)};
  for (Eigen::Index a = 0; a < m; ++a) {
    const Eigen::Index begin = offsets[static_cast<std::size_t>(a)];
    const Eigen::Index count = offsets[static_cast<std::size_t>(a) + 1] - begin;
    check(count >= 0, kFunction, "offsets must be non-decreasing");
    if (count == 0) continue;
    const auto wa = w.segment(begin, count);
    s.W(a) = wa.sum();
    s.delta(a) = wa.squaredNorm() / (s.W(a) * s.W(a));
    s.xbar.col(a) = X.middleRows(begin, count).transpose() * wa / s.W(a);
  }
  return s;
}

PseudoEblup pseudo_eblup_from_sums(const WeightedDesignSums& sums,
                                   const Eigen::Ref<const Eigen::VectorXd>& Xt_w_y,
                                   const Eigen::Ref<const Eigen::VectorXd>& ybar_w, double sigma_u2,
                                   double sigma_e2) {
  const Eigen::Index p = sums.XtWX.rows();
  const Eigen::Index m = sums.W.size();
  check(Xt_w_y.size() == p && ybar_w.size() == m, kFunction,
        "Xt_w_y and ybar_w must have one entry per column and per area");
  check(std::isfinite(sigma_u2) && sigma_u2 >= 0.0 && std::isfinite(sigma_e2) && sigma_e2 >= 0.0,
        kFunction, "sigma_u2 and sigma_e2 must be finite and non-negative");
  PseudoEblup out{.beta = Eigen::VectorXd(p),
                  .gamma = Eigen::VectorXd::Zero(m),
                  .u_hat = Eigen::VectorXd::Zero(m)};
  Eigen::MatrixXd A = sums.XtWX;
  Eigen::VectorXd r = Xt_w_y;
  for (Eigen::Index a = 0; a < m; ++a) {
    if (sums.W(a) == 0.0) continue;
    const double g = eblup_gamma(sigma_u2, sigma_e2 * sums.delta(a));
    out.gamma(a) = g;
    A.noalias() -= (g * sums.W(a)) * sums.xbar.col(a) * sums.xbar.col(a).transpose();
    r.noalias() -= (g * sums.W(a) * ybar_w(a)) * sums.xbar.col(a);
  }
  const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(A);
  if (qr.rank() < p) {
    out.beta.setConstant(std::numeric_limits<double>::quiet_NaN());
  } else {
    out.beta = qr.solve(r);
  }
  for (Eigen::Index a = 0; a < m; ++a) {
    if (sums.W(a) == 0.0) continue;
    out.u_hat(a) = eblup_area_effect(out.gamma(a), ybar_w(a), sums.xbar.col(a).dot(out.beta));
  }
  return out;
}

PseudoEblup pseudo_eblup(const Eigen::Ref<const Eigen::MatrixXd>& X,
                         const Eigen::Ref<const Eigen::VectorXd>& y,
                         const Eigen::Ref<const Eigen::VectorXd>& w,
                         std::span<const Eigen::Index> offsets, double sigma_u2, double sigma_e2) {
  check(y.size() == X.rows(), kFunction,
        "X has " + std::to_string(X.rows()) + " rows but y has " + std::to_string(y.size()));
  const WeightedDesignSums sums = weighted_design_sums(X, w, offsets);
  const Eigen::Index m = sums.W.size();
  Eigen::VectorXd ybar = Eigen::VectorXd::Zero(m);
  for (Eigen::Index a = 0; a < m; ++a) {
    const Eigen::Index begin = offsets[static_cast<std::size_t>(a)];
    const Eigen::Index count = offsets[static_cast<std::size_t>(a) + 1] - begin;
    if (count > 0) ybar(a) = w.segment(begin, count).dot(y.segment(begin, count)) / sums.W(a);
  }
  return pseudo_eblup_from_sums(sums, X.transpose() * w.cwiseProduct(y), ybar, sigma_u2, sigma_e2);
}

}  // namespace kelp_sae::kernels
