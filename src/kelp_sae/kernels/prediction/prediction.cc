#include "kelp_sae/kernels/prediction/prediction.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "kelp_sae/kernels/prediction/eblup.h"

namespace kelp_sae::kernels {

UnitEblup predict_unit_eblup(const Eigen::Ref<const Eigen::MatrixXd>& X,
                             const Eigen::Ref<const Eigen::VectorXd>& y,
                             const Eigen::Ref<const Eigen::VectorXd>& beta, double sigma_u,
                             double sigma_e, const Eigen::Ref<const Eigen::VectorXi>& area_ids,
                             Eigen::Index n_areas) {
  const Eigen::Index n = X.rows();
  if (y.size() != n || area_ids.size() != n) {
    throw std::invalid_argument(
        "predict_unit_eblup: X, y and area_ids must have the same number of rows");
  }
  if (beta.size() != X.cols()) {
    throw std::invalid_argument("predict_unit_eblup: beta has " + std::to_string(beta.size()) +
                                " entries but X has " + std::to_string(X.cols()) + " columns");
  }
  if (n_areas < 0) throw std::invalid_argument("predict_unit_eblup: n_areas must not be negative");

  const Eigen::VectorXd resid = y - X * beta;
  Eigen::VectorXd n_i = Eigen::VectorXd::Zero(n_areas);
  Eigen::VectorXd s_i = Eigen::VectorXd::Zero(n_areas);
  for (Eigen::Index r = 0; r < n; ++r) {
    const int a = area_ids(r);
    if (a < 0 || a >= n_areas) {
      throw std::invalid_argument("predict_unit_eblup: area id " + std::to_string(a) + " at row " +
                                  std::to_string(r) + " is outside 0.." +
                                  std::to_string(n_areas - 1));
    }
    n_i(a) += 1.0;
    s_i(a) += resid(r);
  }
  const double su2 = sigma_u * sigma_u;
  const double se2 = sigma_e * sigma_e;
  UnitEblup out{Eigen::VectorXd::Zero(n_areas), Eigen::VectorXd::Zero(n_areas)};
  for (Eigen::Index i = 0; i < n_areas; ++i) {
    if (n_i(i) == 0.0) continue;  // no units: u_hat 0, gamma 0
    out.gamma(i) = eblup_gamma(su2, se2 / n_i(i));
    out.u_hat(i) = eblup_area_effect(out.gamma(i), s_i(i) / n_i(i), 0.0);
  }
  return out;
}

AreaEblup predict_area_eblup(const Eigen::Ref<const Eigen::VectorXd>& beta, double sigma_u,
                             double sigma_e, const Eigen::Ref<const Eigen::VectorXd>& n_i,
                             const Eigen::Ref<const Eigen::VectorXd>& y_bar_s,
                             const Eigen::Ref<const Eigen::MatrixXd>& X_smp_means,
                             const Eigen::Ref<const Eigen::MatrixXd>& X_pop_means) {
  const Eigen::Index m = X_pop_means.rows();
  const Eigen::Index p = beta.size();
  if (n_i.size() != m || y_bar_s.size() != m || X_smp_means.rows() != m) {
    throw std::invalid_argument(
        "predict_area_eblup: n_i, y_bar_s, X_smp_means and X_pop_means must have one row per area");
  }
  if (X_smp_means.cols() != p || X_pop_means.cols() != p) {
    throw std::invalid_argument(
        "predict_area_eblup: X_smp_means and X_pop_means must have one column per entry of beta");
  }
  const double su2 = sigma_u * sigma_u;
  const double se2 = sigma_e * sigma_e;
  const Eigen::VectorXd x_smp_beta = X_smp_means * beta;
  AreaEblup out;
  out.gamma.resize(m);
  out.u_hat.resize(m);
  for (Eigen::Index i = 0; i < m; ++i) {
    out.gamma(i) = n_i(i) == 0.0 ? 0.0 : eblup_gamma(su2, se2 / std::max(n_i(i), 1.0));
    out.u_hat(i) = eblup_area_effect(out.gamma(i), y_bar_s(i), x_smp_beta(i));
  }
  out.theta_hat = X_pop_means * beta + out.u_hat;
  return out;
}

}  // namespace kelp_sae::kernels
