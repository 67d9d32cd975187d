// The nested-error (REML or ML) objective from size-grouped sufficient
// statistics, over Dual2 in theta = (log sigma_e, log sigma_u): value,
// gradient and Hessian in one pass. Shared by the BFGS fitter (lmm.cc) and
// the batched Newton refit (lmm_newton.cc); they differ only in the guards
// passed as NestedErrorGuards.
//
// Areas with units are grouped by size n_k (count_k areas each); with
// ve = sigma_e^2, lambda = sigma_u^2 / ve and
//   w_k = lambda / (1 + n_k lambda + factor_floor / ve^2)
// (V_i^-1 = (I - w_k J) / ve for an area of group k; factor_floor = 0 gives
// the exact inverse),
//   A       = (X'X - sum_k w_k S_k) / ve + ridge I,  S_k = sum_{i in k} xs_i xs_i'
//   X'V^-1y = (X'y - sum_k w_k s_k) / ve,            s_k = sum_{i in k} xs_i ys_i
//   y'V^-1y = (y'y - sum_k w_k q_k) / ve,            q_k = sum_{i in k} ys_i^2
//   log|V|  = N log ve + sum_k count_k log(1 + n_k lambda)
//   beta    = A^-1 X'V^-1y,  y'Py = y'V^-1y - (X'V^-1y)' beta
//   value   = log|V| + y'Py (+ log|A| for REML)   (-2 log L without constants)
// For lambda > 1 the weights and log terms are written in 1 / lambda, so a
// variance ratio as large as exp(800) neither overflows nor loses digits.
//
// With relative_pivot_guard, A is used as it is only when every Cholesky pivot
// keeps at least 1e-10 of its diagonal entry; otherwise its diagonal is raised
// by 1e-8 times itself (beta solves the raised system, y'Py still uses A). An
// all-zero diagonal entry of A is set to 1 (coefficient 0, no contribution).
// Without the guard a failed factorisation gives NaN.
//
// The workspace is sized once for p; evaluating allocates nothing.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <vector>

#include "kelp_sae/core/variance_method.h"
#include "kelp_sae/kernels/optimization/internal/dual_linalg.h"

namespace kelp_sae::kernels::internal {

// Size-grouped statistics of one response (non-owning; K groups, p columns).
struct GroupedNestedErrorStats {
  const Eigen::MatrixXd& XtX;          // p x p
  const Eigen::VectorXd& Xty;          // p
  double yy;                           // sum of y^2
  const Eigen::VectorXd& group_n;      // K: area size of each group (positive)
  const Eigen::VectorXd& group_count;  // K: areas in each group
  const Eigen::MatrixXd& group_XX;     // p x (K p): block k = S_k
  const Eigen::MatrixXd& group_Xy;     // p x K: column k = s_k
  const Eigen::VectorXd& group_yy;     // K: q_k
};

// The relative pivot guard: a pivot below kPivotFloor times its diagonal
// entry raises the diagonal by kRelativeRaise times itself.
inline constexpr double kPivotFloor = 1e-10;
inline constexpr double kRelativeRaise = 1e-8;

// The regularisation each caller states (see the banner).
struct NestedErrorGuards {
  double factor_floor = 0.0;          // absolute, added to ve (ve + n vu)
  double ridge = 0.0;                 // absolute, added to the diagonal of A
  bool relative_pivot_guard = false;  // relative diagonal raise on a tiny pivot
};

struct NestedErrorWorkspace {
  explicit NestedErrorWorkspace(Eigen::Index p)
      : a(p), b(static_cast<std::size_t>(p)), z(static_cast<std::size_t>(p)) {}
  DualMatrix a;           // A, then its Cholesky factor
  DualMatrix a_unraised;  // A before any diagonal raise (relative_pivot_guard only; sized on
                          // first use)
  std::vector<Dual2> b;   // X'V^-1y
  std::vector<Dual2> z;   // beta
  bool raised = false;    // whether the last evaluation raised the diagonal
};

// -2 log L (no constants) at (t0, t1) = (log sigma_e, log sigma_u), given as
// Dual2 so that a caller can hold either fixed. ws.z receives beta.
inline Dual2 nested_error_objective(const Dual2& t0, const Dual2& t1,
                                    const GroupedNestedErrorStats& s, VarianceMethod method,
                                    const NestedErrorGuards& guards, NestedErrorWorkspace& ws) {
  const Eigen::Index p = s.XtX.rows();
  const Eigen::Index k_groups = s.group_n.size();
  const Dual2 phi = 2.0 * (t1 - t0);  // log lambda
  const bool large = phi.v > 0.0;
  // lambda (small) or 1 / lambda (large), never above 1.
  const Dual2 r = exp(large ? -phi : phi);
  const Dual2 inv_ve = exp(-2.0 * t0);
  // factor_floor / ve^2, times 1 / lambda when large.
  Dual2 floor_term;
  if (guards.factor_floor != 0.0)
    floor_term = guards.factor_floor * (large ? exp(-2.0 * (t0 + t1)) : inv_ve * inv_ve);

  DualMatrix& a = ws.a;
  std::vector<Dual2>& b = ws.b;
  // The sums are formed as (X'X - sum_k w_k S_k) and scaled by 1 / ve last:
  // the cancellation then happens in derivatives with respect to lambda only,
  // which keeps the gradient accurate where X'X / ve is large.
  for (Eigen::Index j = 0; j < p; ++j) {
    for (Eigen::Index i = j; i < p; ++i) a(i, j) = Dual2::constant(s.XtX(i, j));
    b[static_cast<std::size_t>(j)] = Dual2::constant(s.Xty(j));
  }
  Dual2 q = Dual2::constant(s.yy);
  Dual2 log_d;  // sum_k count_k log(1 + n_k lambda)
  double n_total = 0.0;
  for (Eigen::Index k = 0; k < k_groups; ++k) {
    const double n = s.group_n(k);
    const double count = s.group_count(k);
    n_total += count * n;
    Dual2 w;
    if (large) {  // d / lambda = mu + n: w = 1 / (mu + n + floor mu / ve^2), log d = phi + log(mu +
                  // n)
      const Dual2 d = r + n;
      w = reciprocal(d + floor_term);
      log_d.add_scaled(count, phi + log(d));
    } else {  // d = 1 + n lambda: w = lambda / (d + floor / ve^2)
      const Dual2 d = n * r + 1.0;
      w = r * reciprocal(d + floor_term);
      log_d.add_scaled(count, log(d));
    }
    const auto block = s.group_XX.middleCols(k * p, p);
    for (Eigen::Index j = 0; j < p; ++j) {
      for (Eigen::Index i = j; i < p; ++i) a(i, j).add_scaled(-block(i, j), w);
      b[static_cast<std::size_t>(j)].add_scaled(-s.group_Xy(j, k), w);
    }
    q.add_scaled(-s.group_yy(k), w);
  }
  for (Eigen::Index j = 0; j < p; ++j) {
    for (Eigen::Index i = j; i < p; ++i) a(i, j) = a(i, j) * inv_ve;
    a(j, j) += Dual2::constant(guards.ridge);
    b[static_cast<std::size_t>(j)] = b[static_cast<std::size_t>(j)] * inv_ve;
  }
  q = q * inv_ve;

  for (Eigen::Index k = 0; k < p; ++k) {
    if (a(k, k).v == 0.0) a(k, k) = Dual2::constant(1.0);  // an all-zero column
  }
  ws.raised = false;
  if (guards.relative_pivot_guard) {
    ws.a_unraised = a;
    bool ok = cholesky_in_place(a);
    for (Eigen::Index k = 0; ok && k < p; ++k)
      ok = a(k, k).v * a(k, k).v >= kPivotFloor * ws.a_unraised(k, k).v;
    if (!ok) {
      a = ws.a_unraised;
      for (Eigen::Index k = 0; k < p; ++k) a(k, k).add_scaled(kRelativeRaise, ws.a_unraised(k, k));
      ws.raised = true;
    }
  }
  std::vector<Dual2>& z = ws.z;
  if ((!guards.relative_pivot_guard || ws.raised) && !cholesky_in_place(a)) {
    std::fill(z.begin(), z.end(), dual_nan());
    return dual_nan();
  }
  z = b;
  cholesky_solve_in_place(a, z);
  Dual2 ypy = q;
  if (!ws.raised) {
    for (Eigen::Index i = 0; i < p; ++i)
      ypy -= b[static_cast<std::size_t>(i)] * z[static_cast<std::size_t>(i)];
  } else {  // beta solves the raised system; the residual uses A itself
    for (Eigen::Index i = 0; i < p; ++i) {
      const Dual2& zi = z[static_cast<std::size_t>(i)];
      ypy -= 2.0 * (zi * b[static_cast<std::size_t>(i)]);
      ypy += zi * zi * ws.a_unraised(i, i);
      for (Eigen::Index j = 0; j < i; ++j)
        ypy += 2.0 * (zi * z[static_cast<std::size_t>(j)] * ws.a_unraised(i, j));
    }
  }
  Dual2 value = (2.0 * n_total) * t0 + log_d + ypy;
  if (method == VarianceMethod::REML) value += log_det_from_cholesky(a);
  return value;
}

}  // namespace kelp_sae::kernels::internal
