#include "kelp_sae/kernels/mse/prasad_rao.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelp_sae::kernels {
namespace {

void expect_vector_near(const Eigen::VectorXd& actual, const std::vector<double>& expected,
                        double tol) {
  ASSERT_EQ(actual.size(), static_cast<Eigen::Index>(expected.size()));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(actual(static_cast<Eigen::Index>(i)), expected[i], tol) << "entry " << i;
  }
}

// Three areas, intercept only: y = (1, 2, 4), D = (1, 2, 3), sigma_u^2 = 1,
// beta = 2, Var(beta) = 1/2. Worked by hand:
//   V = (2, 3, 4), gamma = (1/2, 1/3, 1/4), B = (1/2, 2/3, 3/4),
//   estimates = (3/2, 2, 5/2), g1 = gamma D = (1/2, 2/3, 3/4),
//   g2 = B^2 / 2 = (1/8, 2/9, 9/32),
//   S1 = 13/12, S2 = 1/4 + 1/9 + 1/16 = 61/144.
//   REML/ML: Var(sigma^2) = 2 / S2 = 288/61, g3 = B^2 Var / V = (36/61, 128/183, 81/122).
//   ML: t = Var(beta) S2 = 61/288, bias scale = -t / S2 = -1/2, so mse adds B^2 / 2.
//   FH: Var(sigma^2) = 6 / S1^2 = 864/169, g3 = (108/169, 128/169, 243/338),
//       b = 2 (3 S2 - S1^2) / S1^3 = 336/2197, mse subtracts b B^2.
struct HandCase {
  Eigen::MatrixXd X = Eigen::MatrixXd::Ones(3, 1);
  Eigen::VectorXd y = Eigen::Vector3d(1.0, 2.0, 4.0);
  Eigen::VectorXd D = Eigen::Vector3d(1.0, 2.0, 3.0);
  Eigen::VectorXd beta = Eigen::VectorXd::Constant(1, 2.0);
  Eigen::MatrixXd cov = Eigen::MatrixXd::Constant(1, 1, 0.5);
};

TEST(PrasadRao, HandWorkedThreeAreaCase) {
  const HandCase h;
  const std::vector<double> est = {1.5, 2.0, 2.5};
  const std::vector<double> g1 = {0.5, 2.0 / 3.0, 0.75};
  const std::vector<double> g2 = {0.125, 2.0 / 9.0, 9.0 / 32.0};
  const std::vector<double> g3 = {36.0 / 61.0, 128.0 / 183.0, 81.0 / 122.0};
  const std::vector<double> g3_fh = {108.0 / 169.0, 128.0 / 169.0, 243.0 / 338.0};
  const std::vector<double> b2 = {0.25, 4.0 / 9.0, 9.0 / 16.0};
  const double b_fh = 336.0 / 2197.0;
  struct Case {
    PrasadRaoMethod method;
    std::vector<double> g3;
    std::vector<double> mse;
  };
  std::vector<Case> cases;
  Case reml{PrasadRaoMethod::REML, g3, {}}, ml{PrasadRaoMethod::ML, g3, {}},
      fh{PrasadRaoMethod::FH, g3_fh, {}};
  for (int i = 0; i < 3; ++i) {
    reml.mse.push_back(g1[i] + g2[i] + 2.0 * g3[i]);
    ml.mse.push_back(g1[i] + g2[i] + 2.0 * g3[i] + 0.5 * b2[i]);
    fh.mse.push_back(g1[i] + g2[i] + 2.0 * g3_fh[i] - b_fh * b2[i]);
  }
  for (const Case& c : {reml, ml, fh}) {
    SCOPED_TRACE(static_cast<int>(c.method));
    const auto [e, mse, r1, r2, r3] =
        estimate_mse_prasad_rao(h.X, h.y, h.D, h.beta, 1.0, h.cov, c.method);
    expect_vector_near(e, est, 1e-15);
    expect_vector_near(r1, g1, 1e-15);
    expect_vector_near(r2, g2, 1e-15);
    expect_vector_near(r3, c.g3, 1e-14);
    expect_vector_near(mse, c.mse, 1e-14);
  }
}

TEST(PrasadRao, DefaultMethodIsRemlAndItsMseIsExactlyTheSumOfTerms) {
  const HandCase h;
  const PrasadRaoResult r = estimate_mse_prasad_rao(h.X, h.y, h.D, h.beta, 1.0, h.cov);
  const PrasadRaoResult reml =
      estimate_mse_prasad_rao(h.X, h.y, h.D, h.beta, 1.0, h.cov, VarianceMethod::REML);
  EXPECT_EQ(r.mse, reml.mse);
  EXPECT_EQ(r.mse, (r.g1.array() + r.g2.array() + 2.0 * r.g3.array()).matrix());
}

TEST(PrasadRao, NoSamplingErrorReturnsTheDirectEstimate) {
  const HandCase h;
  const Eigen::VectorXd D = Eigen::Vector3d(0.0, 1e-300, 0.0);
  const PrasadRaoResult r =
      estimate_mse_prasad_rao(h.X, h.y, D, h.beta, 1.0, h.cov, VarianceMethod::ML);
  EXPECT_LE((r.estimates - h.y).lpNorm<Eigen::Infinity>(), 1e-15);
  EXPECT_LE(r.g1.lpNorm<Eigen::Infinity>(), 1e-299);
  EXPECT_LE(r.g2.lpNorm<Eigen::Infinity>(), 1e-299);
  EXPECT_LE(r.g3.lpNorm<Eigen::Infinity>(), 1e-299);
  EXPECT_LE(r.mse.lpNorm<Eigen::Infinity>(), 1e-299);
}

TEST(PrasadRao, MethodOrderingsOnAGeneralDesign) {
  const int m = 15;
  Eigen::MatrixXd X(m, 2);
  Eigen::VectorXd y(m), D(m), Deq = Eigen::VectorXd::Constant(m, 0.7);
  for (int i = 0; i < m; ++i) {
    X(i, 0) = 1.0;
    X(i, 1) = std::cos(0.8 * i);
    y(i) = 1.0 + X(i, 1) + std::sin(2.0 * i);
    D(i) = 0.2 + 0.1 * (i % 5);
  }
  const Eigen::Vector2d beta(1.0, 0.9);
  Eigen::Matrix2d cov;
  cov << 0.05, 0.01, 0.01, 0.08;
  const auto reml = estimate_mse_prasad_rao(X, y, D, beta, 0.6, cov, VarianceMethod::REML);
  const auto ml = estimate_mse_prasad_rao(X, y, D, beta, 0.6, cov, VarianceMethod::ML);
  const auto fh = estimate_mse_prasad_rao(X, y, D, beta, 0.6, cov, PrasadRaoMethod::FH);
  // ML adds a non-negative bias correction to the REML MSE.
  EXPECT_TRUE((ml.mse.array() >= reml.mse.array()).all());
  // Unequal variances: the moment-method bias is positive and lowers the MSE
  // relative to g1 + g2 + 2 g3.
  EXPECT_TRUE((fh.mse.array() < (fh.g1 + fh.g2 + 2.0 * fh.g3).array()).all());
  // Equal variances: m S2 = S1^2, so the moment-method bias vanishes.
  const auto fh_eq = estimate_mse_prasad_rao(X, y, Deq, beta, 0.6, cov, PrasadRaoMethod::FH);
  EXPECT_LE((fh_eq.mse - (fh_eq.g1 + fh_eq.g2 + 2.0 * fh_eq.g3)).lpNorm<Eigen::Infinity>(), 1e-14);
}

TEST(PrasadRao, BadShapesAreRejected) {
  const HandCase h;
  try {
    estimate_mse_prasad_rao(h.X, h.y, h.D, Eigen::Vector2d(1.0, 2.0), 1.0, h.cov);
    FAIL() << "expected std::invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "estimate_mse_prasad_rao: beta_hat has 2 entries but X has 1 columns");
  }
  EXPECT_THROW(estimate_mse_prasad_rao(h.X, h.y.head(2), h.D, h.beta, 1.0, h.cov),
               std::invalid_argument);
  EXPECT_THROW(estimate_mse_prasad_rao(h.X, h.y, h.D, h.beta, 1.0, Eigen::MatrixXd::Identity(2, 2)),
               std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
