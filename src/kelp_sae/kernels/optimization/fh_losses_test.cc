#include "kelp_sae/kernels/optimization/fh_losses.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelp_sae::kernels {
namespace {

// A small design with an intercept, two covariates and unequal variances
// (deterministic, no random generator needed).
struct Data {
  Eigen::MatrixXd X;
  Eigen::VectorXd y;
  Eigen::VectorXd D;
};

Data small_data(int n = 12) {
  Data d{Eigen::MatrixXd(n, 3), Eigen::VectorXd(n), Eigen::VectorXd(n)};
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    d.X(i, 0) = 1.0;
    d.X(i, 1) = std::sin(1.3 * t) * 2.0;
    d.X(i, 2) = std::cos(0.7 * t + 0.4);
    d.y(i) = 1.0 + 0.5 * d.X(i, 1) - 0.8 * d.X(i, 2) + 1.1 * std::sin(2.9 * t + 1.0);
    d.D(i) = 0.2 + 0.15 * (i % 4);
  }
  return d;
}

TEST(FhLosses, LibraryVariantsAgreeWithTheProfiledLoss) {
  const Data d = small_data();
  for (double ls : {-3.0, -0.4, 0.0, 0.7, 2.5, 10.0, 12.0, -11.0}) {
    SCOPED_TRACE(ls);
    const ProfiledLoss reml = fh_reml_loss(ls, d.X, d.y, d.D);
    const ProfiledLoss ml = fh_ml_loss(ls, d.X, d.y, d.D);
    const double tol = 1e-11 * (1.0 + std::abs(reml.value));
    EXPECT_NEAR(reml_loss(ls, d.X, d.y, d.D), reml.value, tol);
    EXPECT_NEAR(reml_loss_cholesky(ls, d.X, d.y, d.D), reml.value, tol);
    EXPECT_NEAR(fh_loss_unified(ls, d.X, d.y, d.D), reml.value, tol);
    EXPECT_NEAR(fh_loss_unified(ls, d.X, d.y, d.D, VarianceMethod::REML), reml.value, tol);
    EXPECT_NEAR(ml_loss(ls, d.X, d.y, d.D), ml.value, tol);
    EXPECT_NEAR(ml_loss_cholesky(ls, d.X, d.y, d.D), ml.value, tol);
    // The ML loss by its method.
    EXPECT_NEAR(fh_loss_unified(ls, d.X, d.y, d.D, VarianceMethod::ML), ml.value, tol);
    const LossWithGradient rg = reml_loss_with_grad(ls, d.X, d.y, d.D);
    const LossWithGradient mg = ml_loss_with_grad(ls, d.X, d.y, d.D);
    EXPECT_NEAR(rg.value, reml.value, tol);
    EXPECT_NEAR(rg.gradient, reml.d1, 1e-12 * (1.0 + std::abs(reml.d1)));
    EXPECT_NEAR(mg.value, ml.value, tol);
    EXPECT_NEAR(mg.gradient, ml.d1, 1e-12 * (1.0 + std::abs(ml.d1)));
  }
}

TEST(FhLosses, InterceptOnlyEqualVariancesMatchTheNormalLikelihood) {
  // With X = 1 and D_i = D the coefficient is the mean (up to the ridge,
  // 1e-10 of X'WX) and the ML loss is the negative normal log-likelihood
  // 0.5 (m log(2 pi V) + SS / V); REML adds log(m / V) and uses m - 1.
  const Eigen::VectorXd y = (Eigen::VectorXd(6) << 2.0, -1.0, 0.5, 3.0, 1.5, -0.5).finished();
  const int m = 6;
  const double D = 0.3;
  const Eigen::MatrixXd X = Eigen::MatrixXd::Ones(m, 1);
  const Eigen::VectorXd Dv = Eigen::VectorXd::Constant(m, D);
  const double ss = (y.array() - y.mean()).square().sum();
  for (double ls : {-1.0, 0.2, 1.0}) {
    SCOPED_TRACE(ls);
    const double v = std::exp(2.0 * ls) + D;
    const double l2pi = std::log(2.0 * std::numbers::pi);
    const double ml = 0.5 * (m * (l2pi + std::log(v)) + ss / v);
    const double reml = 0.5 * ((m - 1) * l2pi + m * std::log(v) + std::log(m / v) + ss / v);
    EXPECT_NEAR(ml_loss(ls, X, y, Dv), ml, 1e-7);
    EXPECT_NEAR(reml_loss(ls, X, y, Dv), reml, 1e-7);
  }
}

TEST(FhLosses, DerivativesMatchFiniteDifferences) {
  const Data d = small_data();
  // Negative variances put some V_i under the 1e-10 floor at small sigma_u;
  // the derivatives must then ignore those areas.
  Data floored = d;
  floored.D(2) = -0.5;
  floored.D(7) = -0.01;
  // With floored areas (weights 1e10) the values carry rounding noise of
  // about 1e-8, so the differences need a longer step and a looser bound.
  struct Case {
    std::string name;
    const Data* data;
    double ls;
    double h;
    double tol;    // on d1 and d2 against differences of d1 and of values
    double tol_v;  // on d2 against the second difference of values
  };
  const std::vector<Case> cases = {
      {"small sigma", &d, -2.0, 1e-4, 1e-6, 1e-3},
      {"moderate", &d, -0.3, 1e-4, 1e-6, 1e-3},
      {"at one", &d, 0.0, 1e-4, 1e-6, 1e-3},
      {"large", &d, 1.5, 1e-4, 1e-6, 1e-3},
      {"near bound", &d, 9.5, 1e-4, 1e-6, 1e-3},
      {"floored", &floored, -3.0, 1e-2, 1e-3, 1e-2},
      {"floored mid", &floored, -1.5, 1e-2, 1e-3, 1e-2},
  };
  for (const Case& c : cases) {
    const double h = c.h;
    for (bool reml : {true, false}) {
      SCOPED_TRACE(c.name + (reml ? " REML" : " ML"));
      const auto f = [&](double ls) {
        return reml ? fh_reml_loss(ls, c.data->X, c.data->y, c.data->D)
                    : fh_ml_loss(ls, c.data->X, c.data->y, c.data->D);
      };
      const ProfiledLoss at = f(c.ls);
      const ProfiledLoss up = f(c.ls + h);
      const ProfiledLoss down = f(c.ls - h);
      const double fd1 = (up.value - down.value) / (2.0 * h);
      const double fd2 = (up.d1 - down.d1) / (2.0 * h);
      EXPECT_NEAR(at.d1, fd1, c.tol * (1.0 + std::abs(at.d1)));
      EXPECT_NEAR(at.d2, fd2, c.tol * (1.0 + std::abs(at.d2)));
      // The second difference of the values confirms d2 independently of d1.
      const double fd2v = (up.value - 2.0 * at.value + down.value) / (h * h);
      EXPECT_NEAR(at.d2, fd2v, c.tol_v * (1.0 + std::abs(at.d2)));
    }
  }
}

TEST(FhLosses, WideDesignsAgreeWithTheLibraryAndDifferences) {
  // More than 16 columns takes the unpacked route for the weighted Gram
  // matrices; values and slopes must not change.
  const int n = 40, p = 18;
  Eigen::MatrixXd X(n, p);
  Eigen::VectorXd y(n), D(n);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < p; ++j) X(i, j) = j == 0 ? 1.0 : std::sin(0.37 * (i + 1) * (j + 2));
    y(i) = std::cos(0.9 * i) + 0.3 * X(i, 1);
    D(i) = 0.1 + 0.02 * (i % 7);
  }
  for (double ls : {-1.0, 0.5}) {
    SCOPED_TRACE(ls);
    const ProfiledLoss r = fh_reml_loss(ls, X, y, D);
    const ProfiledLoss m = fh_ml_loss(ls, X, y, D);
    EXPECT_NEAR(r.value, reml_loss(ls, X, y, D), 1e-10 * std::abs(r.value));
    EXPECT_NEAR(m.value, ml_loss(ls, X, y, D), 1e-10 * std::abs(m.value));
    const double h = 1e-4;
    const double fd =
        (fh_reml_loss(ls + h, X, y, D).value - fh_reml_loss(ls - h, X, y, D).value) / (2.0 * h);
    EXPECT_NEAR(r.d1, fd, 1e-6 * (1.0 + std::abs(r.d1)));
    const double fd2 =
        (fh_reml_loss(ls + h, X, y, D).d1 - fh_reml_loss(ls - h, X, y, D).d1) / (2.0 * h);
    EXPECT_NEAR(r.d2, fd2, 1e-6 * (1.0 + std::abs(r.d2)));
  }
}

TEST(FhLosses, ConstantOutsideTheLogSigmaBounds) {
  const Data d = small_data();
  for (double ls : {10.5, 30.0, -10.2, -50.0}) {
    SCOPED_TRACE(ls);
    const double bound = ls > 0 ? 10.0 : -10.0;
    for (bool reml : {true, false}) {
      const ProfiledLoss out =
          reml ? fh_reml_loss(ls, d.X, d.y, d.D) : fh_ml_loss(ls, d.X, d.y, d.D);
      const ProfiledLoss edge =
          reml ? fh_reml_loss(bound, d.X, d.y, d.D) : fh_ml_loss(bound, d.X, d.y, d.D);
      EXPECT_EQ(out.value, edge.value);
      EXPECT_EQ(out.d1, 0.0);
      EXPECT_EQ(out.d2, 0.0);
    }
  }
}

TEST(FhLosses, SquareDesignIsDefinedThroughTheRidge) {
  // With p = N the REML constant vanishes, the fit is exact (RSS ~ 0) and
  // log|A| = 2 log|det X| - log|V|, so the REML loss is log|det X| whatever
  // sigma_u, and its slope is 0, up to the effect of the ridge (1e-10 of the
  // mean diagonal of X'WX) next to the smallest eigenvalue of X'WX (about
  // 1e-3 here).
  Eigen::MatrixXd X(4, 4);
  X << 1.0, 0.3, -0.2, 0.5, 1.0, -1.1, 0.4, 0.0, 1.0, 0.8, 1.5, -0.7, 1.0, 0.1, -0.9, 1.2;
  const Eigen::VectorXd y = (Eigen::VectorXd(4) << 0.5, -1.0, 2.0, 0.3).finished();
  const Eigen::VectorXd D = (Eigen::VectorXd(4) << 0.1, 0.2, 0.3, 0.4).finished();
  const double expected = std::log(std::abs(X.determinant()));
  for (double ls : {-1.0, 0.0, 1.0}) {
    SCOPED_TRACE(ls);
    const ProfiledLoss r = fh_reml_loss(ls, X, y, D);
    EXPECT_TRUE(std::isfinite(r.value));
    EXPECT_NEAR(r.value, expected, 1e-4);
    EXPECT_NEAR(r.d1, 0.0, 1e-4);
    EXPECT_NEAR(reml_loss_cholesky(ls, X, y, D), expected, 1e-4);
  }
}

TEST(FhLosses, VariancesBelowTheFloorUseTheFloor) {
  // One area with V = -0.5 + s below 1e-10: its W is 1e10 and its log V is
  // log 1e-10. Intercept-only, the weight of that area dominates, so the
  // coefficient is (almost) its response and its residual (almost) 0.
  const Eigen::MatrixXd X = Eigen::MatrixXd::Ones(3, 1);
  const Eigen::VectorXd y = (Eigen::VectorXd(3) << 1.0, 2.0, 4.0).finished();
  const Eigen::VectorXd D = (Eigen::VectorXd(3) << -0.5, 1.0, 1.0).finished();
  const double ls = -3.0;
  const double v = std::exp(-6.0) + 1.0;
  const double expected = 0.5 * (3.0 * std::log(2.0 * std::numbers::pi) + std::log(1e-10) +
                                 2.0 * std::log(v) + (1.0 + 9.0) / v);
  EXPECT_NEAR(ml_loss(ls, X, y, D), expected, 1e-6);
  EXPECT_NEAR(fh_ml_loss(ls, X, y, D).value, expected, 1e-6);
}

TEST(FhLosses, ShapeMismatchesAreRejected) {
  const Data d = small_data();
  const Eigen::VectorXd short_y = d.y.head(5);
  try {
    reml_loss(0.0, d.X, short_y, d.D);
    FAIL() << "expected std::invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "reml_loss: y has 5 entries but X has 12 rows");
  }
  EXPECT_THROW(fh_ml_loss(0.0, d.X, d.y, d.D.head(3)), std::invalid_argument);
  EXPECT_THROW(ml_loss_cholesky(0.0, Eigen::MatrixXd(12, 0), d.y, d.D), std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
