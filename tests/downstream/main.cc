// Uses the installed library through its public headers only: prints the
// version and fits a five-area Fay-Herriot model through the kernels and
// through the model front end.
#include <Eigen/Core>
#include <cmath>
#include <iostream>

#include "kelp/table.h"
#include "kelp_sae/kelp_sae.h"
#include "kelp_sae/kernels/kernels.h"

int main() {
  std::cout << "kelp_sae " << kelp_sae::version << '\n';

  // Intercept only with equal sampling variances D: the REML estimate of
  // sigma_u^2 is the sample variance (divisor m - 1) minus D, 3.7 - 0.5.
  Eigen::MatrixXd X = Eigen::MatrixXd::Ones(5, 1);
  Eigen::VectorXd y(5);
  y << 10.0, 12.0, 9.0, 14.0, 11.0;
  Eigen::VectorXd D = Eigen::VectorXd::Constant(5, 0.5);
  const kelp_sae::OptimizationResult fit = kelp_sae::kernels::fit_fay_herriot_reml(
      Eigen::VectorXd::Zero(2), X, y, D, {.tol = 1e-8, .max_iter = 200});
  const double beta = fit.params(0);
  const double sigma_u2 = std::exp(2.0 * fit.params(1));
  std::cout << "kernel: beta = " << beta << ", sigma_u^2 = " << sigma_u2 << '\n';
  if (!fit.success || std::abs(beta - 11.2) > 1e-6 || std::abs(sigma_u2 - 3.2) > 1e-5) {
    std::cerr << "unexpected kernel fit\n";
    return 1;
  }

  // The same data through AreaLevel.
  kelp::Table areas({{"area", kelp::Column({1, 2, 3, 4, 5})},
                     {"y", kelp::Column({10.0, 12.0, 9.0, 14.0, 11.0})},
                     {"var", kelp::Column({0.5, 0.5, 0.5, 0.5, 0.5})}});
  kelp_sae::AreaLevel model(areas);
  const kelp_sae::SAEResults res =
      model.fh("y", {}, "area", {.variance = "var", .run = {.tol = 1e-8, .max_iter = 200}});
  std::cout << "model: " << res.prediction().size()
            << " areas, sigma_u^2 = " << res.stats().sigma_u * res.stats().sigma_u << '\n';
  if (res.prediction().size() != 5 ||
      std::abs(res.stats().sigma_u * res.stats().sigma_u - 3.2) > 1e-4) {
    std::cerr << "unexpected model fit\n";
    return 1;
  }
  return 0;
}
