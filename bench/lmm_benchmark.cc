// Nested-error kernels: the REML fit with analytical MSE, and the parametric
// bootstrap MSE.
//
//   BM_LmmFitAnalyticalMse/<units>/<threads>: sufficient statistics, BFGS REML fit,
//     statistics at the optimum and analytical MSE; 1,000 areas of unequal
//     size, 5 covariates and an intercept.
//   BM_BootstrapBhf/<batch_size>/<threads>: 1,000 replicates on 10,000 units
//     in 200 areas (plus 20 population areas without sample), 5 covariates.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <map>
#include <memory>

#include "kelp_sae/kernels/mse/analytical_unit.h"
#include "kelp_sae/kernels/mse/bootstrap_unit.h"
#include "kelp_sae/kernels/optimization/lmm.h"
#include "kelp_sae/random/keys.h"

namespace {

using namespace kelp_sae::kernels;
namespace random = kelp_sae::random;

constexpr int kCovariates = 5;

struct FitData {
  Eigen::MatrixXd X;
  Eigen::VectorXd y;
  Eigen::VectorXi area;
  Eigen::MatrixXd X_pop_means;
  Eigen::VectorXd n_i;
};

// Unit i belongs to area floor(m * w^2) for a uniform-like w: areas of very
// unequal size; y from the nested-error model.
const FitData& fit_data(Eigen::Index n, Eigen::Index m) {
  static std::map<Eigen::Index, std::unique_ptr<FitData>> cache;
  auto& slot = cache[n];
  if (slot) return *slot;
  slot = std::make_unique<FitData>();
  FitData& d = *slot;
  const std::vector<double> z =
      random::normal(random::key_from_seed(1), static_cast<std::size_t>(n * (kCovariates + 1)));
  const std::vector<double> u =
      random::normal(random::key_from_seed(2), static_cast<std::size_t>(m));
  d.X.resize(n, kCovariates + 1);
  d.y.resize(n);
  d.area.resize(n);
  d.n_i = Eigen::VectorXd::Zero(m);
  for (Eigen::Index i = 0; i < n; ++i) {
    const double w = std::fmod(0.6180339887 * static_cast<double>(i), 1.0);
    const int a =
        std::min(static_cast<int>(static_cast<double>(m) * w * w), static_cast<int>(m - 1));
    d.area(i) = a;
    d.n_i(a) += 1.0;
    d.X(i, 0) = 1.0;
    double y = 1.0 + 0.5 * u[static_cast<std::size_t>(a)];
    for (int k = 1; k <= kCovariates; ++k) {
      d.X(i, k) = z[static_cast<std::size_t>(i * (kCovariates + 1) + k)] + 0.1 * k;
      y += 0.3 * k * d.X(i, k);
    }
    d.y(i) = y + z[static_cast<std::size_t>(i * (kCovariates + 1))];
  }
  d.X_pop_means = Eigen::MatrixXd::Ones(m, kCovariates + 1);
  for (int k = 1; k <= kCovariates; ++k) d.X_pop_means.col(k).setConstant(0.1 * k);
  return d;
}

void BM_LmmFitAnalyticalMse(benchmark::State& state) {
  const Eigen::Index n = state.range(0);
  const Eigen::Index m = 1000;
  const FitData& d = fit_data(n, m);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(static_cast<int>(state.range(1)));
  for (auto _ : state) {
    const kelp_sae::OptimizationResult fit =
        fit_lmm_reml(Eigen::Vector2d(-0.5, -0.5), d.X, d.y, d.area, m, {.max_iter = 500});
    const LmmStats st =
        evaluate_lmm_stats(fit.params.tail(2), d.X, d.y, d.area, m, kelp_sae::VarianceMethod::REML);
    const double se2 = std::exp(2.0 * fit.params(kCovariates + 1));
    const double su2 = std::exp(2.0 * fit.params(kCovariates + 2));
    const Eigen::Matrix2d vc =
        Eigen::Vector2d(2.0 * se2 * se2 / static_cast<double>(n - kCovariates - 1),
                        2.0 * su2 * su2 / 1000.0)
            .asDiagonal();
    const Eigen::VectorXd mse = analytical_mse_bhf(su2, se2, st.cov, d.X_pop_means, d.n_i, vc);
    benchmark::DoNotOptimize(mse.data());
    state.counters["success"] = fit.success ? 1.0 : 0.0;
  }
  omp_set_num_threads(saved);
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_LmmFitAnalyticalMse)
    ->ArgNames({"units", "threads"})
    ->ArgsProduct({{10'000, 1'000'000}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

struct BootData {
  SampleDesign sample;
  Eigen::MatrixXd X_pop_means;
  Eigen::VectorXd N_i;
  Eigen::VectorXi idx;
  Eigen::VectorXd beta;
};

const BootData& boot_data() {
  static const BootData data = [] {
    BootData b;
    const Eigen::Index n = 10'000, v_areas = 200, m = 220;
    const std::vector<double> z =
        random::normal(random::key_from_seed(3), static_cast<std::size_t>(n * kCovariates));
    b.sample.X.resize(n, kCovariates + 1);
    b.sample.offsets = {0};
    b.idx.resize(v_areas);
    // Area sizes 10 .. 90, 50 on average.
    Eigen::Index row = 0;
    for (Eigen::Index v = 0; v < v_areas; ++v) {
      const Eigen::Index size = v == v_areas - 1 ? n - row : 10 + (37 * v) % 81;
      for (Eigen::Index j = 0; j < size; ++j, ++row) {
        b.sample.X(row, 0) = 1.0;
        for (int k = 1; k <= kCovariates; ++k)
          b.sample.X(row, k) = z[static_cast<std::size_t>(row * kCovariates + k - 1)];
      }
      b.sample.offsets.push_back(row);
      b.idx(v) = static_cast<int>(v);
    }
    b.X_pop_means = Eigen::MatrixXd::Zero(m, kCovariates + 1);
    b.X_pop_means.col(0).setOnes();
    b.N_i = Eigen::VectorXd::Constant(m, 2000.0);
    b.beta = Eigen::VectorXd::LinSpaced(kCovariates + 1, 1.0, 2.0);
    return b;
  }();
  return data;
}

void BM_BootstrapBhf(benchmark::State& state) {
  const BootData& b = boot_data();
  const int batch = static_cast<int>(state.range(0));
  const int threads = static_cast<int>(state.range(1));
  const int saved = omp_get_max_threads();
  omp_set_num_threads(threads);
  for (auto _ : state) {
    const Eigen::VectorXd mse =
        mse_bootstrap_bhf(random::key_from_seed(42), 1000, b.sample, b.X_pop_means, b.N_i, b.idx,
                          b.beta, 0.5, 1.0, {.batch_size = batch});
    benchmark::DoNotOptimize(mse.data());
  }
  omp_set_num_threads(saved);
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_BootstrapBhf)
    ->ArgNames({"batch", "threads"})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Args({50, 1})
    ->Args({50, 2})
    ->Args({1000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
