// Checks exact first and second derivatives of a two-parameter objective
// against fourth-order central differences (truncation error O(h^4)).
#pragma once

#include <gtest/gtest.h>

#include <Eigen/Core>
#include <cmath>

namespace kelp_sae::testing {

// `objective(theta)` returns a record with `value`, `gradient` (2) and
// `hessian` (2 x 2). The gradient is compared with differences of the value,
// the Hessian with differences of the gradient, each to `rel` relative
// (plus the same absolute) tolerance.
template <typename Objective>
void expect_derivatives_match_finite_differences(Objective&& objective,
                                                 const Eigen::Vector2d& theta, double h = 1e-3,
                                                 double rel = 1e-7) {
  const auto o = objective(theta);
  for (int k = 0; k < 2; ++k) {
    const auto at = [&](double step) {
      Eigen::Vector2d t = theta;
      t(k) += step;
      return objective(t);
    };
    const auto diff = [&](auto f) {
      return (-f(at(2 * h)) + 8.0 * f(at(h)) - 8.0 * f(at(-h)) + f(at(-2 * h))) / (12.0 * h);
    };
    const double fd = diff([](const auto& x) { return x.value; });
    EXPECT_NEAR(o.gradient(k), fd, rel * (1.0 + std::abs(fd))) << "gradient " << k;
    for (int j = 0; j < 2; ++j) {
      const double hfd = diff([j](const auto& x) { return x.gradient(j); });
      EXPECT_NEAR(o.hessian(j, k), hfd, rel * (1.0 + std::abs(hfd))) << "hessian " << j << k;
    }
  }
}

}  // namespace kelp_sae::testing
