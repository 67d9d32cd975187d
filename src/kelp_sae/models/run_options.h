// RunOptions: the fit and bootstrap settings every model front end takes
// (fh, eblup, ebp), one block nested in each model's options as `run`:
//
//   model.fh("y", {"x"}, "area",
//            {.variance = "var", .mse = "bootstrap", .run = {.n_reps = 200, .rstate = 7}});
//   model.ebp("income", {"age"}, "district", census, {.run = {.max_iter = 1000}});
//
// The replicate count and the iteration limit have model-specific defaults
// (each options struct names its own as kRunDefaults): left unset, they take
// the model's value, so `.run = {.n_reps = 10}` keeps the model's iteration
// limit. The front ends check these settings when they run; the messages name
// the setting as written here ("fh: n_reps must be at least 1; got 0.").
#pragma once

#include <iosfwd>
#include <memory>
#include <optional>

#include "kelp/random_state.h"
#include "kelp_sae/core/replicate_share.h"

namespace kelp_sae {

// A model's values of the settings RunOptions leaves unset.
struct RunDefaults {
  int n_reps = 100;
  int max_iter = 100;
};

struct RunOptions {
  // Bootstrap replicates (at least 1 when the bootstrap runs); unset: the
  // model's default.
  std::optional<int> n_reps = std::nullopt;
  // Replicates evaluated together per batch (at least 1 when the bootstrap runs).
  int batch_size = 1;
  // Random state of the bootstrap: none, an integer seed (at least 0) or a
  // RandomState. What a seed of 0 means is the model's (see its options).
  kelp::RandomStateArg rstate = {};
  // Optimiser gradient tolerance: finite, at least 0.
  double tol = 1e-4;
  // Optimiser iteration limit (at least 0); unset: the model's default.
  std::optional<int> max_iter = std::nullopt;
  // Bootstrap progress display.
  bool progress_bar = true;
  // Destination of the plain bootstrap progress lines (std::cout when null);
  // the bar itself, on a terminal, is drawn on stderr.
  std::ostream* progress_out = nullptr;
  // Processes sharing the bootstrap's replicates (the program's MPI layer);
  // null: this process runs them all. Every process must make the same call,
  // with the same explicit seed: a fresh seed per process would draw
  // different replicates.
  std::shared_ptr<ReplicateShare> replicate_share = nullptr;
};

}  // namespace kelp_sae
