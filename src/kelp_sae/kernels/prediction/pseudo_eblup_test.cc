#include "kelp_sae/kernels/prediction/pseudo_eblup.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "kelp_sae/kernels/optimization/lmm.h"

namespace kelp_sae::kernels {
namespace {

// Intercept only, sigma_u^2 = 1, sigma_e^2 = 0.8. Area 0: y (1, 3), w (1, 3):
// W = 4, ybar_w = 2.5, delta = 10/16, gamma = 1 / (1 + 0.5) = 2/3. Area 1:
// y 4, w 2: delta = 1, gamma = 5/9. Area 2: no units.
// beta = (18 - 2/3 4 2.5 - 5/9 2 4) / (6 - 2/3 4 - 5/9 2) = (62/9) / (20/9) = 3.1.
TEST(PseudoEblupTest, WorkedByHand) {
  const Eigen::MatrixXd X = Eigen::MatrixXd::Ones(3, 1);
  const Eigen::Vector3d y(1.0, 3.0, 4.0);
  const Eigen::Vector3d w(1.0, 3.0, 2.0);
  const std::vector<Eigen::Index> offsets{0, 2, 3, 3};
  const PseudoEblup e = pseudo_eblup(X, y, w, offsets, 1.0, 0.8);
  EXPECT_NEAR(e.beta(0), 3.1, 1e-14);
  const Eigen::Vector3d gamma(2.0 / 3.0, 5.0 / 9.0, 0.0);
  const Eigen::Vector3d u(2.0 / 3.0 * (2.5 - 3.1), 5.0 / 9.0 * (4.0 - 3.1), 0.0);
  for (int a = 0; a < 3; ++a) {
    SCOPED_TRACE(a);
    EXPECT_NEAR(e.gamma(a), gamma(a), 1e-15);
    EXPECT_NEAR(e.u_hat(a), u(a), 1e-14);
  }
}

struct Data {
  Eigen::MatrixXd X;
  Eigen::VectorXd y;
  Eigen::VectorXi area;
  std::vector<Eigen::Index> offsets{0, 3, 5, 9};
};

Data three_areas() {
  Data d;
  d.X.resize(9, 2);
  d.X.col(0).setOnes();
  d.X.col(1) << 0.3, 1.9, -0.7, 2.2, 0.4, -1.1, 0.8, 1.5, 3.0;
  d.y.resize(9);
  d.y << 2.1, 4.0, 0.2, 5.5, 3.1, -0.4, 2.6, 3.3, 6.8;
  d.area.resize(9);
  d.area << 0, 0, 0, 1, 1, 2, 2, 2, 2;
  return d;
}

// Unequal weights: beta solves the estimating equation written unit by unit,
// Z'(y - X beta) = 0 with row j of Z = w_j (x_j - gamma_aw xbar_aw)'.
TEST(PseudoEblupTest, SolvesTheEstimatingEquation) {
  const Data d = three_areas();
  Eigen::VectorXd w(9);
  w << 1.0, 4.0, 2.5, 0.5, 3.0, 1.0, 1.0, 7.0, 2.0;
  const double su2 = 1.7, se2 = 2.3;
  const PseudoEblup e = pseudo_eblup(d.X, d.y, w, d.offsets, su2, se2);
  Eigen::MatrixXd Z(9, 2);
  Eigen::Vector3d gamma, ybar;
  Eigen::Matrix<double, 3, 2> xbar;
  for (int a = 0; a < 3; ++a) {
    const Eigen::Index b = d.offsets[a], c = d.offsets[a + 1] - b;
    const auto wa = w.segment(b, c);
    const double delta = wa.squaredNorm() / (wa.sum() * wa.sum());
    gamma(a) = su2 / (su2 + se2 * delta);
    xbar.row(a) = wa.transpose() * d.X.middleRows(b, c) / wa.sum();
    ybar(a) = wa.dot(d.y.segment(b, c)) / wa.sum();
    for (Eigen::Index j = b; j < b + c; ++j)
      Z.row(j) = w(j) * (d.X.row(j) - gamma(a) * xbar.row(a));
  }
  const Eigen::Vector2d beta = (Z.transpose() * d.X).lu().solve(Z.transpose() * d.y);
  EXPECT_NEAR(e.beta(0), beta(0), 1e-12);
  EXPECT_NEAR(e.beta(1), beta(1), 1e-12);
  for (int a = 0; a < 3; ++a) {
    SCOPED_TRACE(a);
    EXPECT_NEAR(e.gamma(a), gamma(a), 1e-15);
    EXPECT_NEAR(e.u_hat(a), gamma(a) * (ybar(a) - xbar.row(a).dot(beta)), 1e-12);
  }
}

// Weights all equal (whatever their size) give the unweighted EBLUP: the GLS
// beta of the REML evaluation and gamma_a = sigma_u^2 / (sigma_u^2 + sigma_e^2 / n_a).
TEST(PseudoEblupTest, EqualWeightsGiveTheUnweightedEblup) {
  const Data d = three_areas();
  const double sigma_u = 1.3, sigma_e = 1.6;
  const LmmStats gls = evaluate_lmm_stats(Eigen::Vector2d(std::log(sigma_e), std::log(sigma_u)),
                                          d.X, d.y, d.area, 3);
  for (const double c : {1.0, 250.0}) {
    SCOPED_TRACE(c);
    const PseudoEblup e = pseudo_eblup(d.X, d.y, Eigen::VectorXd::Constant(9, c), d.offsets,
                                       sigma_u * sigma_u, sigma_e * sigma_e);
    EXPECT_NEAR(e.beta(0), gls.beta(0), 1e-10);
    EXPECT_NEAR(e.beta(1), gls.beta(1), 1e-10);
    for (int a = 0; a < 3; ++a) {
      const Eigen::Index b = d.offsets[a], n_a = d.offsets[a + 1] - b;
      const double g = sigma_u * sigma_u / (sigma_u * sigma_u + sigma_e * sigma_e / n_a);
      const Eigen::VectorXd resid = d.y.segment(b, n_a) - d.X.middleRows(b, n_a) * gls.beta;
      EXPECT_NEAR(e.gamma(a), g, 1e-14);
      EXPECT_NEAR(e.u_hat(a), g * resid.mean(), 1e-10);
    }
  }
}

TEST(PseudoEblupTest, RejectsBadWeightsAndShapes) {
  const Data d = three_areas();
  Eigen::VectorXd w = Eigen::VectorXd::Ones(9);
  w(4) = 0.0;
  EXPECT_THROW(pseudo_eblup(d.X, d.y, w, d.offsets, 1.0, 1.0), std::invalid_argument);
  w(4) = std::nan("");
  EXPECT_THROW(pseudo_eblup(d.X, d.y, w, d.offsets, 1.0, 1.0), std::invalid_argument);
  EXPECT_THROW(pseudo_eblup(d.X, d.y, Eigen::VectorXd::Ones(8), d.offsets, 1.0, 1.0),
               std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
