// A bootstrap's batches shared by the processes of an MPI run.
//
// Process k of K runs batches [floor(k n / K), floor((k + 1) n / K)) of n,
// with its own OpenMP threads. A follower keeps its rows (its replicates'
// squared errors, or batch sums) and sends them to the lead when its range
// is done; the lead, after its own range, adds the rows of process 1, then 2,
// ..., element by element in order, so that every element is the same
// sequence of additions as in one process: the MSEs are bit-identical to a
// single-process run with the same seed, for any number of processes and
// threads. The lead then sends the sum back, so every process ends the
// bootstrap with the same result. Followers report each finished batch, and
// the lead shows the progress of all processes.
//
// Traffic: per replicate one row (indicators x areas doubles, a few
// kilobytes), plus one empty message per batch. A follower holds its rows
// until its range is done: (n_reps / K) rows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "app/mpi/processes.h"
#include "kelp_sae/core/replicate_share.h"

namespace kelp_sae::mpi {

class MpiReplicateShare final : public ReplicateShare {
 public:
  explicit MpiReplicateShare(const Processes& processes) : processes_(processes) {}

  BatchRange begin(std::int64_t n_batches) override;
  void add(std::span<const double> row) override;
  void batch_done(const ProgressCallback& progress) override;
  std::int64_t finish(std::span<double> sum, std::int64_t count,
                      const ProgressCallback& progress) override;

 private:
  // Lead: counts `batches` more finished batches and shows each count.
  void advance(std::int64_t batches, const ProgressCallback& progress);

  const Processes& processes_;
  std::int64_t n_batches_ = 0;
  std::int64_t done_ = 0;       // lead: batches finished by all processes
  std::int64_t pending_ = 0;    // lead: batches finished elsewhere, not yet shown
  std::vector<double> rows_{};  // follower: its rows, in order
};

}  // namespace kelp_sae::mpi
