// UnitLevel::eblup end to end on in-memory tables: table handling, the REML
// fit, the EBLUP and the MSE.
//
//   BM_EblupAnalytical/<units>/<threads>   1,000 areas, 5 covariates, analytical MSE
//   BM_EblupBootstrap/<units>/<threads>    200 areas, 5 covariates, 1,000 bootstrap
//                                          replicates in batches of 100
//
// The sample is simulated from a nested-error model (integer area codes,
// unequal area sizes); the population is one row per area with the covariate
// means and a size column. Threads are set with omp_set_num_threads.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "kelp/table.h"
#include "kelp_sae/models/unit.h"

namespace {

constexpr int kCovariates = 5;

struct Data {
  kelp::Table sample;
  kelp::Table population;
};

Data simulate(std::int64_t n_units, std::int64_t n_areas, std::uint64_t seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::uniform_real_distribution<double> unif(0.5, 1.5);

  // Unequal area sizes that add up to n_units.
  std::vector<double> weight(static_cast<std::size_t>(n_areas));
  double total = 0.0;
  for (double& w : weight) total += (w = unif(gen));
  std::vector<std::int64_t> size(weight.size());
  std::int64_t assigned = 0;
  for (std::size_t a = 0; a < weight.size(); ++a) {
    size[a] = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(weight[a] / total * static_cast<double>(n_units)));
    assigned += size[a];
  }
  size.back() += n_units - assigned;

  std::vector<double> u(weight.size());
  for (double& v : u) v = 0.8 * normal(gen);
  std::vector<std::int64_t> area;
  std::vector<double> y;
  std::vector<std::vector<double>> x(kCovariates);
  area.reserve(static_cast<std::size_t>(n_units));
  y.reserve(static_cast<std::size_t>(n_units));
  for (auto& col : x) col.reserve(static_cast<std::size_t>(n_units));
  std::vector<std::vector<double>> area_sum(kCovariates, std::vector<double>(weight.size(), 0.0));
  for (std::size_t a = 0; a < size.size(); ++a) {
    for (std::int64_t j = 0; j < size[a]; ++j) {
      double mean = 2.0 + u[a];
      for (int c = 0; c < kCovariates; ++c) {
        const double v = 0.1 * static_cast<double>(a % 7) + normal(gen);
        x[static_cast<std::size_t>(c)].push_back(v);
        area_sum[static_cast<std::size_t>(c)][a] += v;
        mean += (0.5 + 0.25 * c) * v;
      }
      area.push_back(static_cast<std::int64_t>(a) + 1);
      y.push_back(mean + 1.5 * normal(gen));
    }
  }

  std::vector<std::pair<std::string, kelp::Column>> smp_cols;
  smp_cols.emplace_back("area", kelp::Column(area));
  smp_cols.emplace_back("y", kelp::Column(std::move(y)));
  std::vector<std::pair<std::string, kelp::Column>> pop_cols;
  std::vector<std::int64_t> pop_area(size.size());
  std::vector<std::int64_t> pop_n(size.size());
  for (std::size_t a = 0; a < size.size(); ++a) {
    pop_area[a] = static_cast<std::int64_t>(a) + 1;
    pop_n[a] = 20 * size[a];
  }
  pop_cols.emplace_back("area", kelp::Column(pop_area));
  for (int c = 0; c < kCovariates; ++c) {
    std::string name(1, 'x');
    name += std::to_string(c + 1);
    std::vector<double> means(size.size());
    for (std::size_t a = 0; a < size.size(); ++a) {
      means[a] = area_sum[static_cast<std::size_t>(c)][a] / static_cast<double>(size[a]);
    }
    smp_cols.emplace_back(name, kelp::Column(std::move(x[static_cast<std::size_t>(c)])));
    pop_cols.emplace_back(name, kelp::Column(std::move(means)));
  }
  pop_cols.emplace_back("N", kelp::Column(pop_n));
  return {kelp::Table(std::move(smp_cols)), kelp::Table(std::move(pop_cols))};
}

const kelp_sae::TermList kX = std::vector<std::string>{"x1", "x2", "x3", "x4", "x5"};

void BM_EblupAnalytical(benchmark::State& state) {
  const Data data = simulate(state.range(0), 1000, 20240611);
  omp_set_num_threads(static_cast<int>(state.range(1)));
  const kelp_sae::UnitLevel model(data.sample);
  for (auto _ : state) {
    kelp_sae::SAEResults res = model.eblup("y", kX, "area", data.population, {.pop_size = "N"});
    benchmark::DoNotOptimize(res);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EblupAnalytical)
    ->ArgNames({"units", "threads"})
    ->Args({10'000, 1})
    ->Args({10'000, 2})
    ->Args({1'000'000, 1})
    ->Args({1'000'000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_EblupBootstrap(benchmark::State& state) {
  const Data data = simulate(state.range(0), 200, 7);
  omp_set_num_threads(static_cast<int>(state.range(1)));
  const kelp_sae::UnitLevel model(data.sample);
  for (auto _ : state) {
    kelp_sae::SAEResults res = model.eblup(
        "y", kX, "area", data.population,
        {.pop_size = "N",
         .mse = "Bootstrap",
         .run = {.n_reps = 1000, .batch_size = 100, .rstate = 42, .progress_bar = false}});
    benchmark::DoNotOptimize(res);
  }
}
BENCHMARK(BM_EblupBootstrap)
    ->ArgNames({"units", "threads"})
    ->Args({10'000, 1})
    ->Args({10'000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
