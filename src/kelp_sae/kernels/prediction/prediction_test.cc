#include "kelp_sae/kernels/prediction/prediction.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kelp_sae::kernels {
namespace {

// beta = (1, 2), sigma_u = 1, sigma_e = 2. Area 0: n = 4, ybar 6, xbar_smp
// (1, 2); area 1: one unit, ybar 2, xbar_smp (1, 1); area 2: no sample.
TEST(PredictAreaEblupTest, WorkedByHand) {
  const Eigen::Vector2d beta(1.0, 2.0);
  const Eigen::Vector3d n_i(4, 1, 0);
  const Eigen::Vector3d ybar(6.0, 2.0, 0.0);
  Eigen::MatrixXd xs(3, 2), xp(3, 2);
  xs << 1, 2, 1, 1, 0, 0;
  xp << 1, 2.5, 1, 0, 1, 1;
  const AreaEblup e = predict_area_eblup(beta, 1.0, 2.0, n_i, ybar, xs, xp);
  // gamma = 1 / (1 + 4 / n): 0.5 for n = 4, 0.2 for one unit, 0 without sample.
  const Eigen::Vector3d gamma(0.5, 0.2, 0.0);
  const Eigen::Vector3d u(0.5 * (6.0 - 5.0), 0.2 * (2.0 - 3.0), 0.0);
  const Eigen::Vector3d theta(6.0 + 0.5, 1.0 - 0.2, 3.0);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(e.gamma(i), gamma(i), 1e-15);
    EXPECT_NEAR(e.u_hat(i), u(i), 1e-15);
    EXPECT_NEAR(e.theta_hat(i), theta(i), 1e-14);
  }
}

TEST(PredictAreaEblupTest, NoAreaVarianceGivesSyntheticEstimates) {
  const Eigen::Vector2d beta(1.0, 2.0);
  Eigen::MatrixXd xs(2, 2), xp(2, 2);
  xs << 1, 2, 1, 1;
  xp << 1, 3, 1, -1;
  const AreaEblup e =
      predict_area_eblup(beta, 0.0, 2.0, Eigen::Vector2d(5, 1), Eigen::Vector2d(9, -4), xs, xp);
  EXPECT_EQ(e.gamma, Eigen::Vector2d::Zero());
  EXPECT_EQ(e.theta_hat, Eigen::Vector2d(7.0, -1.0));
}

// Units: area 0 has x = 1, 3 with y = 4, 8 (residuals 1, 1); area 1 has no
// unit; area 2 has one unit x = 0, y = -1 (residual -2).
TEST(PredictUnitEblupTest, WorkedByHand) {
  Eigen::MatrixXd X(3, 2);
  X << 1, 1, 1, 3, 1, 0;
  const Eigen::Vector3d y(4.0, 8.0, -1.0);
  const Eigen::Vector3i area(0, 0, 2);
  const UnitEblup e = predict_unit_eblup(X, y, Eigen::Vector2d(1.0, 2.0), 1.0, 2.0, area, 3);
  // u_i = sigma_u^2 / (sigma_e^2 + n_i sigma_u^2) * sum of residuals.
  EXPECT_NEAR(e.u_hat(0), 2.0 / 6.0, 1e-15);
  EXPECT_NEAR(e.gamma(0), 1.0 / 3.0, 1e-15);
  EXPECT_EQ(e.u_hat(1), 0.0);
  EXPECT_EQ(e.gamma(1), 0.0);
  EXPECT_NEAR(e.u_hat(2), -0.4, 1e-15);
  EXPECT_NEAR(e.gamma(2), 0.2, 1e-15);  // one unit: sigma_u^2 / (sigma_u^2 + sigma_e^2)
}

TEST(PredictUnitEblupTest, AgreesWithAreaPredictorOnAreaMeans) {
  Eigen::MatrixXd X(6, 3);
  X << 1, 0.5, 2, 1, 1.5, -1, 1, 2.0, 0, 1, -0.3, 1, 1, 0.7, 0.2, 1, 1.1, -0.4;
  Eigen::VectorXd y(6);
  y << 2.0, 1.0, 3.5, -0.2, 1.4, 0.9;
  Eigen::VectorXi area(6);
  area << 1, 1, 0, 1, 0, 0;
  const Eigen::Vector3d beta(0.4, 1.1, -0.3);
  const UnitEblup ue = predict_unit_eblup(X, y, beta, 0.8, 1.3, area, 2);
  Eigen::MatrixXd xs = Eigen::MatrixXd::Zero(2, 3);
  Eigen::Vector2d ybar = Eigen::Vector2d::Zero(), n = Eigen::Vector2d::Zero();
  for (int r = 0; r < 6; ++r) {
    xs.row(area(r)) += X.row(r);
    ybar(area(r)) += y(r);
    n(area(r)) += 1;
  }
  for (int i = 0; i < 2; ++i) {
    xs.row(i) /= n(i);
    ybar(i) /= n(i);
  }
  const AreaEblup ae = predict_area_eblup(beta, 0.8, 1.3, n, ybar, xs, xs);
  EXPECT_LT((ue.u_hat - ae.u_hat).cwiseAbs().maxCoeff(), 1e-14);
  EXPECT_LT((ue.gamma - ae.gamma).cwiseAbs().maxCoeff(), 1e-15);
}

TEST(PredictionInputTest, MismatchedShapesAreRejected) {
  Eigen::MatrixXd X(2, 2);
  X << 1, 1, 1, 2;
  EXPECT_THROW(predict_unit_eblup(X, Eigen::Vector2d(1, 2), Eigen::Vector3d(1, 2, 3), 1.0, 1.0,
                                  Eigen::Vector2i(0, 0), 1),
               std::invalid_argument);
  EXPECT_THROW(predict_unit_eblup(X, Eigen::Vector2d(1, 2), Eigen::Vector2d(1, 2), 1.0, 1.0,
                                  Eigen::Vector2i(0, 1), 1),
               std::invalid_argument);
  EXPECT_THROW(predict_area_eblup(Eigen::Vector2d(1, 2), 1.0, 1.0, Eigen::Vector3d(1, 1, 1),
                                  Eigen::Vector2d(0, 0), X, X),
               std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
