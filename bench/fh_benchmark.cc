// Fay-Herriot kernels: the REML fit followed by the Prasad-Rao MSE, and the
// parametric bootstrap MSE.
//
//   BM_FitPrasadRao/<areas>: fit_fay_herriot_reml + estimate_mse_prasad_rao
//     on data simulated from the model, 5 covariates and an intercept.
//   BM_BootstrapFh/<threads>: 1,000 replicates on 1,000 areas, batch size
//     100, REML refits, no progress output.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <map>
#include <span>

#include "kelp_sae/kernels/kernels.h"
#include "kelp_sae/kernels/mse/bootstrap_area.h"
#include "kelp_sae/random/keys.h"

namespace {

using namespace kelp_sae::kernels;
namespace random = kelp_sae::random;

constexpr int kCovariates = 5;

struct FhData {
  Eigen::MatrixXd X;
  Eigen::VectorXd y;
  Eigen::VectorXd D;
  Eigen::VectorXd beta;
  double sigma_u = 0.8;
};

void fill_normal(random::Key key, double* data, Eigen::Index n) {
  random::normal(key, std::span<double>(data, static_cast<std::size_t>(n)));
}

// y = X beta + u + e with sigma_u = 0.8 and D uniform on [0.3, 1.3].
const FhData& fh_data(Eigen::Index n) {
  static std::map<Eigen::Index, FhData> cache;
  auto [it, inserted] = cache.try_emplace(n);
  FhData& d = it->second;
  if (!inserted) return d;
  const std::vector<random::Key> keys = random::split(random::key_from_seed(1234), 4);
  d.X.resize(n, kCovariates + 1);
  fill_normal(keys[0], d.X.data(), d.X.size());
  d.X.col(0).setOnes();
  d.beta = Eigen::VectorXd::LinSpaced(kCovariates + 1, 1.0, -0.5);
  d.D.resize(n);
  random::uniform(keys[1], std::span<double>(d.D.data(), static_cast<std::size_t>(n)));
  d.D.array() += 0.3;
  Eigen::VectorXd u(n), e(n);
  fill_normal(keys[2], u.data(), n);
  fill_normal(keys[3], e.data(), n);
  d.y = d.X * d.beta + d.sigma_u * u + d.D.cwiseSqrt().cwiseProduct(e);
  return d;
}

void BM_FitPrasadRao(benchmark::State& state) {
  const FhData& d = fh_data(state.range(0));
  const Eigen::Index p = d.X.cols();
  const Eigen::VectorXd init = Eigen::VectorXd::Zero(p + 1);
  for (auto _ : state) {
    const kelp_sae::OptimizationResult fit = fit_fay_herriot_reml(init, d.X, d.y, d.D);
    const double sigma_u2 = std::exp(2.0 * fit.params(p));
    PrasadRaoResult pr = estimate_mse_prasad_rao(d.X, d.y, d.D, fit.params.head(p), sigma_u2,
                                                 fit.hessian_inv.topLeftCorner(p, p));
    benchmark::DoNotOptimize(pr.mse.data());
    if (!fit.success) state.SkipWithError("fit did not converge");
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FitPrasadRao)->Arg(50)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_BootstrapFh(benchmark::State& state) {
  const FhData& d = fh_data(1000);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    Eigen::VectorXd mse =
        mse_bootstrap_area_fh(d.X, d.D, d.beta, d.sigma_u, kelp_sae::VarianceMethod::REML, 1000,
                              random::key_from_seed(7), {.batch_size = 100});
    benchmark::DoNotOptimize(mse.data());
  }
  omp_set_num_threads(saved);
}
BENCHMARK(BM_BootstrapFh)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
