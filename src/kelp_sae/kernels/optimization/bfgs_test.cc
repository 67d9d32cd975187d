#include "kelp_sae/kernels/optimization/bfgs.h"

#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace kelp_sae::kernels {
namespace {

double rosenbrock(const Eigen::VectorXd& x, Eigen::VectorXd& g) {
  const double a = 1.0 - x(0);
  const double b = x(1) - x(0) * x(0);
  g(0) = -2.0 * a - 400.0 * x(0) * b;
  g(1) = 200.0 * b;
  return a * a + 100.0 * b * b;
}

TEST(MinimizeBfgs, FindsTheMinimumOfStandardFunctions) {
  // A convex quadratic 0.5 x'Qx - c'x with an off-centre optimum Q^{-1} c.
  Eigen::Matrix3d Q;
  Q << 4.0, 1.0, 0.5, 1.0, 3.0, 0.2, 0.5, 0.2, 2.0;
  const Eigen::Vector3d c(1.0, -2.0, 3.0);
  const Eigen::Vector3d quad_opt = Q.ldlt().solve(c);

  struct Case {
    std::string name;
    ObjectiveWithGradient f;
    Eigen::VectorXd x0;
    Eigen::VectorXd expected;
    double tol;
    double x_tol;
  };
  const std::vector<Case> cases = {
      {"quadratic",
       [&](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
         g = Q * x - c;
         return 0.5 * x.dot(Q * x) - c.dot(x);
       },
       Eigen::Vector3d(5.0, 5.0, -5.0), quad_opt, 1e-10, 1e-9},
      {"rosenbrock", rosenbrock, Eigen::Vector2d(-1.2, 1.0), Eigen::Vector2d(1.0, 1.0), 1e-8, 1e-6},
      // f(x) = x^4 - 3x^2 + x has its global minimum at the root of
      // 4x^3 - 6x + 1 near -1.3008; from -3 BFGS reaches that basin. The
      // tolerance is below what value comparisons can resolve (the last
      // decreases are under the rounding of f), so this also exercises the
      // slope-based sufficient-decrease test.
      {"one dimensional",
       [](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
         const double t = x(0);
         g(0) = 4.0 * t * t * t - 6.0 * t + 1.0;
         return t * t * t * t - 3.0 * t * t + t;
       },
       Eigen::VectorXd::Constant(1, -3.0), Eigen::VectorXd::Constant(1, -1.300839565), 1e-10, 1e-8},
  };
  for (const Case& c_ : cases) {
    SCOPED_TRACE(c_.name);
    const BfgsResult r = minimize_bfgs(c_.f, c_.x0, {.tol = c_.tol, .max_iter = 500});
    EXPECT_EQ(r.status, kConverged);
    EXPECT_TRUE(r.success);
    EXPECT_LE(r.grad.lpNorm<Eigen::Infinity>(), c_.tol);
    EXPECT_GT(r.iterations, 0);
    EXPECT_LE((r.x - c_.expected).lpNorm<Eigen::Infinity>(), c_.x_tol);
    Eigen::VectorXd g(c_.x0.size());
    EXPECT_DOUBLE_EQ(r.fun, c_.f(r.x, g));
  }
}

TEST(MinimizeBfgs, InverseHessianApproachesTheTrueInverseOnAQuadratic) {
  // On a quadratic with exact line searches BFGS recovers Q^{-1}; with the
  // Wolfe search it is close after convergence in 2-D.
  Eigen::Matrix2d Q;
  Q << 3.0, 1.0, 1.0, 2.0;
  const auto f = [&](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
    g = Q * x;
    return 0.5 * x.dot(Q * x);
  };
  const BfgsResult r = minimize_bfgs(f, Eigen::Vector2d(3.0, -4.0), {.tol = 1e-12});
  ASSERT_TRUE(r.success);
  EXPECT_LE((r.inv_hessian - Q.inverse()).norm(), 0.1);
}

TEST(MinimizeBfgs, StartThatAlreadySatisfiesTheToleranceTakesNoStep) {
  const auto f = [](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
    g = 2.0 * (x.array() - 1.0).matrix();
    return (x.array() - 1.0).square().sum();
  };
  const BfgsResult r = minimize_bfgs(f, Eigen::Vector2d(1.0 + 1e-6, 1.0), {.tol = 1e-4});
  EXPECT_EQ(r.status, kConverged);
  EXPECT_TRUE(r.success);
  EXPECT_EQ(r.iterations, 0);
  EXPECT_EQ(r.n_evaluations, 1);
  EXPECT_EQ(r.x, Eigen::Vector2d(1.0 + 1e-6, 1.0));
}

TEST(MinimizeBfgs, StopsAtTheIterationCap) {
  for (int cap : {0, 1, 3}) {
    SCOPED_TRACE(cap);
    const BfgsResult r = minimize_bfgs(rosenbrock, Eigen::Vector2d(-1.2, 1.0), {.max_iter = cap});
    EXPECT_EQ(r.status, kIterationLimit);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.iterations, cap);
    // The returned point is the last accepted one, with its own value.
    Eigen::VectorXd g(2);
    EXPECT_DOUBLE_EQ(r.fun, rosenbrock(r.x, g));
    EXPECT_LE(r.fun, 24.2);  // f(-1.2, 1) = 24.2
  }
}

TEST(MinimizeBfgs, GradientOfTheWrongSignMakesTheLineSearchFail) {
  // The reported gradient points uphill, so every step along -H g increases
  // the true function and no point satisfies sufficient decrease.
  const auto lying = [](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
    g = -2.0 * x;
    return x.squaredNorm();
  };
  const Eigen::VectorXd x0 = Eigen::Vector2d(1.0, -2.0);
  const BfgsResult r = minimize_bfgs(lying, x0);
  EXPECT_EQ(r.status, kLineSearchFailed);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.iterations, 0);
  EXPECT_EQ(r.x, x0);  // no step was accepted
  EXPECT_DOUBLE_EQ(r.fun, 5.0);
}

TEST(MinimizeBfgs, NonFiniteStartIsReported) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto log_fn = [](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
    g(0) = 1.0 / x(0) - 1.0;
    return std::log(x(0)) - x(0);
  };
  struct Case {
    std::string name;
    Eigen::VectorXd x0;
  };
  for (const Case& c : {Case{"nan start", Eigen::VectorXd::Constant(1, nan)},
                        Case{"negative log argument", Eigen::VectorXd::Constant(1, -1.0)},
                        Case{"infinite gradient", Eigen::VectorXd::Constant(1, 0.0)}}) {
    SCOPED_TRACE(c.name);
    const BfgsResult r = minimize_bfgs(log_fn, c.x0);
    EXPECT_EQ(r.status, kNonFiniteStart);
    EXPECT_FALSE(r.success);
    EXPECT_EQ(r.iterations, 0);
  }
}

TEST(MinimizeBfgs, StepsIntoARegionWhereTheObjectiveIsUndefinedAreRejected) {
  // f(x) = x - 2 log(x) has its minimum at x = 2; a long first step towards
  // negative x would leave the domain (NaN), which the search must treat as
  // too long rather than accept.
  const auto f = [](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
    g(0) = 1.0 - 2.0 / x(0);
    return x(0) - 2.0 * std::log(x(0));
  };
  const BfgsResult r = minimize_bfgs(f, Eigen::VectorXd::Constant(1, 0.05), {.tol = 1e-10});
  EXPECT_TRUE(r.success);
  EXPECT_NEAR(r.x(0), 2.0, 1e-9);
}

}  // namespace
}  // namespace kelp_sae::kernels
