#include "kelp_sae/kernels/optimization/lmm.h"
#include "kelp_sae/kernels/testdata/nested_error_data.h"
#include "kelp_sae/kernels/testdata/nlme_reference.h"
#include "tests/support/finite_differences.h"

#include <gtest/gtest.h>

#include <Eigen/Cholesky>
#include <Eigen/Dense>
#include <cmath>
#include <fstream>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelp_sae::kernels {
namespace {

constexpr VarianceMethod kMethods[] = {VarianceMethod::REML, VarianceMethod::ML};
const char* name(VarianceMethod method) { return method == VarianceMethod::REML ? "REML" : "ML"; }

using kelp_sae::testing::NestedData;
using kelp_sae::testing::read_nested_error_csv;

using kelp_sae::testing::expect_derivatives_match_finite_differences;

using kelp_sae::testing::kNlme;
using kelp_sae::testing::NlmeReference;

// A small deterministic data set with unequal areas (one with a single unit).
NestedData small_data() {
  NestedData d;
  const std::vector<int> sizes = {1, 3, 2, 4};
  const Eigen::Index n = 10;
  d.X.resize(n, 2);
  d.y.resize(n);
  d.area.resize(n);
  Eigen::Index r = 0;
  for (int a = 0; a < static_cast<int>(sizes.size()); ++a) {
    for (int j = 0; j < sizes[static_cast<std::size_t>(a)]; ++j, ++r) {
      const double x = std::sin(1.7 * static_cast<double>(r) + 0.3);
      d.X.row(r) << 1.0, x;
      d.y(r) =
          1.0 + 2.0 * x + 0.8 * std::cos(2.3 * a) + 0.5 * std::sin(3.1 * static_cast<double>(r));
      d.area(r) = a;
    }
  }
  d.m = 4;
  return d;
}

// -2 log L (no constants) from the dense covariance V = sigma_e^2 I + sigma_u^2 Z Z'.
double dense_neg2_loglik(const NestedData& d, const Eigen::Vector2d& theta, bool reml,
                         Eigen::VectorXd* beta_out) {
  const Eigen::Index n = d.X.rows();
  const double se2 = std::exp(2.0 * theta(0));
  const double su2 = std::exp(2.0 * theta(1));
  Eigen::MatrixXd V = se2 * Eigen::MatrixXd::Identity(n, n);
  for (Eigen::Index i = 0; i < n; ++i) {
    for (Eigen::Index j = 0; j < n; ++j) {
      if (d.area(i) == d.area(j)) V(i, j) += su2;
    }
  }
  const Eigen::LLT<Eigen::MatrixXd> llt(V);
  const Eigen::MatrixXd vinv_x = llt.solve(d.X);
  const Eigen::VectorXd vinv_y = llt.solve(d.y);
  const Eigen::MatrixXd xtvx = d.X.transpose() * vinv_x;
  const Eigen::VectorXd beta = xtvx.ldlt().solve(d.X.transpose() * vinv_y);
  const Eigen::VectorXd r = d.y - d.X * beta;
  double value =
      2.0 * Eigen::MatrixXd(llt.matrixL()).diagonal().array().log().sum() + r.dot(llt.solve(r));
  if (reml) value += std::log(xtvx.determinant());
  if (beta_out != nullptr) *beta_out = beta;
  return value;
}

TEST(LmmCoreTest, MatchesDenseCovarianceComputation) {
  const NestedData d = small_data();
  const LmmSufficientStats s = compute_sufficient_stats(d.X, d.y, d.area, d.m);
  const std::vector<Eigen::Vector2d> thetas = {{0.0, 0.0}, {-0.7, 0.4}, {0.5, -1.5}, {-2.0, 1.0}};
  for (const auto& theta : thetas) {
    for (const VarianceMethod method : kMethods) {
      SCOPED_TRACE(std::string(name(method)) + " theta=(" + std::to_string(theta(0)) + "," +
                   std::to_string(theta(1)) + ")");
      Eigen::VectorXd beta_ref;
      const double ref = dense_neg2_loglik(d, theta, method == VarianceMethod::REML, &beta_ref);
      const LmmCoreResult got = lmm_core_calc(theta, s, method);
      // A well-conditioned X'V^-1X is solved without jitter.
      EXPECT_NEAR(got.neg2_loglik, ref, 1e-10 * std::abs(ref) + 1e-10);
      EXPECT_LT((got.beta - beta_ref).cwiseAbs().maxCoeff(), 1e-10);
    }
  }
}

TEST(LmmCoreTest, LossesAndEvaluateAgreeWithCoreCalc) {
  const NestedData d = read_nested_error_csv();
  const LmmSufficientStats s = compute_sufficient_stats(d.X, d.y, d.area, d.m);
  const Eigen::Vector2d theta(0.2, -0.4);
  EXPECT_DOUBLE_EQ(lmm_loss_reml(theta, s),
                   lmm_core_calc(theta, s, VarianceMethod::REML).neg2_loglik);
  EXPECT_DOUBLE_EQ(lmm_loss_ml(theta, s), lmm_core_calc(theta, s, VarianceMethod::ML).neg2_loglik);
  for (const VarianceMethod method : kMethods) {
    SCOPED_TRACE(name(method));
    const LmmCoreResult core = lmm_core_calc(theta, s, method);
    const LmmStats ev = evaluate_lmm_stats(theta, d.X, d.y, d.area, d.m, method);
    EXPECT_DOUBLE_EQ(ev.neg2_loglik, core.neg2_loglik);
    for (Eigen::Index k = 0; k < 3; ++k) EXPECT_DOUBLE_EQ(ev.beta(k), core.beta(k));
    EXPECT_NEAR(lmm_loss_derivatives(theta, s, method).value, core.neg2_loglik, 0.0);
  }
  // The default method is REML.
  EXPECT_DOUBLE_EQ(evaluate_lmm_stats(theta, d.X, d.y, d.area, d.m).neg2_loglik,
                   lmm_loss_reml(theta, s));
}

TEST(LmmCoreTest, SufficientStatisticsByHand) {
  Eigen::MatrixXd X(4, 2);
  X << 1, 2, 1, -1, 1, 0.5, 1, 3;
  const Eigen::VectorXd y = Eigen::Vector4d(1.0, 2.0, -1.0, 4.0);
  const Eigen::VectorXi area = Eigen::Vector4i(2, 0, 2, 2);
  const LmmSufficientStats s = compute_sufficient_stats(X, y, area, 4);
  EXPECT_DOUBLE_EQ(s.y_sq_sum, 22.0);
  EXPECT_EQ(s.ni, Eigen::Vector4d(1, 0, 3, 0));
  EXPECT_EQ(s.yi_sum, Eigen::Vector4d(2, 0, 4, 0));
  EXPECT_EQ(s.Xi_sum.row(0), Eigen::RowVector2d(1, -1));
  EXPECT_EQ(s.Xi_sum.row(2), Eigen::RowVector2d(3, 5.5));
  EXPECT_EQ(s.Xi_sum.row(1), Eigen::RowVector2d(0, 0));
  EXPECT_TRUE(s.XtX.isApprox(X.transpose() * X, 1e-15));
  EXPECT_TRUE(s.Xty.isApprox(X.transpose() * y, 1e-15));
}

TEST(LmmCoreTest, DerivativesMatchFiniteDifferences) {
  const NestedData d = read_nested_error_csv();
  const LmmSufficientStats s = compute_sufficient_stats(d.X, d.y, d.area, d.m);
  const std::vector<Eigen::Vector2d> thetas = {
      {0.2, -0.4}, {-0.5, 0.8}, {1.0, -3.0}, {0.22, -0.40}};
  for (const auto& theta : thetas) {
    for (const VarianceMethod method : kMethods) {
      SCOPED_TRACE(std::string(name(method)) + " theta=(" + std::to_string(theta(0)) + "," +
                   std::to_string(theta(1)) + ")");
      expect_derivatives_match_finite_differences(
          [&](const Eigen::Vector2d& t) { return lmm_loss_derivatives(t, s, method); }, theta);
      const LmmObjective o = lmm_loss_derivatives(theta, s, method);
      EXPECT_DOUBLE_EQ(o.hessian(0, 1), o.hessian(1, 0));
    }
  }
}

TEST(LmmCoreTest, VanishingAreaVarianceGivesOrdinaryLinearModel) {
  const NestedData d = read_nested_error_csv();
  const LmmSufficientStats s = compute_sufficient_stats(d.X, d.y, d.area, d.m);
  const double n = static_cast<double>(d.X.rows());
  const Eigen::VectorXd beta_ols = d.X.colPivHouseholderQr().solve(d.y);
  const double rss = (d.y - d.X * beta_ols).squaredNorm();
  const double xtx_logdet = std::log((d.X.transpose() * d.X).determinant());
  for (const double log_se : {-0.3, 0.4}) {
    SCOPED_TRACE(log_se);
    const double se2 = std::exp(2.0 * log_se);
    const Eigen::Vector2d theta(log_se, -30.0);
    const double ml_ref = n * std::log(se2) + rss / se2;
    const double reml_ref = ml_ref + xtx_logdet - 3.0 * std::log(se2);
    EXPECT_NEAR(lmm_loss_ml(theta, s), ml_ref, 1e-8 * std::abs(ml_ref));
    EXPECT_NEAR(lmm_loss_reml(theta, s), reml_ref, 1e-7 * std::abs(reml_ref));
    const LmmCoreResult core = lmm_core_calc(theta, s, VarianceMethod::REML);
    EXPECT_LT((core.beta - beta_ols).cwiseAbs().maxCoeff(), 1e-6);
  }
}

TEST(LmmCoreTest, ExtremeVarianceRatiosStayFinite) {
  NestedData d = small_data();
  const LmmSufficientStats s =
      compute_sufficient_stats(d.X, d.y, d.area, d.m + 2);  // two areas without units
  for (const Eigen::Vector2d& theta : {Eigen::Vector2d(0.0, 400.0), Eigen::Vector2d(1.0, -400.0)}) {
    SCOPED_TRACE(theta.transpose());
    const LmmObjective o = lmm_loss_derivatives(theta, s, VarianceMethod::ML);
    EXPECT_TRUE(std::isfinite(o.value));
    EXPECT_TRUE(o.gradient.allFinite());
  }
}

TEST(LmmCoreTest, DuplicatedColumnStaysFinite) {
  NestedData d = read_nested_error_csv();
  Eigen::MatrixXd X(d.X.rows(), 4);
  X << d.X, d.X.col(1);
  for (const VarianceMethod method : kMethods) {
    SCOPED_TRACE(name(method));
    const LmmStats st = evaluate_lmm_stats(Eigen::Vector2d(0.2, -0.4), X, d.y, d.area, d.m, method);
    EXPECT_TRUE(std::isfinite(st.neg2_loglik));
    EXPECT_TRUE(st.beta.allFinite());
    EXPECT_TRUE(st.cov.allFinite());
    // The two copies share the slope of x1 (about 1.55 on this data).
    EXPECT_NEAR(st.beta(1), st.beta(3), 1e-6);
    EXPECT_NEAR(st.beta(1) + st.beta(3), 1.547, 0.01);
  }
}

TEST(LmmFitTest, AgreesWithNlme) {
  const NestedData d = read_nested_error_csv();
  const double n = static_cast<double>(d.X.rows());
  const double p = 3.0;
  const double log2pi = std::log(2.0 * std::numbers::pi);
  for (const NlmeReference& ref : kNlme) {
    SCOPED_TRACE(ref.method);
    const bool reml = std::string(ref.method) == "REML";
    const Eigen::Vector2d start(0.0, 0.0);
    const OptimizationResult fit = reml ? fit_lmm_reml(start, d.X, d.y, d.area, d.m, {.tol = 1e-8})
                                        : fit_lmm_ml(start, d.X, d.y, d.area, d.m, {.tol = 1e-8});
    EXPECT_TRUE(fit.success);
    ASSERT_EQ(fit.params.size(), 5);
    const double sigma_e = std::exp(fit.params(3));
    const double sigma_u = std::exp(fit.params(4));
    EXPECT_NEAR(sigma_e, ref.sigma_e, 1e-6 * ref.sigma_e);
    EXPECT_NEAR(sigma_u, ref.sigma_u, 1e-5 * ref.sigma_u);
    for (int k = 0; k < 3; ++k)
      EXPECT_NEAR(fit.params(k), ref.beta[k], 1e-6 * (1.0 + std::abs(ref.beta[k])));

    const LmmStats st = evaluate_lmm_stats(fit.params.tail(2), d.X, d.y, d.area, d.m,
                                           reml ? VarianceMethod::REML : VarianceMethod::ML);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(std::sqrt(st.cov(k, k)), ref.se[k], 1e-5 * ref.se[k]);
    // nlme's log-likelihoods include the 2 pi terms: (N - p) log(2 pi) for
    // REML, N log(2 pi) for ML.
    const double constant = (reml ? n - p : n) * log2pi;
    EXPECT_NEAR(-0.5 * (st.neg2_loglik + constant), ref.loglik, 1e-6 * std::abs(ref.loglik));
    EXPECT_NEAR(fit.fun, st.neg2_loglik, 1e-9 * std::abs(fit.fun));
  }
}

// Multiplying y by c multiplies sigma_e, sigma_u and beta_hat by c and
// cov(beta_hat) by c^2, and shifts -2 log L by 2 N log c (ML) or
// 2 (N - p) log c (REML): nothing in the evaluation may depend on the unit.
TEST(LmmFitTest, ScalingTheResponseScalesTheFit) {
  const NestedData d = read_nested_error_csv();
  const double n = static_cast<double>(d.X.rows());
  const Eigen::Vector2d theta(0.2, -0.4);
  for (const VarianceMethod method : kMethods) {
    const LmmStats base = evaluate_lmm_stats(theta, d.X, d.y, d.area, d.m, method);
    const OptimizationResult fit = method == VarianceMethod::REML
                                       ? fit_lmm_reml(theta, d.X, d.y, d.area, d.m, {.tol = 1e-9})
                                       : fit_lmm_ml(theta, d.X, d.y, d.area, d.m, {.tol = 1e-9});
    for (const double c : {1e-3, 1e3}) {
      SCOPED_TRACE(std::string(name(method)) + " c=" + std::to_string(c));
      const Eigen::VectorXd y = c * d.y;
      const Eigen::Vector2d theta_c = theta.array() + std::log(c);
      const LmmStats st = evaluate_lmm_stats(theta_c, d.X, y, d.area, d.m, method);
      EXPECT_LE((st.beta - c * base.beta).cwiseAbs().maxCoeff(),
                1e-10 * c * base.beta.cwiseAbs().maxCoeff());
      EXPECT_LE((st.cov - c * c * base.cov).cwiseAbs().maxCoeff(),
                1e-10 * c * c * base.cov.cwiseAbs().maxCoeff());
      const double df = method == VarianceMethod::REML ? n - 3.0 : n;
      EXPECT_NEAR(st.neg2_loglik, base.neg2_loglik + 2.0 * df * std::log(c),
                  1e-10 * std::abs(base.neg2_loglik));
      const OptimizationResult fit_c =
          method == VarianceMethod::REML ? fit_lmm_reml(theta_c, d.X, y, d.area, d.m, {.tol = 1e-9})
                                         : fit_lmm_ml(theta_c, d.X, y, d.area, d.m, {.tol = 1e-9});
      EXPECT_NEAR(fit_c.params(3), fit.params(3) + std::log(c), 1e-8);
      EXPECT_NEAR(fit_c.params(4), fit.params(4) + std::log(c), 1e-8);
      for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(fit_c.params(k), c * fit.params(k), 1e-8 * c * std::abs(fit.params(k)));
      }
    }
  }
}

TEST(LmmFitTest, HessianInverseLayout) {
  const NestedData d = read_nested_error_csv();
  const OptimizationResult fit = fit_lmm_reml(Eigen::Vector2d(-0.5, -0.5), d.X, d.y, d.area, d.m);
  ASSERT_EQ(fit.hessian_inv.rows(), 5);
  ASSERT_EQ(fit.hessian_inv.cols(), 5);
  EXPECT_TRUE(fit.hessian_inv.topRows(3).isZero(0.0));
  EXPECT_TRUE(fit.hessian_inv.leftCols(3).isZero(0.0));
  const LmmSufficientStats s = compute_sufficient_stats(d.X, d.y, d.area, d.m);
  const Eigen::Matrix2d H =
      lmm_loss_derivatives(fit.params.tail(2), s, VarianceMethod::REML).hessian;
  const Eigen::Matrix2d product = H * fit.hessian_inv.bottomRightCorner(2, 2);
  EXPECT_TRUE(product.isApprox(Eigen::Matrix2d::Identity(), 1e-12));
  // At a minimum the Hessian is positive definite.
  EXPECT_GT(fit.hessian_inv(3, 3), 0.0);
  EXPECT_GT(fit.hessian_inv.bottomRightCorner(2, 2).determinant(), 0.0);
}

TEST(LmmFitTest, NonConvergenceIsReportedNotThrown) {
  const NestedData d = read_nested_error_csv();
  const OptimizationResult fit =
      fit_lmm_ml(Eigen::Vector2d(2.0, -2.0), d.X, d.y, d.area, d.m, {.max_iter = 1});
  EXPECT_FALSE(fit.success);
  EXPECT_NE(fit.message, 0);
  EXPECT_EQ(fit.params.size(), 5);
}

TEST(LmmInputTest, BadInputIsRejected) {
  const NestedData d = small_data();
  Eigen::VectorXi bad = d.area;
  bad(3) = 4;
  try {
    compute_sufficient_stats(d.X, d.y, bad, d.m);
    FAIL() << "expected std::invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "compute_sufficient_stats: area index 4 at row 3 is outside 0..3");
  }
  EXPECT_THROW(compute_sufficient_stats(d.X, d.y.head(5), d.area, d.m), std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
