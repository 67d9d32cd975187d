#include "kelp_sae/kernels/transformations/boxcox.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kelp_sae::kernels {
namespace {

TEST(BoxCox, GuardsAndBranches) {
  struct Case {
    const char* what;
    double y, lambda;
    bool inverse;
    double expected;
  };
  const Case cases[] = {
      {"lambda 5e-5 takes the log", 2.0, 5e-5, false, std::log(2.0)},
      {"lambda 1e-4 takes the power", 2.0, 1e-4, false, (std::pow(2.0, 1e-4) - 1.0) / 1e-4},
      {"lambda 5e-5 inverts by exp", 0.7, 5e-5, true, std::exp(0.7)},
      {"y <= 0 read as 1e-6 on the log branch", -3.0, 0.0, false, -13.815510557964274},
      {"y <= 0 read as 1e-6 on the power branch", 0.0, 0.5, false, (std::sqrt(1e-6) - 1.0) / 0.5},
      {"inverse base floored, lambda 0.5", -3.0, 0.5, true, 1e-18},
      {"inverse base floored, lambda -0.5", 2.5, -0.5, true, 1e18},
      {"plain power", 4.0, 0.5, false, 2.0},
      {"plain inverse", 2.0, 0.5, true, 4.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const double got = c.inverse ? boxcox_inverse(c.y, c.lambda) : boxcox_forward(c.y, c.lambda);
    EXPECT_NEAR(got, c.expected, 1e-12 * std::max(1.0, std::fabs(c.expected)));
    EXPECT_TRUE(std::isfinite(got));
  }
}

TEST(BoxCox, RoundTripAndJacobian) {
  const Eigen::VectorXd y = (Eigen::VectorXd(5) << 1e-3, 0.3, 1.0, 7.5, 1200.0).finished();
  for (const double lambda : {-1.5, -0.2, 0.0, 3e-5, 0.3, 1.0, 2.0}) {
    SCOPED_TRACE(lambda);
    const Eigen::VectorXd back = inverse_boxcox_transform(boxcox_transform(y, lambda), lambda);
    for (Eigen::Index i = 0; i < y.size(); ++i) EXPECT_NEAR(back(i), y(i), 1e-9 * y(i));
  }
  EXPECT_EQ(boxcox_log_jacobian(y, 1.0), 0.0);
  const Eigen::VectorXd with_zero = (Eigen::VectorXd(2) << 0.0, std::exp(2.0)).finished();
  EXPECT_NEAR(boxcox_log_jacobian(with_zero, 0.5), -0.5 * (std::log(1e-6) + 2.0), 1e-12);
}

TEST(BoxCox, BackTransformationKinds) {
  EXPECT_DOUBLE_EQ(BackTransformation::none().apply(-2.5), -2.5);
  EXPECT_DOUBLE_EQ(BackTransformation::log().apply(1.5), std::exp(1.5));
  EXPECT_DOUBLE_EQ(BackTransformation::box_cox(0.5).apply(-3.0), 1e-18);
}

}  // namespace
}  // namespace kelp_sae::kernels
