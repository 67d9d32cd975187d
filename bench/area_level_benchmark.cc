// The whole AreaLevel::fh on in-memory area tables: column selection,
// standardisation, the REML fit, back-transformation, Prasad-Rao MSE and the
// result records; and the parametric bootstrap MSE by thread count.
//
//   area_level_benchmark --benchmark_filter=Fh
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "kelp/table.h"
#include "kelp_sae/models/area.h"
#include "kelp_sae/random/keys.h"

namespace {

constexpr int kCovariates = 5;

// A well-specified Fay-Herriot table: x_j ~ N(0, 1), sigma_u = 1,
// D_i in [0.5, 2.5], y_i = 1 + sum_j 0.5 j x_ij + u_i + e_i.
kelp::Table make_area_table(std::size_t m) {
  using kelp_sae::random::key_from_seed;
  using kelp_sae::random::normal;
  using kelp_sae::random::split;
  const auto keys = split(key_from_seed(20240611), kCovariates + 3);
  std::vector<std::pair<std::string, kelp::Column>> columns;
  std::vector<std::int64_t> area(m);
  for (std::size_t i = 0; i < m; ++i) area[i] = static_cast<std::int64_t>(i + 1);
  columns.emplace_back("area", kelp::Column(area));

  std::vector<double> y(m, 1.0);
  std::vector<double> D(m);
  const std::vector<double> u = normal(keys[0], m);
  const std::vector<double> e = normal(keys[1], m);
  const std::vector<double> d = normal(keys[2], m);
  for (std::size_t i = 0; i < m; ++i) {
    D[i] = 0.5 + 2.0 / (1.0 + std::exp(-d[i]));
    y[i] += u[i] + std::sqrt(D[i]) * e[i];
  }
  std::vector<std::pair<std::string, kelp::Column>> covariates;
  for (int j = 0; j < kCovariates; ++j) {
    const std::vector<double> x = normal(keys[static_cast<std::size_t>(3 + j)], m);
    for (std::size_t i = 0; i < m; ++i) y[i] += 0.5 * (j + 1) * x[i];
    std::string name = "x";
    name += std::to_string(j + 1);
    covariates.emplace_back(name, kelp::Column(x));
  }
  columns.emplace_back("y", kelp::Column(y));
  columns.emplace_back("var", kelp::Column(D));
  for (auto& c : covariates) columns.push_back(std::move(c));
  return kelp::Table(std::move(columns));
}

const kelp_sae::TermList kTerms = std::vector<std::string>{"x1", "x2", "x3", "x4", "x5"};

void BM_FhPrasadRao(benchmark::State& state) {
  const kelp::Table table = make_area_table(static_cast<std::size_t>(state.range(0)));
  kelp_sae::AreaLevel model(table);
  for (auto _ : state) {
    kelp_sae::SAEResults res = model.fh("y", kTerms, "area", {.variance = "var"});
    benchmark::DoNotOptimize(res);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_FhPrasadRao)->Arg(50)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// Arguments: areas, replicates, batch size, threads.
void BM_FhBootstrap(benchmark::State& state) {
  const kelp::Table table = make_area_table(static_cast<std::size_t>(state.range(0)));
  kelp_sae::AreaLevel model(table);
  const int previous = omp_get_max_threads();
  omp_set_num_threads(static_cast<int>(state.range(3)));
  std::ostringstream progress;
  for (auto _ : state) {
    progress.str("");
    kelp_sae::SAEResults res = model.fh("y", kTerms, "area",
                                        {.variance = "var",
                                         .mse = "bootstrap",
                                         .run = {.n_reps = static_cast<int>(state.range(1)),
                                                 .batch_size = static_cast<int>(state.range(2)),
                                                 .rstate = std::int64_t{42},
                                                 .progress_bar = false,
                                                 .progress_out = &progress}});
    benchmark::DoNotOptimize(res);
  }
  omp_set_num_threads(previous);
  state.counters["threads"] = static_cast<double>(state.range(3));
}
BENCHMARK(BM_FhBootstrap)
    ->Args({1000, 1000, 1, 1})
    ->Args({1000, 1000, 1, 2})
    ->Args({1000, 1000, 100, 1})
    ->Args({1000, 1000, 100, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
