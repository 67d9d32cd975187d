#include "kelp_sae/kernels/optimization/brent.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelp_sae::kernels {
namespace {

TEST(MinimizeScalarBounded, FindsInteriorAndBoundaryMinima) {
  struct Case {
    std::string name;
    std::function<double(double)> f;
    double lo, hi, expected;
  };
  const std::vector<Case> cases = {
      {"parabola", [](double x) { return (x - 0.3) * (x - 0.3) + 1.0; }, -2.0, 2.0, 0.3},
      // Minimum of x^4 - 3x^2 + x on [0, 3]: root of 4x^3 - 6x + 1 near 1.13090.
      {"quartic", [](double x) { return x * x * x * x - 3.0 * x * x + x; }, 0.0, 3.0, 1.1309011226},
      {"cosine", [](double x) { return std::cos(x); }, 1.0, 5.0, std::numbers::pi},
      // Decreasing on the interval: the search ends within tolerance of hi.
      {"monotone", [](double x) { return -x; }, 0.0, 1.0, 1.0},
      // Kink, no parabolic help: golden-section steps.
      {"absolute value", [](double x) { return std::abs(x - 0.77); }, 0.0, 2.0, 0.77},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScalarResult r = minimize_scalar_bounded(c.f, c.lo, c.hi, {.xatol = 1e-8});
    EXPECT_TRUE(r.success);
    EXPECT_EQ(r.status, 0);
    EXPECT_NEAR(r.x, c.expected, 1e-6);
    EXPECT_EQ(r.fun, c.f(r.x));
    EXPECT_GT(r.x, c.lo);
    EXPECT_LT(r.x, c.hi);
  }
}

TEST(MinimizeScalarBounded, DefaultToleranceIsAbout1e5) {
  const ScalarResult r =
      minimize_scalar_bounded([](double x) { return std::exp(x) - 2.0 * x; }, -1.0, 3.0);
  EXPECT_TRUE(r.success);
  EXPECT_NEAR(r.x, std::log(2.0), 2e-5);
}

TEST(MinimizeScalarBounded, EvaluationLimitAndNanAreReported) {
  const ScalarResult capped =
      minimize_scalar_bounded([](double x) { return std::cos(x); }, 1.0, 5.0, {.max_iter = 4});
  EXPECT_EQ(capped.status, 1);
  EXPECT_FALSE(capped.success);
  EXPECT_EQ(capped.n_evaluations, 4);

  const ScalarResult nan = minimize_scalar_bounded(
      [](double) { return std::numeric_limits<double>::quiet_NaN(); }, 0.0, 1.0);
  EXPECT_EQ(nan.status, 2);
  EXPECT_FALSE(nan.success);
}

TEST(MinimizeScalarBounded, BadBoundsAreRejected) {
  const auto f = [](double x) { return x * x; };
  try {
    minimize_scalar_bounded(f, 1.0, -1.0);
    FAIL() << "expected std::invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "minimize_scalar_bounded: the lower bound exceeds the upper bound");
  }
  EXPECT_THROW(minimize_scalar_bounded(f, -INFINITY, 1.0), std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
