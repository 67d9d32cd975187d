#include "kelp_sae/models/base.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kelp_sae {
namespace {

// A model that only exposes the shared loop.
class ProbeModel : public BaseSAEModel {
 public:
  using BaseSAEModel::optimize;
};

TEST(BaseSAEModel, MinimisesANegativeLogLikelihoodWithCapturedArguments) {
  // Normal sample with known mean and variance: the ML estimates of
  // (mu, log sigma) are the sample mean and the log of the divisor-n
  // standard deviation.
  const Eigen::VectorXd data = (Eigen::VectorXd(6) << 2.1, 3.7, 1.4, 4.9, 2.8, 3.3).finished();
  const double n = 6.0;
  const double mean = data.mean();
  const double sd = std::sqrt((data.array() - mean).square().mean());
  auto nll = [&](const Eigen::VectorXd& theta, Eigen::VectorXd& grad) {
    const double mu = theta(0);
    const double log_sigma = theta(1);
    const double s2 = std::exp(2.0 * log_sigma);
    const double ss = (data.array() - mu).square().sum();
    grad(0) = -(data.array() - mu).sum() / s2;
    grad(1) = n - ss / s2;
    return n * log_sigma + 0.5 * ss / s2;
  };
  const kernels::BfgsResult r = ProbeModel::optimize(nll, Eigen::Vector2d(0.0, 0.0));
  ASSERT_TRUE(r.success);
  EXPECT_NEAR(r.x(0), mean, 1e-5);
  EXPECT_NEAR(r.x(1), std::log(sd), 1e-5);
}

TEST(BaseSAEModel, ReportsNonConvergenceInsteadOfThrowing) {
  auto rosenbrock = [](const Eigen::VectorXd& x, Eigen::VectorXd& g) {
    const double a = 1.0 - x(0);
    const double b = x(1) - x(0) * x(0);
    g(0) = -2.0 * a - 400.0 * x(0) * b;
    g(1) = 200.0 * b;
    return a * a + 100.0 * b * b;
  };
  const kernels::BfgsResult capped =
      ProbeModel::optimize(rosenbrock, Eigen::Vector2d(-1.2, 1.0), {.tol = 1e-8, .max_iter = 2});
  EXPECT_FALSE(capped.success);
  EXPECT_EQ(capped.status, kernels::kIterationLimit);

  const kernels::BfgsResult full = ProbeModel::optimize(rosenbrock, Eigen::Vector2d(-1.2, 1.0));
  ASSERT_TRUE(full.success);
  EXPECT_NEAR(full.x(0), 1.0, 1e-4);
  EXPECT_NEAR(full.x(1), 1.0, 1e-4);
}

}  // namespace
}  // namespace kelp_sae
