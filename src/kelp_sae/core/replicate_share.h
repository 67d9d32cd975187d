// How the processes of one run share a bootstrap's replicates.
//
// A bootstrap splits its replicates into batches and adds partial sums of
// squared errors ("rows": one per replicate, or one per batch) one after
// another, from zero, in replicate order. Several processes can run one
// bootstrap with the same numbers as a single process: each runs a
// contiguous range of batches, adds its own rows in order, and the share
// completes the sum with the other processes' rows, in replicate order, so
// that every element of the result is the same sequence of additions as in a
// single process.
//
// The kernels see only this interface: a share that passes messages between
// processes lives outside them (the program's MPI layer). Without a share a
// kernel uses SingleProcessShare, which runs every batch.
//
// A bootstrap calls, on the calling thread and in this order:
//   BatchRange mine = share.begin(n_batches);
//   for each batch of mine: for each row, in order: sum += row; share.add(row);
//                           share.batch_done(on_progress);
//   count = share.finish(sum, local_count, on_progress);
// Elements are added one by one (sum[i] += row[i]), so the result does not
// depend on how the rows are laid out or vectorised. Any member may throw
// (for instance when another process failed); the kernel lets it propagate.
#pragma once

#include <cstdint>
#include <span>

#include "kelp_sae/core/progress_callback.h"

namespace kelp_sae {

// Batches [first, end) of a bootstrap.
struct BatchRange {
  std::int64_t first = 0;
  std::int64_t end = 0;
};

class ReplicateShare {
 public:
  virtual ~ReplicateShare() = default;

  // Starts a bootstrap of n_batches batches and returns the contiguous range
  // this process runs (possibly empty); later processes get later batches.
  virtual BatchRange begin(std::int64_t n_batches) = 0;
  // One of this process's rows, after the process added it to its own sum.
  virtual void add(std::span<const double> row) = 0;
  // One more of this process's batches is finished; `progress` (may be
  // empty) is shown the count finished by all processes.
  virtual void batch_done(const ProgressCallback& progress) = 0;
  // Completes `sum` (this process's rows added in order, from zero) to the
  // sum of every process's rows in replicate order, on every process, and
  // returns the sum of `count` over the processes (for instance failed
  // replicates).
  virtual std::int64_t finish(std::span<double> sum, std::int64_t count,
                              const ProgressCallback& progress) = 0;
};

// One process runs every batch: nothing to combine.
class SingleProcessShare final : public ReplicateShare {
 public:
  BatchRange begin(std::int64_t n_batches) override {
    n_batches_ = n_batches;
    done_ = 0;
    return {0, n_batches};
  }
  void add(std::span<const double>) override {}
  void batch_done(const ProgressCallback& progress) override {
    ++done_;
    if (progress) progress(static_cast<std::size_t>(done_), static_cast<std::size_t>(n_batches_));
  }
  std::int64_t finish(std::span<double>, std::int64_t count, const ProgressCallback&) override {
    return count;
  }

 private:
  std::int64_t n_batches_ = 0;
  std::int64_t done_ = 0;
};

// The share a kernel uses: the caller's, or a single process.
inline ReplicateShare& share_or_single(ReplicateShare* share, SingleProcessShare& single) {
  return share != nullptr ? *share : single;
}

}  // namespace kelp_sae
