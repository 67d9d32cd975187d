// Timing aid for the Fay-Herriot loss library: evaluates the LU-based REML
// loss, its Cholesky variant and the unified loss n_iter times each (after
// one warm-up call) on seeded data and prints the times.
//
//   fh_losses_benchmark [N [p [n_iter]]]      (defaults 100, 5, 1000)
//
// Data: X is N x p standard normal with a first column of ones, y is N
// standard normal values, D = 0.1 |z| for N further standard normal z, all
// from the key of seed 42; the loss is evaluated at log sigma_u = 0. Times
// are CPU seconds of the calling thread.
#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "kelp_sae/kernels/optimization/fh_losses.h"
#include "kelp_sae/random/keys.h"

namespace {

using namespace kelp_sae::kernels;
namespace random = kelp_sae::random;

volatile double g_sink = 0.0;

// CPU time of the calling thread, in seconds: on a shared machine it is far
// steadier than elapsed time.
double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

template <typename F>
double time_loss(F&& loss, int n_iter) {
  g_sink = g_sink + loss();  // warm-up
  const double start = thread_cpu_seconds();
  for (int i = 0; i < n_iter; ++i) g_sink = g_sink + loss();
  return thread_cpu_seconds() - start;
}

void benchmark_fh_losses(int N, int p, int n_iter) {
  const std::vector<random::Key> keys = random::split(random::key_from_seed(42), 3);
  Eigen::MatrixXd X(N, p);
  random::normal(keys[0], std::span<double>(X.data(), static_cast<std::size_t>(X.size())));
  X.col(0).setOnes();
  Eigen::VectorXd y(N), D(N);
  random::normal(keys[1], std::span<double>(y.data(), static_cast<std::size_t>(N)));
  random::normal(keys[2], std::span<double>(D.data(), static_cast<std::size_t>(N)));
  D = 0.1 * D.cwiseAbs();
  const double ls = 0.0;

  const double fused = time_loss([&] { return reml_loss(ls, X, y, D); }, n_iter);
  const double cholesky = time_loss([&] { return reml_loss_cholesky(ls, X, y, D); }, n_iter);
  const double unified = time_loss(
      [&] { return fh_loss_unified(ls, X, y, D, kelp_sae::VarianceMethod::REML); }, n_iter);

  const std::string rule(70, '-');
  std::printf("Benchmarking Fay-Herriot Losses (N=%d, p=%d, %d iterations)\n", N, p, n_iter);
  std::printf("%s\n", rule.c_str());
  std::printf("Optimized (fused):     %.4fs\n", fused);
  std::printf("Cholesky (stable):     %.4fs (overhead: %.1f%%)\n", cholesky,
              100.0 * (cholesky - fused) / fused);
  std::printf("Unified:               %.4fs\n", unified);
  std::printf("%s\n", rule.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const int N = argc > 1 ? std::atoi(argv[1]) : 100;
  const int p = argc > 2 ? std::atoi(argv[2]) : 5;
  const int n_iter = argc > 3 ? std::atoi(argv[3]) : 1000;
  if (N < 1 || p < 1 || n_iter < 1) {
    std::fprintf(stderr, "usage: fh_losses_benchmark [N [p [n_iter]]] (all at least 1)\n");
    return 2;
  }
  benchmark_fh_losses(N, p, n_iter);
  return 0;
}
