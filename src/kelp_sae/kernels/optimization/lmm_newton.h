// Batched damped-Newton REML refits of the nested-error model for bootstraps.
//
// Every replicate of a bootstrap shares the sample design; only the response
// changes. The design statistics are formed once (precompute_design_stats),
// areas grouped by sample size: the REML objective depends on an area only
// through its size n_i and its sums, so an iteration costs O(K p^2 + p^3)
// with K the number of distinct area sizes, whatever the number of units.
//
// Objective per replicate, theta = (log sigma_e, log sigma_u), each clipped to
// [-10, 10] (the derivative is 0 outside), ve = sigma_e^2, vu = sigma_u^2:
//   factor_i = vu / (ve (ve + n_i vu) + 1e-10)        (V_i^-1 = I / ve - factor_i J)
//   X'V^-1X  = Xt_X / ve - sum_i factor_i sum_X_i sum_X_i' + 1e-6 I
//   X'V^-1y  = Xt_y / ve - sum_i factor_i sum_X_i sum_y_i
//   log|V|   = sum_{i: n_i > 0} (n_i - 1) log ve + log(ve + n_i vu)
//   y'Py     = yy / ve - sum_i factor_i sum_y_i^2 - (X'V^-1y)'(X'V^-1X)^-1 (X'V^-1y)
//   f(theta) = 0.5 (log|V| + log|X'V^-1X| + y'Py)
// This is the fitter's REML objective (halved) with two absolute guards that
// suit a replicate on a standardised response, the 1e-10 floor and the 1e-6
// ridge; both are evaluated by internal/nested_error_objective.h.
// Newton step: delta = (H + 0.001 I)^-1 g with the exact gradient g and
// Hessian H of f; the step size s = min(1, 1 / (max |delta| + 1e-6)) is shared
// by all replicates of a batch (the maximum over every component of every
// replicate), theta <- theta - s delta; exactly max_iter steps, no
// convergence test. Finally sigma_e = exp(theta_0), sigma_u = exp(theta_1)
// and beta = (X'V^-1X)^-1 X'V^-1y at the final theta.
//
//   DesignStats d = precompute_design_stats(sample);
//   NewtonBatchFit fit = fit_lmm_reml_newton_batched(init, Xt_y, d, sum_y, yy);
//
// Replicates are processed in parallel (OpenMP); the shared step size is
// reduced serially, so results do not depend on the number of threads. No
// memory is allocated per Newton iteration.
#pragma once

#include <Eigen/Core>
#include <span>
#include <vector>

#include "kelp_sae/kernels/optimization/lmm.h"
#include "kelp_sae/kernels/sample_design.h"

namespace kelp_sae::kernels {

// Constant statistics of a sample design (V areas, p columns).
struct DesignStats {
  Eigen::MatrixXd Xt_X;   // p x p: sum over units of x x'
  Eigen::MatrixXd sum_X;  // V x p: per-area sums of x
  Eigen::VectorXd n_i;    // V: per-area unit counts
  // Areas with at least one unit grouped by size.
  Eigen::VectorXd group_n;      // K: distinct positive sizes, ascending
  Eigen::VectorXd group_count;  // K: number of areas of each size
  std::vector<int> area_group;  // V: group of each area, -1 for an area without units
  Eigen::MatrixXd group_XX;     // p x (K p): block k = sum over group k of sum_X_i sum_X_i'
};

DesignStats precompute_design_stats(const SampleDesign& sample);

// One replicate's response statistics in the grouped form used by the Newton
// objective. Sized by group_replicate_stats; reusing an object allocates
// nothing.
struct NewtonReplicateStats {
  Eigen::VectorXd Xt_y;      // p: sum over units of x y
  double yy = 0.0;           // sum over units of y^2
  Eigen::VectorXd group_yy;  // K: sum over group k of sum_y_i^2
  Eigen::MatrixXd group_Xy;  // p x K: sum over group k of sum_X_i sum_y_i
};

// Groups a replicate's per-area response sums sum_y (V) with its Xt_y (p)
// and yy into `out`.
void group_replicate_stats(const DesignStats& design, const Eigen::Ref<const Eigen::VectorXd>& Xt_y,
                           const Eigen::Ref<const Eigen::VectorXd>& sum_y, double yy,
                           NewtonReplicateStats& out);

// Standardises a replicate's response over the sample units in place,
// y <- (y - mean) * scale, and groups its statistics into `out`. sum_y (V)
// and Xt_y (p) are workspace; nothing is allocated when `out` is sized.
void standardize_replicate_stats(const SampleDesign& sample, const DesignStats& design, double mean,
                                 double scale, Eigen::Ref<Eigen::VectorXd> y,
                                 Eigen::Ref<Eigen::VectorXd> sum_y,
                                 Eigen::Ref<Eigen::VectorXd> Xt_y, NewtonReplicateStats& out);

// f(theta) with its exact gradient and Hessian (see above).
LmmObjective newton_reml_objective(const Eigen::Ref<const Eigen::Vector2d>& theta,
                                   const DesignStats& design, const NewtonReplicateStats& rep);

// beta = (X'V^-1X)^-1 X'V^-1y at theta (clipped as above).
Eigen::VectorXd newton_reml_beta(const Eigen::Ref<const Eigen::Vector2d>& theta,
                                 const DesignStats& design, const NewtonReplicateStats& rep);

// Runs max_iter Newton steps on the R replicates `reps`, which form
// consecutive batches of batch_size replicates (the last batch may be
// shorter); replicates of a batch share one step size. theta (R x 2) holds the
// start values and receives the final ones.
void newton_reml_iterate(const DesignStats& design, std::span<const NewtonReplicateStats> reps,
                         Eigen::Ref<Eigen::MatrixXd> theta, Eigen::Index batch_size, int max_iter);

struct NewtonFitOptions {
  int max_iter = 8;
};

struct NewtonBatchFit {
  Eigen::MatrixXd beta;     // B x p
  Eigen::VectorXd sigma_e;  // B
  Eigen::VectorXd sigma_u;  // B
};

// Refits one batch of B replicates: init_params (B x 2, log sigma_e and
// log sigma_u), Xt_y (B x p), sum_y (B x V, per-area sums of each replicate's
// response), yy (B, each replicate's sum of squared responses).
NewtonBatchFit fit_lmm_reml_newton_batched(const Eigen::Ref<const Eigen::MatrixXd>& init_params,
                                           const Eigen::Ref<const Eigen::MatrixXd>& Xt_y,
                                           const DesignStats& design,
                                           const Eigen::Ref<const Eigen::MatrixXd>& sum_y,
                                           const Eigen::Ref<const Eigen::VectorXd>& yy,
                                           const NewtonFitOptions& options = {});

}  // namespace kelp_sae::kernels
