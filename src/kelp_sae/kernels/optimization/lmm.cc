#include "kelp_sae/kernels/optimization/lmm.h"

#include <Eigen/Cholesky>
#include <Eigen/LU>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp_sae/kernels/optimization/bfgs.h"
#include "kelp_sae/kernels/optimization/internal/nested_error_objective.h"

namespace kelp_sae::kernels {
namespace {

using internal::Dual2;
using Method = VarianceMethod;

// The fitter's guard: a relative diagonal raise when a pivot of X'V^-1X is
// tiny, so beta scales with the response; no absolute floor or ridge.
constexpr internal::NestedErrorGuards kFitterGuards{.relative_pivot_guard = true};

void check_stats(const LmmSufficientStats& s, const char* function) {
  const Eigen::Index m = s.ni.size();
  const Eigen::Index p = s.XtX.rows();
  if (s.yi_sum.size() != m || s.Xi_sum.rows() != m || s.Xi_sum.cols() != p || s.XtX.cols() != p ||
      s.Xty.size() != p) {
    throw std::invalid_argument(std::string(function) +
                                ": sufficient statistics have inconsistent shapes");
  }
}

// Per-area statistics regrouped by area size (areas without units dropped):
// the objective depends on an area only through its size and its sums.
struct GroupedStats {
  explicit GroupedStats(const LmmSufficientStats& s) : stats(&s) {
    const Eigen::Index m = s.ni.size();
    const Eigen::Index p = s.XtX.rows();
    std::map<double, Eigen::Index> sizes;  // size -> group, ascending
    for (Eigen::Index i = 0; i < m; ++i) {
      if (s.ni(i) > 0.0) sizes.emplace(s.ni(i), 0);
    }
    const auto k_groups = static_cast<Eigen::Index>(sizes.size());
    group_n.resize(k_groups);
    Eigen::Index g = 0;
    for (auto& [size, group] : sizes) {
      group = g;
      group_n(g++) = size;
    }
    group_count = Eigen::VectorXd::Zero(k_groups);
    group_XX = Eigen::MatrixXd::Zero(p, k_groups * p);
    group_Xy = Eigen::MatrixXd::Zero(p, k_groups);
    group_yy = Eigen::VectorXd::Zero(k_groups);
    for (Eigen::Index i = 0; i < m; ++i) {
      if (!(s.ni(i) > 0.0)) continue;
      const Eigen::Index k = sizes.at(s.ni(i));
      group_count(k) += 1.0;
      group_XX.middleCols(k * p, p) += s.Xi_sum.row(i).transpose() * s.Xi_sum.row(i);
      group_Xy.col(k) += s.Xi_sum.row(i).transpose() * s.yi_sum(i);
      group_yy(k) += s.yi_sum(i) * s.yi_sum(i);
    }
  }
  internal::GroupedNestedErrorStats view() const {
    return {stats->XtX,  stats->Xty, stats->y_sq_sum, group_n,
            group_count, group_XX,   group_Xy,        group_yy};
  }
  const LmmSufficientStats* stats;
  Eigen::VectorXd group_n, group_count, group_yy;
  Eigen::MatrixXd group_XX, group_Xy;
};

struct CoreEvaluation {
  Dual2 neg2_loglik;
  Eigen::VectorXd beta;
  Eigen::MatrixXd xtvx;   // X'V^-1X without the raise (values)
  bool jittered = false;  // whether the solve needed the diagonal raise
};

CoreEvaluation core_evaluation(const Eigen::Vector2d& theta, const GroupedStats& g, Method method,
                               internal::NestedErrorWorkspace& ws) {
  CoreEvaluation out;
  out.neg2_loglik =
      internal::nested_error_objective(Dual2::variable(theta(0), 0), Dual2::variable(theta(1), 1),
                                       g.view(), method, kFitterGuards, ws);
  const Eigen::Index p = ws.a.size();
  out.beta.resize(p);
  out.xtvx.resize(p, p);
  for (Eigen::Index j = 0; j < p; ++j) {
    out.beta(j) = ws.z[static_cast<std::size_t>(j)].v;
    for (Eigen::Index i = j; i < p; ++i) {
      out.xtvx(i, j) = out.xtvx(j, i) = ws.a_unraised(i, j).v;
    }
  }
  out.jittered = ws.raised;
  return out;
}

CoreEvaluation core_evaluation(const Eigen::Vector2d& theta, const LmmSufficientStats& s,
                               Method method) {
  const GroupedStats g(s);
  internal::NestedErrorWorkspace ws(s.XtX.rows());
  return core_evaluation(theta, g, method, ws);
}

LmmObjective to_objective(const Dual2& d) {
  LmmObjective o;
  o.value = d.v;
  o.gradient << d.g0, d.g1;
  o.hessian << d.h00, d.h01, d.h01, d.h11;
  return o;
}

OptimizationResult fit_lmm_base(const Eigen::Vector2d& init_params,
                                const Eigen::Ref<const Eigen::MatrixXd>& X,
                                const Eigen::Ref<const Eigen::VectorXd>& y,
                                const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                Eigen::Index n_areas, const LmmFitOptions& options, Method method) {
  const LmmSufficientStats stats = compute_sufficient_stats(X, y, area_indices, n_areas);
  const GroupedStats grouped(stats);
  const Eigen::Index p = X.cols();
  internal::NestedErrorWorkspace ws(p);

  const ObjectiveWithGradient objective = [&](const Eigen::VectorXd& x, Eigen::VectorXd& grad) {
    const Dual2 d =
        internal::nested_error_objective(Dual2::variable(x(0), 0), Dual2::variable(x(1), 1),
                                         grouped.view(), method, kFitterGuards, ws);
    grad(0) = d.g0;
    grad(1) = d.g1;
    return d.v;
  };
  const BfgsResult r = minimize_bfgs(objective, Eigen::VectorXd(init_params),
                                     {.tol = options.tol, .max_iter = options.max_iter});

  const Eigen::Vector2d theta_hat(r.x(0), r.x(1));
  const CoreEvaluation at_hat = core_evaluation(theta_hat, grouped, method, ws);
  const LmmObjective obj = to_objective(at_hat.neg2_loglik);

  Eigen::Matrix2d cov = 1e-6 * Eigen::Matrix2d::Identity();
  const double det = obj.hessian.determinant();
  if (obj.hessian.allFinite() && std::isfinite(det) && det != 0.0) {
    const Eigen::Matrix2d inv = obj.hessian.inverse();
    if (inv.allFinite()) cov = inv;
  }

  OptimizationResult out;
  out.params.resize(p + 2);
  out.params.head(p) = at_hat.beta;
  out.params.tail(2) = theta_hat;
  out.hessian_inv = Eigen::MatrixXd::Zero(p + 2, p + 2);
  out.hessian_inv.bottomRightCorner(2, 2) = cov;
  out.fun = r.fun;
  out.success = r.success;
  out.message = r.status;
  return out;
}

}  // namespace

LmmSufficientStats compute_sufficient_stats(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                            const Eigen::Ref<const Eigen::VectorXd>& y,
                                            const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                            Eigen::Index n_areas) {
  const Eigen::Index n = X.rows();
  const Eigen::Index p = X.cols();
  if (y.size() != n || area_indices.size() != n) {
    throw std::invalid_argument(
        "compute_sufficient_stats: X, y and area_indices must have the same number of rows (" +
        std::to_string(n) + ", " + std::to_string(y.size()) + ", " +
        std::to_string(area_indices.size()) + ")");
  }
  if (n_areas < 0)
    throw std::invalid_argument("compute_sufficient_stats: n_areas must not be negative");

  LmmSufficientStats s;
  s.yi_sum = Eigen::VectorXd::Zero(n_areas);
  s.Xi_sum = Eigen::MatrixXd::Zero(n_areas, p);
  s.ni = Eigen::VectorXd::Zero(n_areas);
  for (Eigen::Index r = 0; r < n; ++r) {
    const int a = area_indices(r);
    if (a < 0 || a >= n_areas) {
      throw std::invalid_argument("compute_sufficient_stats: area index " + std::to_string(a) +
                                  " at row " + std::to_string(r) + " is outside 0.." +
                                  std::to_string(n_areas - 1));
    }
    s.yi_sum(a) += y(r);
    s.ni(a) += 1.0;
  }
  // Column by column keeps the per-area sums cache friendly for column-major X.
  for (Eigen::Index k = 0; k < p; ++k) {
    const auto col = X.col(k);
    auto out = s.Xi_sum.col(k);
    for (Eigen::Index r = 0; r < n; ++r) out(area_indices(r)) += col(r);
  }
  s.XtX = Eigen::MatrixXd::Zero(p, p);
  s.XtX.selfadjointView<Eigen::Lower>().rankUpdate(X.transpose());
  s.XtX = s.XtX.selfadjointView<Eigen::Lower>();
  s.Xty = X.transpose() * y;
  s.y_sq_sum = y.squaredNorm();
  return s;
}

LmmCoreResult lmm_core_calc(const Eigen::Ref<const Eigen::Vector2d>& params,
                            const LmmSufficientStats& stats, VarianceMethod m) {
  check_stats(stats, "lmm_core_calc");
  CoreEvaluation e = core_evaluation(params, stats, m);
  return {e.neg2_loglik.v, std::move(e.beta)};
}

double lmm_loss_reml(const Eigen::Ref<const Eigen::Vector2d>& params,
                     const LmmSufficientStats& stats) {
  check_stats(stats, "lmm_loss_reml");
  return core_evaluation(params, stats, Method::REML).neg2_loglik.v;
}

double lmm_loss_ml(const Eigen::Ref<const Eigen::Vector2d>& params,
                   const LmmSufficientStats& stats) {
  check_stats(stats, "lmm_loss_ml");
  return core_evaluation(params, stats, Method::ML).neg2_loglik.v;
}

LmmObjective lmm_loss_derivatives(const Eigen::Ref<const Eigen::Vector2d>& params,
                                  const LmmSufficientStats& stats, VarianceMethod m) {
  check_stats(stats, "lmm_loss_derivatives");
  return to_objective(core_evaluation(params, stats, m).neg2_loglik);
}

LmmStats evaluate_lmm_stats(const Eigen::Ref<const Eigen::Vector2d>& params,
                            const Eigen::Ref<const Eigen::MatrixXd>& X,
                            const Eigen::Ref<const Eigen::VectorXd>& y,
                            const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                            Eigen::Index n_areas, VarianceMethod m) {
  const LmmSufficientStats stats = compute_sufficient_stats(X, y, area_indices, n_areas);
  CoreEvaluation e = core_evaluation(params, stats, m);
  const Eigen::Index p = X.cols();
  Eigen::MatrixXd jittered = e.xtvx;
  for (Eigen::Index k = 0; k < p; ++k) {
    if (jittered(k, k) == 0.0) jittered(k, k) = 1.0;  // an all-zero column
    if (e.jittered) jittered(k, k) *= 1.0 + internal::kRelativeRaise;
  }
  Eigen::MatrixXd cov;
  const Eigen::LLT<Eigen::MatrixXd> llt(jittered);
  if (llt.info() == Eigen::Success) {
    cov = llt.solve(Eigen::MatrixXd::Identity(p, p));
  } else {
    cov = jittered.fullPivLu().inverse();
  }
  return {e.neg2_loglik.v, std::move(e.beta), std::move(cov)};
}

OptimizationResult fit_lmm_reml(const Eigen::Ref<const Eigen::Vector2d>& init_params,
                                const Eigen::Ref<const Eigen::MatrixXd>& X,
                                const Eigen::Ref<const Eigen::VectorXd>& y,
                                const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                                Eigen::Index n_areas, const LmmFitOptions& options) {
  return fit_lmm_base(init_params, X, y, area_indices, n_areas, options, Method::REML);
}

OptimizationResult fit_lmm_ml(const Eigen::Ref<const Eigen::Vector2d>& init_params,
                              const Eigen::Ref<const Eigen::MatrixXd>& X,
                              const Eigen::Ref<const Eigen::VectorXd>& y,
                              const Eigen::Ref<const Eigen::VectorXi>& area_indices,
                              Eigen::Index n_areas, const LmmFitOptions& options) {
  return fit_lmm_base(init_params, X, y, area_indices, n_areas, options, Method::ML);
}

}  // namespace kelp_sae::kernels
