// Parametric bootstrap MSE of the nested-error EBLUP of area means.
//
// From the fitted model (beta_hat, sigma_u, sigma_e) each replicate draws
// area effects u* for the M population areas and unit errors e for the sample
// units, builds the replicate sample y = x' beta_hat + u*_area + e and the
// replicate true area means, refits the model by REML (8 damped Newton steps
// from (-0.5, -0.5) on the replicate's standardised response, see
// lmm_newton.h), recomputes the EBLUPs and records the squared errors. The MSE
// is the mean over the R replicates (Gonzalez-Manteiga et al. 2008).
//
// True means: with sizes unknown (every N_i <= 1) theta* = X_pop_means beta_hat
// + u*; otherwise the finite-population mean
//   theta* = X_pop_means beta_hat + u* + f ebar_smp + (1 - f) ebar_rest,
// f = n_i / max(N_i, 1), ebar_smp the mean of the area's sampled errors and
// ebar_rest ~ N(0, sigma_e^2 / (N_i - n_i)) the mean of the unsampled ones (0
// when N_i <= n_i).
//
// Random draws. rng_key is split into 3R keys (R at most 2^32 / 3); replicate r owns keys 3r,
// 3r+1, 3r+2 (area effects, unit errors, reserved). u*_a is normal draw a of
// the first key; the error key splits (split2) into k_e_smp and k_e_rest; the
// error of the sample unit in row j of sample.X is normal draw j of k_e_smp,
// and the out-of-sample error mean of population area a is normal draw a of
// k_e_rest. Every draw thus depends only on the keys and the unit's or area's
// position.
//
// Batches. Replicates run in batches of batch_size; the replicates of a batch
// share the Newton step size, so results depend on batch_size. When R is not
// a multiple of batch_size the last batch is filled with replicates on
// all-zero keys, which take part in the batch's refit but whose squared
// errors are left out. Replicates and batches are computed in parallel
// (OpenMP) with per-thread workspaces allocated once per call; each replicate
// writes its own row of squared errors and rows are summed in replicate
// order, so the result is bit-identical for any number of threads. Keys are
// derived chunk by chunk, so memory grows with batch_size, not with R; a
// batch whose replicate states exceed half the machine's memory is refused.
// Progress: on_progress(i, n) after the squared errors of batch i of n are
// added (nothing prints). An exception from a replicate or from on_progress
// propagates.
//
//   Eigen::VectorXd mse = mse_bootstrap_bhf(key, 200, sample, X_pop_means, N_i, idx,
//                                           beta_hat, sigma_u, sigma_e, {.batch_size = 10});
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <span>

#include "kelp_sae/core/progress_callback.h"
#include "kelp_sae/core/replicate_share.h"
#include "kelp_sae/kernels/sample_design.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae::kernels {

struct BootstrapBhfOptions {
  std::int64_t batch_size = 1;             // replicates per batch (>= 1)
  ProgressCallback on_progress = nullptr;  // after each finished batch
  // Processes sharing the batches (null: this process runs them all); the
  // rows it combines are the replicates' squared errors.
  ReplicateShare* share = nullptr;
};

// rng_key: key of the run; n_reps: 1 <= R <= 2^32 / 3; sample: the V sampled areas that
// occur in the population, column 0 of sample.X the constant 1, covariates in
// the columns of X_pop_means; X_pop_means (M x p): population covariate means;
// N_i (M): population sizes (all <= 1: unknown); smp_area_idx_in_pop (V):
// distinct population positions of the sample areas; beta_hat (p), sigma_u,
// sigma_e: the fitted model on the response scale.
// Returns the M-vector of bootstrap MSEs. Throws std::invalid_argument naming
// the problem for n_reps out of range, batch_size below 1 or too large for
// memory, mismatched shapes, an area
// position out of range or repeated, a design without the constant column, or
// a sample without units.
Eigen::VectorXd mse_bootstrap_bhf(random::Key rng_key, std::int64_t n_reps,
                                  const SampleDesign& sample,
                                  const Eigen::Ref<const Eigen::MatrixXd>& X_pop_means,
                                  const Eigen::Ref<const Eigen::VectorXd>& N_i,
                                  const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
                                  const Eigen::Ref<const Eigen::VectorXd>& beta_hat, double sigma_u,
                                  double sigma_e, const BootstrapBhfOptions& options = {});

// One batch of replicates on explicit keys, as the driver runs it: keys holds
// three keys per replicate (replicate b owns keys 3b, 3b+1, 3b+2; all-zero
// keys for padding replicates), the replicates share the Newton step size.
// Returns the true means and the EBLUPs per replicate (B x M each); the
// driver adds (eblup - truth)^2 of the real replicates. Same preconditions
// and errors as mse_bootstrap_bhf.
struct BhfBatchResult {
  Eigen::MatrixXd truth;  // B x M
  Eigen::MatrixXd eblup;  // B x M
};
BhfBatchResult run_bootstrap_bhf_batch(std::span<const random::Key> keys,
                                       const SampleDesign& sample,
                                       const Eigen::Ref<const Eigen::MatrixXd>& X_pop_means,
                                       const Eigen::Ref<const Eigen::VectorXd>& N_i,
                                       const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
                                       const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
                                       double sigma_u, double sigma_e);

}  // namespace kelp_sae::kernels
