#include "kelp_sae/kernels/mse/prasad_rao.h"

#include <stdexcept>
#include <string>

#include "kelp_sae/kernels/prediction/eblup.h"

namespace kelp_sae::kernels {
namespace {

void check_shapes(const Eigen::Ref<const Eigen::MatrixXd>& X, Eigen::Index y_size,
                  Eigen::Index D_size, Eigen::Index beta_size,
                  const Eigen::Ref<const Eigen::MatrixXd>& beta_cov) {
  const std::string where = "estimate_mse_prasad_rao: ";
  const auto rows = std::to_string(X.rows());
  const auto cols = std::to_string(X.cols());
  if (y_size != X.rows()) {
    throw std::invalid_argument(where + "y has " + std::to_string(y_size) + " entries but X has " +
                                rows + " rows");
  }
  if (D_size != X.rows()) {
    throw std::invalid_argument(where + "D has " + std::to_string(D_size) + " entries but X has " +
                                rows + " rows");
  }
  if (beta_size != X.cols()) {
    throw std::invalid_argument(where + "beta_hat has " + std::to_string(beta_size) +
                                " entries but X has " + cols + " columns");
  }
  if (beta_cov.rows() != X.cols() || beta_cov.cols() != X.cols()) {
    throw std::invalid_argument(where + "beta_cov is " + std::to_string(beta_cov.rows()) + " x " +
                                std::to_string(beta_cov.cols()) + " but X has " + cols +
                                " columns");
  }
}

}  // namespace

PrasadRaoResult estimate_mse_prasad_rao(
    const Eigen::Ref<const Eigen::MatrixXd>& X, const Eigen::Ref<const Eigen::VectorXd>& y,
    const Eigen::Ref<const Eigen::VectorXd>& D, const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
    double sigma_u2, const Eigen::Ref<const Eigen::MatrixXd>& beta_cov, PrasadRaoMethod method) {
  check_shapes(X, y.size(), D.size(), beta_hat.size(), beta_cov);
  const double m = static_cast<double>(y.size());
  const Eigen::ArrayXd v = D.array() + sigma_u2;
  const Eigen::ArrayXd v_inv = 1.0 / v;
  const Eigen::ArrayXd gamma = sigma_u2 / v;
  const Eigen::ArrayXd mu = (X * beta_hat).array();
  const Eigen::ArrayXd B = D.array() / v;
  const Eigen::ArrayXd B2 = B.square();

  PrasadRaoResult out;
  out.estimates.resize(y.size());
  for (Eigen::Index i = 0; i < y.size(); ++i) out.estimates(i) = eblup(gamma(i), y(i), mu(i));
  out.g1 = (gamma * D.array()).matrix();
  // diag(X Cov X'), row by row.
  const Eigen::ArrayXd leverage = ((X * beta_cov).array() * X.array()).rowwise().sum();
  out.g2 = (B2 * leverage).matrix();

  const double s2 = v_inv.square().sum();
  double var_sigma2 = 2.0 / s2;
  double bias_scale = 0.0;  // bias_i = bias_scale * B_i^2
  switch (method) {
    case PrasadRaoMethod::REML:
      break;
    case PrasadRaoMethod::ML: {
      const Eigen::MatrixXd Q = X.transpose() * v_inv.square().matrix().asDiagonal() * X;
      const double t = (beta_cov * Q).trace();
      bias_scale = -1.0 * t / s2;
      break;
    }
    case PrasadRaoMethod::FH: {
      const double s1 = v_inv.sum();
      var_sigma2 = (m * 2.0) / (s1 * s1);
      bias_scale = 2.0 * (m * s2 - s1 * s1) / (s1 * s1 * s1);
      break;
    }
  }
  out.g3 = (B2 * var_sigma2 / v).matrix();
  out.mse = (out.g1.array() + out.g2.array() + 2.0 * out.g3.array() - bias_scale * B2).matrix();
  return out;
}

PrasadRaoResult estimate_mse_prasad_rao(
    const Eigen::Ref<const Eigen::MatrixXd>& X, const Eigen::Ref<const Eigen::VectorXd>& y,
    const Eigen::Ref<const Eigen::VectorXd>& D, const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
    double sigma_u2, const Eigen::Ref<const Eigen::MatrixXd>& beta_cov, VarianceMethod method) {
  return estimate_mse_prasad_rao(
      X, y, D, beta_hat, sigma_u2, beta_cov,
      method == VarianceMethod::ML ? PrasadRaoMethod::ML : PrasadRaoMethod::REML);
}

}  // namespace kelp_sae::kernels
