#include "kelp_sae/kernels/transformations/estimation.h"

#include <gtest/gtest.h>

#include <cmath>

#include "kelp_sae/kernels/testdata/nested_error_data.h"
#include "kelp_sae/kernels/transformations/boxcox.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae::kernels {
namespace {

// Responses whose Box-Cox transform with `lambda` follows a nested-error
// model: 40 areas of 25 units, one covariate.
struct Data {
  Eigen::MatrixXd X;
  Eigen::VectorXd y;
  Eigen::VectorXi area;
};

Data simulate(double lambda, std::uint64_t seed) {
  constexpr int kAreas = 40, kUnits = 25, n = kAreas * kUnits;
  const std::vector<double> z = random::normal(random::key_from_seed(seed), 2 * n + kAreas);
  Data d{Eigen::MatrixXd(n, 2), Eigen::VectorXd(n), Eigen::VectorXi(n)};
  for (int i = 0; i < n; ++i) {
    const int a = i / kUnits;
    const double x = z[static_cast<std::size_t>(n + i)];
    const double y_t = 3.0 + 0.4 * x + 0.3 * z[static_cast<std::size_t>(2 * n + a)] +
                       0.5 * z[static_cast<std::size_t>(i)];
    d.X(i, 0) = 1.0;
    d.X(i, 1) = x;
    d.y(i) = boxcox_inverse(y_t, lambda);
    d.area(i) = a;
  }
  return d;
}

TEST(BoxCoxLambda, RecoversTheGeneratingLambda) {
  for (const double lambda : {0.0, 0.35}) {
    SCOPED_TRACE(lambda);
    const Data d = simulate(lambda, 11);
    const double est = estimate_boxcox_lambda(d.X, d.y, d.area, 40);
    // The profile likelihood's curvature gives a standard error near 0.03
    // for this design; 0.12 is four of them.
    EXPECT_NEAR(est, lambda, 0.12);
    // est is a minimum of the objective on a grid around it.
    const double f = boxcox_negative_profile_loglik(est, d.X, d.y, d.area, 40, 1e-4, 100);
    for (const double step : {-0.05, 0.05}) {
      EXPECT_LT(f, boxcox_negative_profile_loglik(est + step, d.X, d.y, d.area, 40, 1e-4, 100));
    }
  }
}

TEST(BoxCoxLambda, AgreesWithNlme) {
  // testdata/boxcox_reference.R: the same profile from nlme's REML fits.
  const testing::NestedData d = testing::read_nested_error_csv();
  const auto f = [&](double lambda) {
    return boxcox_negative_profile_loglik(lambda, d.X, d.y, d.area, d.m, 1e-8, 500);
  };
  EXPECT_NEAR(f(0.5) - f(1.0), 26.18215369, 1e-4);
  EXPECT_NEAR(f(-0.5) - f(1.0), 180.9243827, 1e-4);
  EXPECT_NEAR(f(0.0) - f(1.0), 92.44720313, 1e-4);
  // Brent's tolerance on lambda is 0.001.
  EXPECT_NEAR(estimate_boxcox_lambda(d.X, d.y, d.area, d.m), 1.029377991, 3e-3);
}

TEST(BoxCoxLambda, NarrowIntervalAndBadArguments) {
  const Data d = simulate(0.5, 3);
  const double est =
      estimate_boxcox_lambda(d.X, d.y, d.area, 40, {.lower = 1.0, .upper = 1.0 + 1e-6});
  EXPECT_GE(est, 1.0);
  EXPECT_LE(est, 1.0 + 1e-6);
  EXPECT_THROW(estimate_boxcox_lambda(d.X, d.y, d.area, 40, {.lower = 1.0, .upper = 0.0}),
               std::invalid_argument);
  EXPECT_THROW(estimate_boxcox_lambda(d.X, d.y, d.area, 39), std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
