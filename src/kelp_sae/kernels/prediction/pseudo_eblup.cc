#include "kelp_sae/kernels/prediction/pseudo_eblup.h"

#include <Eigen/Dense>
#include <cmath>
#include <limits>
#include <string>

#include "kelp_sae/core/checks.h"
#include "kelp_sae/kernels/prediction/eblup.h"

namespace kelp_sae::kernels {

PseudoEblup pseudo_eblup(const Eigen::Ref<const Eigen::MatrixXd>& X,
                         const Eigen::Ref<const Eigen::VectorXd>& y,
                         const Eigen::Ref<const Eigen::VectorXd>& w,
                         std::span<const Eigen::Index> offsets, double sigma_u2, double sigma_e2) {
  constexpr const char* kFunction = "pseudo_eblup";
  const Eigen::Index n = X.rows();
  const Eigen::Index p = X.cols();
  check(y.size() == n && w.size() == n, kFunction,
        "X has " + std::to_string(n) + " rows but y has " + std::to_string(y.size()) +
            " and w has " + std::to_string(w.size()));
  check(!offsets.empty() && offsets.front() == 0 && offsets.back() == n, kFunction,
        "offsets must run from 0 to the number of units");
  check(std::isfinite(sigma_u2) && sigma_u2 >= 0.0 && std::isfinite(sigma_e2) && sigma_e2 >= 0.0,
        kFunction, "sigma_u2 and sigma_e2 must be finite and non-negative");
  for (Eigen::Index i = 0; i < n; ++i) {
    check(std::isfinite(w(i)) && w(i) > 0.0, kFunction,
          "weight " + std::to_string(i) + " is not positive and finite");
  }
  const auto m = static_cast<Eigen::Index>(offsets.size()) - 1;

  // Normal equations A beta = r with
  //   A = sum_j w_j x_j x_j' - sum_a gamma_aw W_a xbar_aw xbar_aw',
  //   r = sum_j w_j x_j y_j  - sum_a gamma_aw W_a xbar_aw ybar_aw.
  PseudoEblup out{.beta = Eigen::VectorXd(p),
                  .gamma = Eigen::VectorXd::Zero(m),
                  .u_hat = Eigen::VectorXd::Zero(m)};
  Eigen::MatrixXd A = X.transpose() * w.asDiagonal() * X;
  Eigen::VectorXd r = X.transpose() * w.cwiseProduct(y);
  Eigen::MatrixXd xbar(p, m);
  Eigen::VectorXd ybar(m);
  for (Eigen::Index a = 0; a < m; ++a) {
    const Eigen::Index begin = offsets[static_cast<std::size_t>(a)];
    const Eigen::Index count = offsets[static_cast<std::size_t>(a) + 1] - begin;
    check(count >= 0, kFunction, "offsets must be non-decreasing");
    if (count == 0) {
      xbar.col(a).setZero();
      ybar(a) = 0.0;
      continue;
    }
    const auto wa = w.segment(begin, count);
    const double W = wa.sum();
    const double delta = wa.squaredNorm() / (W * W);
    xbar.col(a) = X.middleRows(begin, count).transpose() * wa / W;
    ybar(a) = wa.dot(y.segment(begin, count)) / W;
    const double g = eblup_gamma(sigma_u2, sigma_e2 * delta);
    out.gamma(a) = g;
    A.noalias() -= (g * W) * xbar.col(a) * xbar.col(a).transpose();
    r.noalias() -= (g * W * ybar(a)) * xbar.col(a);
  }
  const Eigen::ColPivHouseholderQR<Eigen::MatrixXd> qr(A);
  if (qr.rank() < p) {
    out.beta.setConstant(std::numeric_limits<double>::quiet_NaN());
  } else {
    out.beta = qr.solve(r);
  }
  for (Eigen::Index a = 0; a < m; ++a) {
    if (out.gamma(a) == 0.0) continue;
    out.u_hat(a) = eblup_area_effect(out.gamma(a), ybar(a), xbar.col(a).dot(out.beta));
  }
  return out;
}

}  // namespace kelp_sae::kernels
