// Parametric bootstrap MSE of the Fay-Herriot EBLUP.
//
//   Eigen::VectorXd mse = mse_bootstrap_area_fh(X, D, beta_hat, sigma_u, VarianceMethod::REML,
//                                               1000, random::key_from_seed(42),
//                                               {.batch_size = 100});
//
// For replicate b (b = 0 .. B-1), with key k_b = split(rng_key, B)[b] and
// (k1, k2) = split2(k_b):
//   theta* = X beta_hat + sigma_u z1,   z1 = normal(k1, N)   (true area values)
//   y*     = theta* + sqrt(D) o z2,     z2 = normal(k2, N)   (direct estimates)
// the model is refitted on (X, y*, D) from the start (beta_hat, log sigma_u)
// with the REML or ML fitter by `method` (default tol 1e-4 and 100 iterations; a refit that does
// not converge still counts), and the EBLUP
//   pred* = gamma* y* + (1 - gamma*) X beta*,  gamma* = sigma*^2 / (sigma*^2 + D)
// gives the error (pred* - theta*)^2 per area. The result is the mean of the
// B error vectors: one MSE per row of X, on the scale of the inputs.
//
// Replicates are processed in ceil(B / batch_size) batches of `batch_size`
// keys; the last batch holds only the remaining real keys (the padding to a
// full batch never contributes). Within a batch the per-replicate error
// vectors are summed in replicate order, and batch sums are added in batch
// order, so the result is bit-identical for any number of OpenMP threads and
// on every run with the same key. Replicate keys do not depend on
// `batch_size`; the summation grouping does, at the level of rounding.
// Replicates of several consecutive small batches may be evaluated in one
// parallel pass; sums and progress still go batch by batch.
//
// Progress: on_progress(i, n) after batch i of n is summed (nothing prints).
//
// Memory does not grow with B: replicate keys are derived batch by batch and
// the workspaces (one error vector per replicate of a parallel pass, one
// refit state per thread) are allocated once per call. B may be any count
// up to 2^32 (the number of children of a key); larger B throws.
// Throws std::invalid_argument for B < 1 or above 2^32, batch_size < 1,
// shape mismatches, negative or non-finite D, or sigma_u not positive and
// finite; an exception from a replicate or from on_progress propagates.
#pragma once

#include <Eigen/Core>
#include <cstdint>

#include "kelp_sae/core/progress_callback.h"
#include "kelp_sae/core/replicate_share.h"
#include "kelp_sae/core/variance_method.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae::kernels {

struct BootstrapAreaOptions {
  std::int64_t batch_size = 100;
  ProgressCallback on_progress = nullptr;
  // Processes sharing the batches (null: this process runs them all); the
  // rows it combines are the batch sums.
  ReplicateShare* share = nullptr;
};

Eigen::VectorXd mse_bootstrap_area_fh(const Eigen::Ref<const Eigen::MatrixXd>& X,
                                      const Eigen::Ref<const Eigen::VectorXd>& D,
                                      const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
                                      double sigma_u, VarianceMethod method, std::int64_t B,
                                      random::Key rng_key,
                                      const BootstrapAreaOptions& options = {});

}  // namespace kelp_sae::kernels
