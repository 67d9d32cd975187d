#include "kelp_sae/kernels/mse/analytical_unit.h"

#include <algorithm>
#include <stdexcept>

#include "kelp_sae/kernels/prediction/eblup.h"

namespace kelp_sae::kernels {

Eigen::VectorXd analytical_mse_bhf(double sigma_u2, double sigma_e2,
                                   const Eigen::Ref<const Eigen::MatrixXd>& beta_cov,
                                   const Eigen::Ref<const Eigen::MatrixXd>& X_pop_means,
                                   const Eigen::Ref<const Eigen::VectorXd>& n_i_sample,
                                   const std::optional<Eigen::Matrix2d>& var_cov_params) {
  const Eigen::Index m = X_pop_means.rows();
  const Eigen::Index p = X_pop_means.cols();
  if (beta_cov.rows() != p || beta_cov.cols() != p) {
    throw std::invalid_argument(
        "analytical_mse_bhf: beta_cov must be p x p with p the number of columns of X_pop_means");
  }
  if (n_i_sample.size() != m) {
    throw std::invalid_argument(
        "analytical_mse_bhf: n_i_sample must have one entry per row of X_pop_means");
  }
  // Rows of X_pop_means times beta_cov, for the quadratic forms x' C x.
  const Eigen::VectorXd xcx = (X_pop_means * beta_cov).cwiseProduct(X_pop_means).rowwise().sum();
  Eigen::VectorXd mse(m);
  for (Eigen::Index i = 0; i < m; ++i) {
    const double n = n_i_sample(i);
    const double n_safe = std::max(n, 1e-6);
    const double ratio = sigma_e2 / n_safe;
    const double gamma = n <= 0.0 ? 0.0 : eblup_gamma(sigma_u2, ratio);
    const double g1 = sigma_u2 * (1.0 - gamma);
    const double g2 = (1.0 - gamma) * (1.0 - gamma) * xcx(i);
    double g3 = 0.0;
    if (var_cov_params.has_value() && n > 0.0) {
      const Eigen::Matrix2d& vc = *var_cov_params;
      const double v = sigma_u2 + ratio;
      const double d_se2 = -sigma_u2 / (n_safe * v * v);
      const double d_su2 = ratio / (v * v);
      const double var_gamma =
          d_se2 * d_se2 * vc(0, 0) + d_su2 * d_su2 * vc(1, 1) + 2.0 * d_se2 * d_su2 * vc(0, 1);
      g3 = v * var_gamma;
    }
    mse(i) = g1 + g2 + 2.0 * g3;
  }
  return mse;
}

}  // namespace kelp_sae::kernels
