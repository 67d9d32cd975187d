// A replicate share that plays one process of a K-process run inside one
// process, so that a bootstrap's split over processes can be checked against
// a single-process run without MPI.
//
//   const Eigen::VectorXd mse = run_as_processes(3, [&](ReplicateShare& share) {
//     return mse_bootstrap_bhf(..., {.batch_size = 2, .share = &share});
//   });
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kelp_sae/core/replicate_share.h"

namespace kelp_sae::testing {

// What the processes of one simulated run leave for the lead.
struct SimulatedRun {
  explicit SimulatedRun(int n)
      : processes(n), rows(static_cast<std::size_t>(n)), counts(rows.size()) {}
  int processes;
  std::vector<std::vector<double>> rows;  // per process, in the order added
  std::vector<std::int64_t> counts;       // per process
  std::int64_t batches_done = 0;          // by all processes
};

// Process k of run.processes: batches floor(k n / K) .. floor((k + 1) n / K);
// the lead (k = 0) completes its sum with the rows of processes 1 .. K-1.
class SimulatedShare final : public ReplicateShare {
 public:
  SimulatedShare(int k, SimulatedRun& run) : k_(k), run_(run) {}

  BatchRange begin(std::int64_t n_batches) override {
    n_batches_ = n_batches;
    const std::int64_t size = run_.processes;
    return {k_ * n_batches / size, (k_ + 1) * n_batches / size};
  }
  void add(std::span<const double> row) override {
    std::vector<double>& mine = run_.rows[static_cast<std::size_t>(k_)];
    mine.insert(mine.end(), row.begin(), row.end());
  }
  void batch_done(const ProgressCallback& progress) override {
    ++run_.batches_done;
    if (progress && k_ == 0) {
      progress(static_cast<std::size_t>(run_.batches_done), static_cast<std::size_t>(n_batches_));
    }
  }
  std::int64_t finish(std::span<double> sum, std::int64_t count, const ProgressCallback&) override {
    run_.counts[static_cast<std::size_t>(k_)] = count;
    if (k_ != 0) return count;
    EXPECT_EQ(run_.batches_done, n_batches_) << "batches finished by all processes";
    const std::size_t width = sum.size();
    for (std::size_t p = 1; p < run_.rows.size(); ++p) {
      const std::vector<double>& rows = run_.rows[p];
      EXPECT_EQ(rows.size() % width, 0u) << "process " << p << " sent a partial row";
      for (std::size_t r = 0; r + width <= rows.size(); r += width) {
        for (std::size_t i = 0; i < width; ++i) sum[i] += rows[r + i];
      }
      count += run_.counts[p];
    }
    return count;
  }

 private:
  std::int64_t k_;
  SimulatedRun& run_;
  std::int64_t n_batches_ = 0;
};

// Runs `fn(share)` as processes K-1 .. 0 of one run (followers first, so the
// lead finds their rows) and returns the lead's result.
template <typename Fn>
auto run_as_processes(int processes, Fn&& fn) {
  SimulatedRun run(processes);
  for (int k = processes - 1; k > 0; --k) {
    SimulatedShare follower(k, run);
    fn(static_cast<ReplicateShare&>(follower));
  }
  SimulatedShare lead(0, run);
  return fn(static_cast<ReplicateShare&>(lead));
}

}  // namespace kelp_sae::testing
