#include "kelp_sae/kernels/optimization/lmm.h"

#include <Eigen/Cholesky>
#include <Eigen/LU>
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp_sae/kernels/optimization/bfgs.h"
#include "kelp_sae/kernels/optimization/internal/dual_linalg.h"

namespace kelp_sae::kernels {
namespace {

using internal::Dual2;
using internal::DualMatrix;

// X'V^-1X is factorised as it is when every Cholesky pivot keeps at least
// kPivotFloor of its diagonal entry; otherwise (a column nearly or exactly in
// the span of the others) the diagonal is raised by kRelativeJitter times
// itself. Both are relative, so beta scales with the response. A column that
// is all zero gets the diagonal entry 1: its coefficient is 0 and it adds
// nothing to the likelihood.
constexpr double kPivotFloor = 1e-10;
constexpr double kRelativeJitter = 1e-8;

// True when the factor L of `a` (from cholesky_in_place) has no pivot below
// kPivotFloor times the original diagonal.
bool well_conditioned(const DualMatrix& l, const DualMatrix& a) {
  for (std::ptrdiff_t k = 0; k < a.size(); ++k) {
    if (!(l(k, k).v * l(k, k).v >= kPivotFloor * a(k, k).v)) return false;
  }
  return true;
}

using Method = VarianceMethod;

void check_stats(const LmmSufficientStats& s, const char* function) {
  const Eigen::Index m = s.ni.size();
  const Eigen::Index p = s.XtX.rows();
  if (s.yi_sum.size() != m || s.Xi_sum.rows() != m || s.Xi_sum.cols() != p || s.XtX.cols() != p ||
      s.Xty.size() != p) {
    throw std::invalid_argument(std::string(function) +
                                ": sufficient statistics have inconsistent shapes");
  }
}

// A function f(phi) of phi = 2 (theta_1 - theta_0) = log lambda, given f,
// df/dphi and d2f/dphi2, as a Dual2 in theta.
Dual2 dual_of_log_lambda(double f, double f1, double f2) {
  return {f, -2.0 * f1, 2.0 * f1, 4.0 * f2, -4.0 * f2, 4.0 * f2};
}

struct CoreEvaluation {
  Dual2 neg2_loglik;
  Eigen::VectorXd beta;
  Eigen::MatrixXd xtvx;   // X'V^-1X without jitter (values)
  bool jittered = false;  // whether the solve needed the diagonal raise
};

// -2 log L over Dual2 in theta. The per-area weights depend on theta only
// through lambda, so the O(m p^2) part reduces to three weighted sums (with
// w, dw/dphi, d2w/dphi2) and the rest is O(p^3) Dual2 algebra.
CoreEvaluation core_evaluation(const Eigen::Vector2d& theta, const LmmSufficientStats& s,
                               Method method) {
  const Eigen::Index m = s.ni.size();
  const Eigen::Index p = s.XtX.rows();
  const double phi = 2.0 * (theta(1) - theta(0));
  const double lambda = std::exp(phi);

  Eigen::VectorXd w(m), w1(m), w2(m);
  double logd = 0.0, logd1 = 0.0, logd2 = 0.0;
  // w = lambda / d, dw/dphi = lambda / d^2, d2w/dphi2 = lambda (1 - n lambda) / d^3;
  // for lambda > 1 written in mu = 1 / lambda so that nothing overflows.
  const bool large = lambda > 1.0;
  const double mu = 1.0 / lambda;
  for (Eigen::Index i = 0; i < m; ++i) {
    const double n = s.ni(i);
    if (n == 0.0) {  // an area without units contributes nothing
      w(i) = w1(i) = w2(i) = 0.0;
      continue;
    }
    if (large) {
      const double wi = 1.0 / (mu + n);
      w(i) = wi;
      w1(i) = mu * wi * wi;
      w2(i) = mu * (mu - n) * wi * wi * wi;
    } else {
      const double d = 1.0 + n * lambda;
      w(i) = lambda / d;
      w1(i) = lambda / (d * d);
      w2(i) = lambda * (1.0 - n * lambda) / (d * d * d);
    }
    // log d_i and its derivatives n w_i and n dw_i/dphi.
    logd += large ? std::log(n) + phi + std::log1p(mu / n) : std::log1p(n * lambda);
    logd1 += n * w(i);
    logd2 += n * w1(i);
  }

  // Weighted sums over areas: sum_i w_i xs_i xs_i', sum_i w_i xs_i ys_i,
  // sum_i w_i ys_i^2, for each of the three weight vectors.
  const Eigen::MatrixXd sxx0 = s.Xi_sum.transpose() * (w.asDiagonal() * s.Xi_sum);
  const Eigen::MatrixXd sxx1 = s.Xi_sum.transpose() * (w1.asDiagonal() * s.Xi_sum);
  const Eigen::MatrixXd sxx2 = s.Xi_sum.transpose() * (w2.asDiagonal() * s.Xi_sum);
  const Eigen::VectorXd wy0 = w.cwiseProduct(s.yi_sum);
  const Eigen::VectorXd wy1 = w1.cwiseProduct(s.yi_sum);
  const Eigen::VectorXd wy2 = w2.cwiseProduct(s.yi_sum);
  const Eigen::VectorXd sxy0 = s.Xi_sum.transpose() * wy0;
  const Eigen::VectorXd sxy1 = s.Xi_sum.transpose() * wy1;
  const Eigen::VectorXd sxy2 = s.Xi_sum.transpose() * wy2;

  // 1 / sigma_e^2 = exp(-2 theta_0).
  const Dual2 inv_se2 = internal::exp(-2.0 * Dual2::variable(theta(0), 0));

  DualMatrix a(p);  // X'V^-1X, then its jittered Cholesky factor
  std::vector<Dual2> b(static_cast<std::size_t>(p));
  std::vector<Dual2> xtvy(static_cast<std::size_t>(p));
  Eigen::MatrixXd xtvx(p, p);
  for (Eigen::Index j = 0; j < p; ++j) {
    for (Eigen::Index i = j; i < p; ++i) {
      const Dual2 c =
          Dual2::constant(s.XtX(i, j)) - dual_of_log_lambda(sxx0(i, j), sxx1(i, j), sxx2(i, j));
      a(i, j) = c * inv_se2;
      xtvx(i, j) = a(i, j).v;
      xtvx(j, i) = a(i, j).v;
    }
    xtvy[static_cast<std::size_t>(j)] =
        (Dual2::constant(s.Xty(j)) - dual_of_log_lambda(sxy0(j), sxy1(j), sxy2(j))) * inv_se2;
  }
  const Dual2 yvy = (Dual2::constant(s.y_sq_sum) -
                     dual_of_log_lambda(s.yi_sum.dot(wy0), s.yi_sum.dot(wy1), s.yi_sum.dot(wy2))) *
                    inv_se2;

  for (Eigen::Index k = 0; k < p; ++k) {
    if (a(k, k).v == 0.0) a(k, k) = Dual2::constant(1.0);  // an all-zero column
  }
  // beta' A beta needs the unjittered A after `a` is overwritten by L.
  const DualMatrix a_copy = a;
  CoreEvaluation out;
  out.xtvx = xtvx;
  out.beta = Eigen::VectorXd::Constant(p, std::nan(""));
  if (!internal::cholesky_in_place(a) || !well_conditioned(a, a_copy)) {
    a = a_copy;
    for (Eigen::Index k = 0; k < p; ++k) a(k, k) += kRelativeJitter * a_copy(k, k);
    out.jittered = true;
  }
  if (out.jittered && !internal::cholesky_in_place(a)) {
    out.neg2_loglik = internal::dual_nan();
    return out;
  }
  b = xtvy;
  internal::cholesky_solve_in_place(a, b);  // b = beta_hat

  // rss = y'V^-1y - 2 beta'X'V^-1y + beta'X'V^-1X beta.
  Dual2 rss = yvy;
  for (Eigen::Index i = 0; i < p; ++i) {
    const Dual2& bi = b[static_cast<std::size_t>(i)];
    rss -= 2.0 * (bi * xtvy[static_cast<std::size_t>(i)]);
    rss += bi * bi * a_copy(i, i);
    for (Eigen::Index j = 0; j < i; ++j)
      rss += 2.0 * (bi * b[static_cast<std::size_t>(j)] * a_copy(i, j));
  }

  const double n_total = s.ni.sum();
  Dual2 neg2 =
      2.0 * n_total * Dual2::variable(theta(0), 0) + dual_of_log_lambda(logd, logd1, logd2) + rss;
  if (method == Method::REML) neg2 += internal::log_det_from_cholesky(a);
  out.neg2_loglik = neg2;
  for (Eigen::Index i = 0; i < p; ++i) out.beta(i) = b[static_cast<std::size_t>(i)].v;
  return out;
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
  const Eigen::Index p = X.cols();

  const ObjectiveWithGradient objective = [&](const Eigen::VectorXd& x, Eigen::VectorXd& grad) {
    const Dual2 d = core_evaluation(Eigen::Vector2d(x(0), x(1)), stats, method).neg2_loglik;
    grad(0) = d.g0;
    grad(1) = d.g1;
    return d.v;
  };
  const BfgsResult r = minimize_bfgs(objective, Eigen::VectorXd(init_params),
                                     {.tol = options.tol, .max_iter = options.max_iter});

  const Eigen::Vector2d theta_hat(r.x(0), r.x(1));
  const CoreEvaluation at_hat = core_evaluation(theta_hat, stats, method);
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
    if (e.jittered) jittered(k, k) *= 1.0 + kRelativeJitter;
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
