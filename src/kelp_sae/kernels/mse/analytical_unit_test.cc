#include "kelp_sae/kernels/mse/analytical_unit.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kelp_sae::kernels {
namespace {

// sigma_u^2 = 1, sigma_e^2 = 4; areas with n = 4, n = 1 and no sample.
struct HandCase {
  Eigen::Matrix2d beta_cov;
  Eigen::MatrixXd x_pop;
  Eigen::Vector3d n_i;
  Eigen::Matrix2d vc;
};

HandCase hand_case() {
  HandCase c;
  c.beta_cov << 0.1, 0.02, 0.02, 0.05;
  c.x_pop.resize(3, 2);
  c.x_pop << 1, 2, 1, 0, 1, 1;
  c.n_i << 4, 1, 0;
  c.vc << 0.5, 0.1, 0.1, 0.3;
  return c;
}

TEST(AnalyticalMseBhfTest, WorkedByHand) {
  const HandCase c = hand_case();
  // n = 4: gamma 0.5, g1 0.5, g2 0.25 * 0.38, dgamma = (-1/16, 1/4),
  //   Var(gamma) = 0.5/256 + 0.3/16 - 2 * 0.1/64 = 0.017578125, V = 2, g3 = V Var(gamma).
  // n = 1: gamma 0.2, g1 0.8, g2 0.64 * 0.1, dgamma = (-1/25, 4/25),
  //   Var(gamma) = 0.5 * 0.0016 + 0.3 * 0.0256 - 2 * 0.1 * 0.0064 = 0.0072, V = 5.
  // n = 0: gamma 0, g1 1, g2 0.19, g3 0.
  const Eigen::Vector3d without_g3(0.5 + 0.095, 0.8 + 0.064, 1.19);
  const Eigen::Vector3d with_g3 =
      without_g3 + 2.0 * Eigen::Vector3d(2.0 * 0.017578125, 5.0 * 0.0072, 0.0);
  const Eigen::VectorXd a = analytical_mse_bhf(1.0, 4.0, c.beta_cov, c.x_pop, c.n_i);
  const Eigen::VectorXd b = analytical_mse_bhf(1.0, 4.0, c.beta_cov, c.x_pop, c.n_i, c.vc);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(a(i), without_g3(i), 1e-15);
    EXPECT_NEAR(b(i), with_g3(i), 1e-14);
  }
}

TEST(AnalyticalMseBhfTest, ScalesWithTheSquareOfTheResponseUnit) {
  // y -> c y: variances and cov(beta_hat) by c^2, their covariance by c^4.
  const HandCase h = hand_case();
  const Eigen::VectorXd base = analytical_mse_bhf(1.0, 4.0, h.beta_cov, h.x_pop, h.n_i, h.vc);
  for (const double c : {1e-3, 1e3}) {
    SCOPED_TRACE(c);
    const double c2 = c * c;
    const Eigen::VectorXd mse = analytical_mse_bhf(c2, 4.0 * c2, c2 * h.beta_cov, h.x_pop, h.n_i,
                                                   Eigen::Matrix2d(c2 * c2 * h.vc));
    EXPECT_LE(((mse - c2 * base).array() / (c2 * base).array()).abs().maxCoeff(), 1e-12);
  }
}

TEST(AnalyticalMseBhfTest, ZeroParameterCovarianceEqualsNone) {
  const HandCase c = hand_case();
  EXPECT_EQ(analytical_mse_bhf(1.0, 4.0, c.beta_cov, c.x_pop, c.n_i, Eigen::Matrix2d::Zero()),
            analytical_mse_bhf(1.0, 4.0, c.beta_cov, c.x_pop, c.n_i));
}

TEST(AnalyticalMseBhfTest, VanishesAsTheSampleGrows) {
  const HandCase c = hand_case();
  Eigen::MatrixXd x(1, 2);
  x << 1, 2;
  double previous = 1e300;
  for (const double n : {1.0, 10.0, 1e3, 1e6}) {
    SCOPED_TRACE(n);
    const double mse =
        analytical_mse_bhf(1.0, 4.0, c.beta_cov, x, Eigen::VectorXd::Constant(1, n), c.vc)(0);
    EXPECT_LT(mse, previous);
    // g1 ~ sigma_e^2 / n dominates for large n.
    if (n >= 1e3) {
      EXPECT_NEAR(mse, 4.0 / n, 0.01 * 4.0 / n);
    }
    previous = mse;
  }
}

TEST(AnalyticalMseBhfTest, MismatchedShapesAreRejected) {
  const HandCase c = hand_case();
  EXPECT_THROW(analytical_mse_bhf(1.0, 4.0, c.beta_cov, c.x_pop, Eigen::Vector2d(1, 1)),
               std::invalid_argument);
  EXPECT_THROW(analytical_mse_bhf(1.0, 4.0, Eigen::Matrix3d::Identity(), c.x_pop, c.n_i),
               std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
