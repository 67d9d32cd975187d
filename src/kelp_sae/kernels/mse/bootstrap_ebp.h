// Parametric bootstrap MSE of the EBP of area indicators (Molina and Rao
// 2010, sec. 4), under the nested-error model fitted on the transformed scale.
//
// Each replicate draws area effects u*_a ~ N(0, sigma_u^2) for the M census
// areas and for the sampled areas absent from the census, a bootstrap census
// y_pop = x' beta_hat + u*_a + e and, sharing u*, a bootstrap sample
// y_smp = x' beta_hat + u*_a + e' of every sampled area with its own errors
// (the sample units are not a subset of the census). It refits beta,
// sigma_u, sigma_e on the whole standardised bootstrap sample, as the point
// fit does (mean_b and sd_b, the standard deviation with divisor n by two
// passes; a constant sample is only centred; y_s = (y - mean_b) / sd_b), by
// 8 batched Newton REML steps from (-0.5, -0.5) (lmm_newton.h), returns to
// the data scale (sigma * sd_b, beta * sd_b and mean_b added to the
// intercept), predicts u_hat_a = gamma_a mean_a(y - x'beta) with
// gamma_a = sigma_u^2 / (sigma_u^2 + sigma_e^2 / max(n_a, 1)) for the census
// areas (0 for areas without sample), recomputes the EBP by Monte Carlo
// (ebp_monte_carlo.h) and compares it with the indicators of the bootstrap
// census on the data scale; the true census is drawn with the fitted
// sigma_e, never the refitted one. Sampled areas absent from the census take
// part in the refit only. MSE = mean over replicates of the squared
// differences. The transformation (and its lambda) is held fixed.
//
// Benchmarking (options.benchmark, benchmarking.h). The point estimate of a
// benchmarked indicator is brought to a national target, so its MSE is that
// of the benchmarked estimator: within every replicate the area EBPs of the
// indicator are benchmarked (ratio or raking) to the replicate's own national
// true value, the population-weighted average sum N_a truth_a / sum N_a of
// its true area values (the indicator of the whole bootstrap census), and its
// group EBPs recomputed from the benchmarked areas, before the squared errors.
// A replicate whose EBPs cannot be benchmarked (a ratio to a national average
// of 0, or a value that is not finite) counts as failed: that indicator's
// squared errors are NaN.
//
// Random draws. rng_key is split into 3 n_reps keys; replicate r owns keys
// 3r, 3r+1, 3r+2: k_u, k_e and k_s (the Monte Carlo of its EBP).
//   - Census area a takes u*_a = sigma_u * normal draw a of k_u; sample area
//     v absent from the census takes sigma_u * normal draw v of
//     fold_in(k_u, 1).
//   - Census unit j of area a takes normal draw offsets[a] + j of k_e (its
//     census row), so no two census units share a draw.
//   - Sample unit i (row i of sample.X) takes normal draw i of
//     fold_in(k_e, 1), never a census unit's draw.
//
// Batches. Replicates are refitted in batches of batch_size that share the
// Newton step size (so results depend on batch_size through the refit only).
// The last batch is filled up with replicates on all-zero keys, which take
// part in the refit and are otherwise left out. Squared errors are summed in
// replicate order and every parallel step (OpenMP) has a fixed reduction
// order, so results are bit-identical for any number of threads. Memory
// grows with the census and the batch, not with n_reps or n_mc: each batch
// derives its own keys. Replicates (or whole batches) are simulated in
// parallel, one per thread, and their squared errors held (up to 32 MiB) to
// be summed in order. The kernel never prints: it reports each finished batch
// through on_progress, from the calling thread and in order.
//
//   EbpBootstrapResult r = mse_bootstrap_ebp(key, 100, 50, sample, census, idx, beta_hat,
//                                            sigma_u, sigma_e, scale, indicators,
//                                            {.batch_size = 10});
#pragma once

#include <Eigen/Core>
#include <span>
#include <vector>

#include "kelp_sae/core/progress_callback.h"
#include "kelp_sae/core/replicate_share.h"
#include "kelp_sae/kernels/sample_design.h"
#include "kelp_sae/kernels/simulations/benchmarking.h"
#include "kelp_sae/kernels/simulations/ebp_monte_carlo.h"
#include "kelp_sae/kernels/simulations/indicators.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae::kernels {

struct BootstrapEbpOptions {
  int batch_size = 1;            // replicates per Newton batch (>= 1)
  ProgressCallback on_progress;  // called after each batch with (done, n_batches)
  // Processes sharing the batches (null: this process runs them all); the
  // rows it combines are the replicates' squared errors (K x M, column-major).
  ReplicateShare* share = nullptr;
  // Survey design weights of the sample units (n, in the row order of the
  // sample design), or empty. With them each replicate's refit is the
  // pseudo-EBLUP (pseudo_eblup.h): the Newton REML variance components, then
  // You and Rao's beta and the area effects shrunk by gamma_aw, the weights
  // carried onto the replicate's sample.
  std::span<const double> sample_weights = {};
  // Higher levels (ebp_monte_carlo.h): each replicate's true value of a
  // group is that of its pooled bootstrap census, its EBP from the same Monte
  // Carlo as the areas'; their MSEs follow the M areas' columns.
  AreaGroups groups = {};
  // Rows (indicators) whose EBPs are benchmarked in every replicate, each a
  // mean or FGT measure, and the benchmark type; no rows: none.
  BenchmarkedRows benchmark = {};
};

struct EbpBootstrapResult {
  Eigen::MatrixXd mse;  // K x (M + G): row k for indicator k, the G groups last
  // Replicates whose refit or simulation gave a non-finite value (the NaN of
  // an undefined Gini or QSR aside); they are included in the mean (so the
  // affected MSEs are not finite) and the caller should warn.
  int n_failed = 0;
};

// n_reps >= 1 (3 n_reps at most 2^32), n_mc >= 1; sample: the V sampled
// areas, all of them (column 0 the constant 1); population: the census (M
// areas, same columns); smp_area_idx_in_pop (V): the census position of each
// sample area, distinct, or -1 for an area absent from the census; beta_hat
// (p), sigma_u, sigma_e: the fit on the model scale; scale:
// back-transformation and shift; indicators: K indicators and the poverty
// line; a batch_size above n_reps is taken as n_reps. Throws
// std::invalid_argument naming the argument for counts below 1, mismatched
// shapes, positions out of range or repeated, a sample without units,
// negative or non-finite sigmas, or a benchmarked row out of range or not a
// mean or FGT measure; an exception from a caller's indicator ends
// the call with that exception. An undefined Gini or QSR (NaN) leaves that
// MSE NaN without failing the replicate.
EbpBootstrapResult mse_bootstrap_ebp(random::Key rng_key, int n_reps, int n_mc,
                                     const SampleDesign& sample, const PopulationDesign& population,
                                     const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
                                     const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
                                     double sigma_u, double sigma_e, const EbpScale& scale,
                                     const IndicatorSet& indicators,
                                     const BootstrapEbpOptions& options = {});

// One batch on explicit keys (three per replicate, as above; all-zero keys
// for padding), the replicates sharing the Newton step size. Returns the
// squared errors (K x M) of every replicate of the batch. Same checks as
// mse_bootstrap_ebp.
std::vector<Eigen::MatrixXd> run_bootstrap_ebp_batch(
    std::span<const random::Key> keys, int n_mc, const SampleDesign& sample,
    const PopulationDesign& population,
    const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
    const Eigen::Ref<const Eigen::VectorXd>& beta_hat, double sigma_u, double sigma_e,
    const EbpScale& scale, const IndicatorSet& indicators);

}  // namespace kelp_sae::kernels
