// Carries the first exception of an OpenMP region out of it: an exception
// must not leave a parallel region's structured block.
//
//   ParallelFailure failure;
//   #pragma omp parallel for
//   for (int i = 0; i < n; ++i) failure.run([&] { work(i); });
//   failure.rethrow();
#pragma once

#include <exception>
#include <utility>

namespace kelp_sae::kernels::internal {

class ParallelFailure {
 public:
  // Runs body(), keeping the first exception any thread raised.
  template <typename Body>
  void run(Body&& body) noexcept {
    try {
      std::forward<Body>(body)();
    } catch (...) {
#pragma omp critical(kelp_sae_parallel_failure)
      if (!failure_) failure_ = std::current_exception();
    }
  }
  // Rethrows the kept exception, if any; call outside the parallel region.
  void rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  std::exception_ptr failure_;
};

}  // namespace kelp_sae::kernels::internal
