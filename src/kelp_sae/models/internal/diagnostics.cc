#include "kelp_sae/models/internal/diagnostics.h"

#include <cmath>
#include <limits>

#include "kelp_sae/kernels/diagnostics/diagnostics.h"

namespace kelp_sae::models::internal {
namespace {

DistributionDiagnostics summary_of(const Eigen::VectorXd& values) {
  const kernels::DistributionSummary s = kernels::summarize_distribution(values);
  return {.n = s.n,
          .skewness = s.skewness,
          .kurtosis = s.kurtosis,
          .shapiro_w = s.shapiro_w,
          .shapiro_p = s.shapiro_p,
          .shapiro_n = s.shapiro_n,
          .subsampled = s.subsampled};
}

// Values divided by their standard deviation (divisor m - 1); left as they
// are when that is zero (all effects shrunk to nothing).
Eigen::VectorXd standardized(const Eigen::VectorXd& v) {
  if (v.size() < 2) return v;
  const double mean = v.mean();
  const double sd =
      std::sqrt((v.array() - mean).square().sum() / static_cast<double>(v.size() - 1));
  return sd > 0.0 ? Eigen::VectorXd(v / sd) : v;
}

std::vector<double> to_vector(const Eigen::VectorXd& v) {
  return std::vector<double>(v.data(), v.data() + v.size());
}

}  // namespace

Diagnostics nested_error_diagnostics(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                     const Eigen::Ref<const Eigen::VectorXd>& y,
                                     const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                     Eigen::Index m, const Eigen::Ref<const Eigen::VectorXd>& beta,
                                     double sigma_u, double sigma_e) {
  const Eigen::Index n = y.size();
  const Eigen::VectorXd xb = X * beta;
  const Eigen::VectorXd marginal = y - xb;
  Eigen::VectorXd sum = Eigen::VectorXd::Zero(m);
  Eigen::VectorXd count = Eigen::VectorXd::Zero(m);
  for (Eigen::Index j = 0; j < n; ++j) {
    sum(area_indices(j)) += marginal(j);
    count(area_indices(j)) += 1.0;
  }
  const double su2 = sigma_u * sigma_u;
  const double se2 = sigma_e * sigma_e;
  Eigen::VectorXd u(m);
  for (Eigen::Index i = 0; i < m; ++i) {
    u(i) = count(i) > 0.0 ? su2 / (su2 + se2 / count(i)) * sum(i) / count(i) : 0.0;
  }
  Eigen::VectorXd fitted(n), residual(n);
  for (Eigen::Index j = 0; j < n; ++j) {
    fitted(j) = xb(j) + u(area_indices(j));
    residual(j) = sigma_e > 0.0 ? (y(j) - fitted(j)) / sigma_e : y(j) - fitted(j);
  }
  const Eigen::VectorXd effects = standardized(u);
  const kernels::MixedRSquared r2 = kernels::nakagawa_r_squared(xb, su2, se2);
  Diagnostics d;
  d.residuals = summary_of(residual);
  d.area_effects = summary_of(effects);
  d.r_squared_marginal = r2.marginal;
  d.r_squared_conditional = r2.conditional;
  d.standardized_residuals = to_vector(residual);
  d.fitted_values = to_vector(fitted);
  d.standardized_area_effects = to_vector(effects);
  return d;
}

Diagnostics fay_herriot_diagnostics(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                    const Eigen::Ref<const Eigen::VectorXd>& y,
                                    const Eigen::Ref<const Eigen::VectorXd>& D,
                                    const Eigen::Ref<const Eigen::VectorXd>& beta, double sigma_u) {
  const double su2 = sigma_u * sigma_u;
  const Eigen::VectorXd xb = X * beta;
  const Eigen::ArrayXd marginal = (y - xb).array();
  const Eigen::ArrayXd total = su2 + D.array();
  // An area with sigma_u^2 + D_i = 0 is fitted exactly: residual 0.
  const Eigen::VectorXd residual =
      (total > 0.0).select(marginal / total.sqrt(), Eigen::ArrayXd::Zero(y.size())).matrix();
  const Eigen::ArrayXd gamma = (total > 0.0).select(su2 / total, Eigen::ArrayXd::Ones(y.size()));
  const Eigen::VectorXd effects = standardized((gamma * marginal).matrix());
  Diagnostics d;
  d.residuals = summary_of(residual);
  d.area_effects = summary_of(effects);
  d.r_squared = kernels::fay_herriot_r_squared(xb, su2);
  d.standardized_residuals = to_vector(residual);
  d.fitted_values = to_vector(xb);
  d.standardized_area_effects = to_vector(effects);
  return d;
}

std::vector<DirectEstimate> sample_means(const Eigen::Ref<const Eigen::VectorXd>& y,
                                         const std::vector<Eigen::Index>& offsets,
                                         const std::vector<std::string>& areas,
                                         const std::string& indicator) {
  std::vector<DirectEstimate> out;
  out.reserve(areas.size());
  for (std::size_t i = 0; i < areas.size(); ++i) {
    const Eigen::Index begin = offsets[i];
    const Eigen::Index count = offsets[i + 1] - begin;
    if (count == 0) continue;
    const auto values = y.segment(begin, count);
    const double mean = values.mean();
    const double var = count > 1 ? (values.array() - mean).square().sum() /
                                       static_cast<double>(count - 1) / static_cast<double>(count)
                                 : std::numeric_limits<double>::quiet_NaN();
    out.push_back({.area = areas[i], .indicator = indicator, .est = mean, .var = var, .n = count});
  }
  return out;
}

}  // namespace kelp_sae::models::internal
