#include "kelp_sae/kernels/optimization/fh.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp_sae/kernels/optimization/bfgs.h"
#include "kelp_sae/kernels/optimization/fh_losses.h"

namespace kelp_sae::kernels {
namespace {

using Fitter = std::function<OptimizationResult(
    const Eigen::Ref<const Eigen::VectorXd>&, const Eigen::Ref<const Eigen::MatrixXd>&,
    const Eigen::Ref<const Eigen::VectorXd>&, const Eigen::Ref<const Eigen::VectorXd>&,
    const FitOptions&)>;

// Thirty responses with a sample variance well above the sampling variance.
Eigen::VectorXd spread_responses(int m) {
  Eigen::VectorXd y(m);
  for (int i = 0; i < m; ++i) y(i) = 3.0 + 2.0 * std::sin(1.7 * i + 0.3) + 0.1 * (i % 5);
  return y;
}

TEST(FitFayHerriot, InterceptOnlyWithEqualVariancesHasClosedForms) {
  // y_i ~ N(mu, sigma_u^2 + D): the ML estimate of sigma_u^2 is the divisor-m
  // variance minus D and the REML estimate the divisor-(m-1) variance minus D.
  // At the optimum, with V = sigma_u^2 + D and s = sigma_u^2, the second
  // derivative in log sigma_u is 2 k s^2 / V^2 (k = m for ML, m - 1 for REML).
  const int m = 30;
  const double D = 0.4;
  const Eigen::VectorXd y = spread_responses(m);
  const Eigen::MatrixXd X = Eigen::MatrixXd::Ones(m, 1);
  const Eigen::VectorXd Dv = Eigen::VectorXd::Constant(m, D);
  const double ss = (y.array() - y.mean()).square().sum();
  struct Case {
    std::string name;
    Fitter fit;
    double k;
  };
  const std::vector<Case> cases = {{"REML", fit_fay_herriot_reml, m - 1.0},
                                   {"ML", fit_fay_herriot_ml, static_cast<double>(m)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double s = ss / c.k - D;
    ASSERT_GT(s, 0.5);
    const double v = s + D;
    const OptimizationResult r = c.fit(Eigen::VectorXd::Zero(2), X, y, Dv, {.tol = 1e-8});
    ASSERT_TRUE(r.success);
    EXPECT_EQ(r.message, kConverged);
    ASSERT_EQ(r.params.size(), 2);
    EXPECT_NEAR(std::exp(2.0 * r.params(1)), s, 1e-8 * s);
    // The mean and its variance V / m, shrunk by the ridge, 1e-10 of m / V.
    const double precision = (m / v) * (1.0 + 1e-10);
    EXPECT_NEAR(r.params(0), y.mean() * (m / v) / precision, 1e-12);
    ASSERT_EQ(r.hessian_inv.rows(), 2);
    ASSERT_EQ(r.hessian_inv.cols(), 2);
    EXPECT_NEAR(r.hessian_inv(0, 0), 1.0 / precision, 1e-10);  // v is exact to ~1e-9
    EXPECT_EQ(r.hessian_inv(0, 1), 0.0);
    EXPECT_EQ(r.hessian_inv(1, 0), 0.0);
    EXPECT_NEAR(r.hessian_inv(1, 1), v * v / (2.0 * c.k * s * s), 1e-6);
    EXPECT_NEAR(r.fun, (c.name == "REML" ? reml_loss : ml_loss)(r.params(1), X, y, Dv), 1e-9);
  }
}

Eigen::MatrixXd design(int m) {
  Eigen::MatrixXd X(m, 3);
  for (int i = 0; i < m; ++i) {
    X(i, 0) = 1.0;
    X(i, 1) = std::sin(0.9 * i) * 1.5;
    X(i, 2) = 0.1 * i - 1.0;
  }
  return X;
}

TEST(FitFayHerriot, CoefficientsAreTheGlsEstimatesAtTheOptimum) {
  const int m = 25;
  const Eigen::MatrixXd X = design(m);
  Eigen::VectorXd y(m), D(m);
  for (int i = 0; i < m; ++i) {
    y(i) = 2.0 + 0.7 * X(i, 1) - 0.4 * X(i, 2) + 0.9 * std::cos(2.3 * i);
    D(i) = 0.1 + 0.05 * (i % 6);
  }
  for (bool reml : {true, false}) {
    SCOPED_TRACE(reml ? "REML" : "ML");
    const OptimizationResult r = (reml ? fit_fay_herriot_reml : fit_fay_herriot_ml)(
        Eigen::VectorXd::Zero(4), X, y, D, {.tol = 1e-7});
    ASSERT_TRUE(r.success);
    const double ls = r.params(3);
    // A stationary point that is a minimum.
    const ProfiledLoss at = reml ? fh_reml_loss(ls, X, y, D) : fh_ml_loss(ls, X, y, D);
    EXPECT_LE(std::abs(at.d1), 1e-7);
    EXPECT_GT(at.d2, 0.0);
    EXPECT_NEAR(r.hessian_inv(3, 3), 1.0 / (at.d2 + 1e-8), 1e-12);
    // GLS by the textbook formula (X'V^-1 X)^-1 X'V^-1 y.
    const Eigen::VectorXd w = (D.array() + std::exp(2.0 * ls)).inverse().matrix();
    const Eigen::MatrixXd xtvx = X.transpose() * w.asDiagonal() * X;
    const Eigen::VectorXd beta = xtvx.inverse() * (X.transpose() * w.asDiagonal() * y);
    EXPECT_LE((r.params.head(3) - beta).lpNorm<Eigen::Infinity>(), 1e-8);
    EXPECT_LE((r.hessian_inv.topLeftCorner(3, 3) - xtvx.inverse()).lpNorm<Eigen::Infinity>(), 1e-8);
    EXPECT_TRUE(r.hessian_inv.col(3).head(3).isZero(0.0));
    EXPECT_TRUE(r.hessian_inv.row(3).head(3).isZero(0.0));
  }
}

TEST(FitFayHerriot, AllEntryPointsShareOneProcedure) {
  const int m = 20;
  const Eigen::MatrixXd X = design(m);
  Eigen::VectorXd y(m), D(m);
  for (int i = 0; i < m; ++i) {
    y(i) = 1.0 + X(i, 1) + std::sin(3.1 * i);
    D(i) = 0.3;
  }
  const Eigen::VectorXd init = Eigen::Vector4d(5.0, -2.0, 7.0, 0.25);
  const OptimizationResult reml = fit_fay_herriot_reml(init, X, y, D);
  const OptimizationResult ml = fit_fay_herriot_ml(init, X, y, D);
  for (const auto& [name, fitter, expected] :
       std::vector<std::tuple<std::string, Fitter, const OptimizationResult*>>{
           {"reml gradient", fit_fay_herriot_reml_gradient, &reml},
           {"reml compat", fit_fay_herriot_reml_compat, &reml},
           {"ml gradient", fit_fay_herriot_ml_gradient, &ml},
           {"ml compat", fit_fay_herriot_ml_compat, &ml}}) {
    SCOPED_TRACE(name);
    const OptimizationResult r = fitter(init, X, y, D, {});
    EXPECT_EQ(r.params, expected->params);
    EXPECT_EQ(r.hessian_inv, expected->hessian_inv);
    EXPECT_EQ(r.fun, expected->fun);
    EXPECT_EQ(r.success, expected->success);
  }
  // Only the last entry of init_params matters.
  const OptimizationResult short_init =
      fit_fay_herriot_reml(Eigen::VectorXd::Constant(1, 0.25), X, y, D);
  EXPECT_EQ(short_init.params, reml.params);
}

TEST(FitFayHerriot, ScalingTheResponseAndVariancesScalesTheFit) {
  // y -> c y, D -> c^2 D (started from log sigma_u shifted by log c): the
  // coefficients and sigma_u move by c and Cov(beta_hat) by c^2; the ridge,
  // relative to X'WX, must not move them by more than rounding.
  const int m = 25;
  const Eigen::MatrixXd X = design(m);
  Eigen::VectorXd y(m), D(m);
  for (int i = 0; i < m; ++i) {
    y(i) = 2.0 + 0.7 * X(i, 1) - 0.4 * X(i, 2) + 0.9 * std::cos(2.3 * i);
    D(i) = 0.1 + 0.05 * (i % 6);
  }
  for (bool reml : {true, false}) {
    const Fitter fit = reml ? fit_fay_herriot_reml : fit_fay_herriot_ml;
    const OptimizationResult one = fit(Eigen::VectorXd::Zero(4), X, y, D, {.tol = 1e-10});
    ASSERT_TRUE(one.success);
    for (double c : {1e-3, 1e3}) {
      SCOPED_TRACE(std::string(reml ? "REML" : "ML") + " c=" + std::to_string(c));
      const OptimizationResult r =
          fit(Eigen::VectorXd::Constant(4, std::log(c)), X, c * y, c * c * D, {.tol = 1e-10});
      ASSERT_TRUE(r.success);
      EXPECT_NEAR(r.params(3), one.params(3) + std::log(c), 1e-8);
      for (int j = 0; j < 3; ++j) {
        EXPECT_NEAR(r.params(j), c * one.params(j), 1e-8 * c * std::abs(one.params(j)));
        EXPECT_NEAR(r.hessian_inv(j, j), c * c * one.hessian_inv(j, j),
                    1e-8 * c * c * one.hessian_inv(j, j));
      }
      EXPECT_NEAR(r.hessian_inv(3, 3), one.hessian_inv(3, 3), 1e-8 * one.hessian_inv(3, 3));
    }
  }
}

TEST(FitFayHerriot, SolutionsBeyondTheBoundsAreClipped) {
  const int m = 10;
  const Eigen::MatrixXd X = Eigen::MatrixXd::Ones(m, 1);
  {
    SCOPED_TRACE("upper: spread of order 1e6, sigma_u^2 ~ 1e12 > exp(20)");
    Eigen::VectorXd y = spread_responses(m) * 1e6;
    const Eigen::VectorXd D = Eigen::VectorXd::Constant(m, 1.0);
    const OptimizationResult r = fit_fay_herriot_reml(Eigen::VectorXd::Zero(2), X, y, D);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.params(1), 10.0);
    // Coefficient at sigma_u^2 = exp(20): the mean, whatever the tiny total
    // weight m / V ~ 2e-8, since the ridge is 1e-10 of it.
    const double precision = (m / (std::exp(20.0) + 1.0)) * (1.0 + 1e-10);
    EXPECT_NEAR(r.params(0), y.mean(), 1e-9 * std::abs(y.mean()));
    EXPECT_NEAR(r.hessian_inv(0, 0), 1.0 / precision, 1e-9 / precision);
  }
  {
    SCOPED_TRACE("lower: equal responses without sampling error, slope m - 1 everywhere");
    const Eigen::VectorXd y = Eigen::VectorXd::Constant(m, 2.5);
    const Eigen::VectorXd D = Eigen::VectorXd::Zero(m);
    const OptimizationResult r = fit_fay_herriot_reml(Eigen::VectorXd::Zero(2), X, y, D);
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.params(1), -10.0);
    EXPECT_NEAR(r.params(0), 2.5 / (1.0 + 1e-10), 1e-12);  // shrunk by the ridge alone
  }
}

TEST(FitFayHerriot, OvershootIntoTheFlatRegionIsRecovered) {
  // Responses on a large scale: from log sigma_u = 0 the quasi-Newton steps
  // can jump past +10, where the loss is flat and its slope 0. The minimum
  // lies inside (sigma_u^2 = S^2 - D, log sigma_u ~ 8.5), and the fit must
  // find it rather than stop at the bound.
  const int m = 10;
  const Eigen::MatrixXd X = Eigen::MatrixXd::Ones(m, 1);
  const double D = 2e6;
  const Eigen::VectorXd y = spread_responses(m) * 3500.0;
  const Eigen::VectorXd Dv = Eigen::VectorXd::Constant(m, D);
  const double ss = (y.array() - y.mean()).square().sum();
  for (int k : {0, 1}) {
    SCOPED_TRACE(k == 0 ? "REML" : "ML");
    const double s = ss / (m - 1 + k) - D;
    ASSERT_GT(std::log(s) / 2.0, 7.0);
    ASSERT_LT(std::log(s) / 2.0, 10.0);
    for (double start : {0.0, -3.0, 2.0, 12.0}) {
      SCOPED_TRACE(start);
      const Eigen::VectorXd init = Eigen::VectorXd::Constant(1, start);
      const OptimizationResult r = k == 0 ? fit_fay_herriot_reml(init, X, y, Dv, {.tol = 1e-8})
                                          : fit_fay_herriot_ml(init, X, y, Dv, {.tol = 1e-8});
      EXPECT_TRUE(r.success);
      // The fit must be the stationary point, and the closed form holds at
      // this scale as at any other.
      EXPECT_LT(r.params(1), 9.0);
      EXPECT_NEAR(std::exp(2.0 * r.params(1)), s, 1e-6 * s);
      const ProfiledLoss at =
          k == 0 ? fh_reml_loss(r.params(1), X, y, Dv) : fh_ml_loss(r.params(1), X, y, Dv);
      EXPECT_LE(std::abs(at.d1), 1e-8);
    }
  }
}

TEST(FitFayHerriot, SquareDesignIsFittedThroughTheRidge) {
  Eigen::MatrixXd X(4, 4);
  X << 1.0, 0.3, -0.2, 0.5, 1.0, -1.1, 0.4, 0.0, 1.0, 0.8, 1.5, -0.7, 1.0, 0.1, -0.9, 1.2;
  const Eigen::VectorXd y = (Eigen::VectorXd(4) << 0.5, -1.0, 2.0, 0.3).finished();
  const Eigen::VectorXd D = (Eigen::VectorXd(4) << 0.1, 0.2, 0.3, 0.4).finished();
  const OptimizationResult r = fit_fay_herriot_reml(Eigen::VectorXd::Zero(5), X, y, D);
  ASSERT_TRUE(r.params.allFinite());
  ASSERT_TRUE(r.hessian_inv.allFinite());
  // The coefficients interpolate the data.
  EXPECT_LE((X * r.params.head(4) - y).lpNorm<Eigen::Infinity>(), 1e-5);
}

TEST(FitFayHerriot, FailuresAreReportedNotThrown) {
  const int m = 20;
  const Eigen::MatrixXd X = design(m);
  Eigen::VectorXd y(m), D(m);
  for (int i = 0; i < m; ++i) {
    y(i) = 1.0 + 3.0 * std::sin(1.1 * i);
    D(i) = 0.2;
  }
  {
    SCOPED_TRACE("iteration cap");
    const OptimizationResult r =
        fit_fay_herriot_ml(Eigen::VectorXd::Constant(1, -3.0), X, y, D, {.max_iter = 1});
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message, kIterationLimit);
    EXPECT_EQ(r.params.size(), 4);
    EXPECT_TRUE(r.params.allFinite());
    EXPECT_TRUE(r.hessian_inv.allFinite());
  }
  {
    SCOPED_TRACE("non-finite start");
    const OptimizationResult r = fit_fay_herriot_reml(
        Eigen::VectorXd::Constant(1, std::numeric_limits<double>::quiet_NaN()), X, y, D);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.message, kNonFiniteStart);
    EXPECT_EQ(r.params.size(), 4);
  }
}

TEST(FitFayHerriot, BadShapesAreRejected) {
  const Eigen::MatrixXd X = design(5);
  const Eigen::VectorXd y = Eigen::VectorXd::Ones(5);
  try {
    fit_fay_herriot_reml(Eigen::VectorXd(0), X, y, y);
    FAIL() << "expected std::invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "fit_fay_herriot_reml: init_params is empty");
  }
  try {
    fit_fay_herriot_ml(Eigen::VectorXd::Zero(1), X, y, Eigen::VectorXd::Ones(4));
    FAIL() << "expected std::invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "fit_fay_herriot_ml: D has 4 entries but X has 5 rows");
  }
}

}  // namespace
}  // namespace kelp_sae::kernels
