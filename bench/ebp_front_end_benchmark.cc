// UnitLevel::ebp end to end on in-memory tables: table handling, the lambda
// search, the REML fit, the Monte Carlo EBP and the bootstrap MSE.
//
//   BM_EbpBoxCoxSixIndicators/<threads>   2,000-unit sample, 25,000-unit census
//                                         in 100 areas, 3 covariates, Box-Cox
//                                         with lambda estimated, all six
//                                         indicators, n_mc 50, n_reps 50
//
// Incomes are log-normal under a nested-error model; 80 of the 100 areas are
// sampled. The census-scale run without the bootstrap is measured through
// the program (see the README's benchmark notes): reading the CSV is part of
// its cost.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "kelp/table.h"
#include "kelp_sae/models/unit.h"

namespace {

constexpr int kCovariates = 3;

struct Data {
  kelp::Table sample;
  kelp::Table census;
};

// `units_per_area` units in each of `n_areas` areas; responses for sampled
// areas (the first `sampled`) only when `with_y`.
kelp::Table simulate(std::mt19937_64& gen, const std::vector<double>& u,
                     const std::vector<std::int64_t>& units, bool with_y) {
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<std::int64_t> area;
  std::vector<double> y;
  std::vector<std::vector<double>> x(kCovariates);
  for (std::size_t a = 0; a < units.size(); ++a) {
    for (std::int64_t j = 0; j < units[a]; ++j) {
      area.push_back(static_cast<std::int64_t>(a) + 1);
      double mean = 9.0 + u[a];
      for (int k = 0; k < kCovariates; ++k) {
        const double v = normal(gen);
        x[static_cast<std::size_t>(k)].push_back(v);
        mean += 0.2 * v;
      }
      y.push_back(std::exp(mean + 0.6 * normal(gen)));
    }
  }
  std::vector<std::pair<std::string, kelp::Column>> cols{{"area", kelp::Column(area)}};
  for (int k = 0; k < kCovariates; ++k) {
    static const char* const kNames[kCovariates] = {"x1", "x2", "x3"};
    cols.emplace_back(kNames[k], kelp::Column(x[static_cast<std::size_t>(k)]));
  }
  if (with_y) cols.emplace_back("income", kelp::Column(y));
  return kelp::Table(std::move(cols));
}

Data make_data() {
  std::mt19937_64 gen(2026);
  std::normal_distribution<double> normal(0.0, 1.0);
  constexpr int kAreas = 100;
  std::vector<double> u(kAreas);
  for (double& v : u) v = 0.25 * normal(gen);
  std::vector<std::int64_t> sample_units(kAreas, 0), census_units(kAreas, 250);
  for (int a = 0; a < 80; ++a) sample_units[static_cast<std::size_t>(a)] = 25;
  return {simulate(gen, u, sample_units, true), simulate(gen, u, census_units, false)};
}

void BM_EbpBoxCoxSixIndicators(benchmark::State& state) {
  static const Data data = make_data();
  omp_set_num_threads(static_cast<int>(state.range(0)));
  const kelp_sae::UnitLevel model(data.sample);
  std::ostream no_progress(nullptr);  // drops the bootstrap's progress lines
  using kelp_sae::Indicator;
  for (auto _ : state) {
    kelp_sae::SAEResults r = model.ebp(
        "income", {"x1", "x2", "x3"}, "area", data.census,
        {.indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::POVERTY_GAP,
                        Indicator::POVERTY_SEVERITY, Indicator::GINI, Indicator::QSR},
         .threshold = 5000.0,
         .n_mc = 50,
         .run = {.n_reps = 50, .rstate = 1, .progress_bar = false, .progress_out = &no_progress}});
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_EbpBoxCoxSixIndicators)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
