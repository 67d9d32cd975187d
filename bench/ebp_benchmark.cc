// Speed of the EBP kernels on a census of 1,000,000 units in 2,000 areas with
// p = 10 design columns.
//
// SimulateEbp reports items = simulated units (n_mc x N): ns per simulated
// unit = 1e9 / items_per_second. Arguments: (transformation, indicator set,
// threads, population weights, regions) with transformation 0 = log, 1 =
// Box-Cox (lambda 0.2), indicator set 0 = mean and FGT0-2, 1 = all six,
// weights 1 = household sizes 1 .. 6 and regions 1 = 20 regions of 100 areas. Normal times the
// draws alone. BootstrapEbp runs the whole bootstrap (n_mc 50, mean and FGT0-2, log) for the given
// (n_reps, threads), once; its time scales linearly in n_reps. SortValues and StdSort sort one area
// of log-normal incomes of the given size with sort_values and with std::sort: items = values. Each
// iteration sorts a fresh copy of the next of many distinct unsorted inputs (about 1 MiB in all),
// as the Monte Carlo sorts a new population each time: sorting the same input again lets the branch
// predictor learn its comparisons and flatters std::sort up to 10x. The copy is timed with the
// sort; CopyValues times the copy alone, to be subtracted.
#include <benchmark/benchmark.h>
#include <omp.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "kelp_sae/kernels/mse/bootstrap_ebp.h"
#include "kelp_sae/kernels/simulations/ebp_monte_carlo.h"

namespace {

using namespace kelp_sae::kernels;
using kelp_sae::Indicator;
namespace random = kelp_sae::random;

constexpr Eigen::Index kUnits = 1'000'000;
constexpr Eigen::Index kAreas = 2'000;
constexpr Eigen::Index kColumns = 10;

SampleDesign make_design(Eigen::Index areas, Eigen::Index per_area, std::uint64_t seed) {
  SampleDesign d;
  d.offsets.resize(static_cast<std::size_t>(areas) + 1);
  for (Eigen::Index a = 0; a <= areas; ++a) d.offsets[static_cast<std::size_t>(a)] = a * per_area;
  const Eigen::Index n = areas * per_area;
  const std::vector<double> z =
      random::normal(random::key_from_seed(seed), static_cast<std::size_t>(n * (kColumns - 1)));
  d.X.resize(n, kColumns);
  d.X.col(0).setOnes();
  for (Eigen::Index j = 1; j < kColumns; ++j) {
    for (Eigen::Index i = 0; i < n; ++i) {
      d.X(i, j) = z[static_cast<std::size_t>((j - 1) * n + i)];
    }
  }
  return d;
}

const PopulationDesign& census() {
  static const PopulationDesign pop = make_design(kAreas, kUnits / kAreas, 1);
  return pop;
}

// The census with population weights (household sizes 1 .. 6).
const PopulationDesign& weighted_census() {
  static const PopulationDesign pop = [] {
    PopulationDesign p = census();
    p.weights.resize(static_cast<std::size_t>(p.X.rows()));
    for (std::size_t i = 0; i < p.weights.size(); ++i) p.weights[i] = double(1 + i % 6);
    return p;
  }();
  return pop;
}

struct Model {
  Eigen::VectorXd beta;
  double sigma_u, sigma_e;
  EbpScale scale;
  double threshold;
};

// Log incomes around exp(9), or Box-Cox (0.2) incomes on a similar scale.
Model model(int transformation) {
  Model m{Eigen::VectorXd::Constant(kColumns, 0.05), 0.3, 0.6, {}, 4800.0};
  if (transformation == 0) {
    m.beta(0) = 9.0;
    m.scale.back_transformation = BackTransformation::log();
  } else {
    m.beta(0) = 25.0;
    m.sigma_u = 1.0;
    m.sigma_e = 2.0;
    m.scale.back_transformation = BackTransformation::box_cox(0.2);
  }
  return m;
}

std::vector<IndicatorEntry> indicators(int set) {
  if (set == 1) {
    return {Indicator::MEAN,        Indicator::POVERTY_HEADCOUNT,
            Indicator::POVERTY_GAP, Indicator::POVERTY_SEVERITY,
            Indicator::GINI,        Indicator::QSR};
  }
  return {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::POVERTY_GAP,
          Indicator::POVERTY_SEVERITY};
}

void BM_SimulateEbp(benchmark::State& state) {
  const Model m = model(static_cast<int>(state.range(0)));
  const IndicatorSet set(indicators(static_cast<int>(state.range(1))), m.threshold);
  omp_set_num_threads(static_cast<int>(state.range(2)));
  const PopulationDesign& pop = state.range(3) != 0 ? weighted_census() : census();
  const Eigen::VectorXd u_hat = Eigen::VectorXd::Constant(kAreas, 0.1);
  const Eigen::VectorXd gamma = Eigen::VectorXd::Constant(kAreas, 0.5);
  // With regions: 20 regions of 100 consecutive areas each.
  std::vector<std::vector<Eigen::Index>> regions;
  if (state.range(4) != 0) {
    regions.resize(20);
    for (Eigen::Index a = 0; a < kAreas; ++a) {
      regions[static_cast<std::size_t>(a / 100)].push_back(a);
    }
  }
  constexpr int n_mc = 50;
  std::uint64_t seed = 0;
  for (auto _ : state) {
    const Eigen::MatrixXd ebp =
        simulate_ebp(random::key_from_seed(++seed), n_mc, pop, m.beta, u_hat, gamma, m.sigma_u,
                     m.sigma_e, m.scale, set, nullptr, regions);
    benchmark::DoNotOptimize(ebp.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * n_mc * kUnits);
}
BENCHMARK(BM_SimulateEbp)
    ->ArgNames({"boxcox", "all6", "threads", "weighted", "regions"})
    ->Args({0, 0, 1, 0, 0})
    ->Args({1, 0, 1, 0, 0})
    ->Args({0, 1, 1, 0, 0})
    ->Args({1, 1, 1, 0, 0})
    ->Args({0, 0, 2, 0, 0})
    ->Args({1, 1, 2, 0, 0})
    ->Args({0, 0, 1, 1, 0})
    ->Args({0, 1, 1, 1, 0})
    ->Args({1, 1, 1, 1, 0})
    ->Args({0, 0, 1, 0, 1})
    ->Args({0, 1, 1, 0, 1})
    ->Args({0, 1, 1, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_Normal(benchmark::State& state) {
  std::vector<double> out(static_cast<std::size_t>(kUnits / kAreas));
  std::uint64_t seed = 0;
  for (auto _ : state) {
    for (Eigen::Index a = 0; a < kAreas; ++a) random::normal(random::key_from_seed(++seed), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kUnits);
}
BENCHMARK(BM_Normal)->Unit(benchmark::kMillisecond);

void BM_BootstrapEbp(benchmark::State& state) {
  const Model m = model(0);
  const IndicatorSet set(indicators(0), m.threshold);
  omp_set_num_threads(static_cast<int>(state.range(1)));
  // 1,000 of the 2,000 areas sampled, 5 units each.
  const SampleDesign sample = make_design(kAreas / 2, 5, 2);
  Eigen::VectorXi idx(kAreas / 2);
  for (Eigen::Index v = 0; v < idx.size(); ++v) idx(v) = static_cast<int>(2 * v);
  for (auto _ : state) {
    const EbpBootstrapResult r = mse_bootstrap_ebp(
        random::key_from_seed(3), static_cast<int>(state.range(0)), 50, sample, census(), idx,
        m.beta, m.sigma_u, m.sigma_e, m.scale, set, {.batch_size = 10, .on_progress = {}});
    benchmark::DoNotOptimize(r.mse.data());
  }
}
BENCHMARK(BM_BootstrapEbp)
    ->ArgNames({"n_reps", "threads"})
    ->Args({10, 1})
    ->Args({10, 2})
    ->Args({100, 1})
    ->Args({100, 2})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// Distinct unsorted inputs of n log-normal incomes each, about 2^17 values in
// all (at least 16 inputs), stored one after the other.
std::vector<double> incomes(std::size_t n, std::size_t& count) {
  count = std::max<std::size_t>(16, (std::size_t{1} << 17) / n);
  std::mt19937_64 gen(n);
  std::lognormal_distribution<double> income(8.5, 0.8);
  std::vector<double> v(n * count);
  for (double& x : v) x = income(gen);
  return v;
}

// kMode: 0 = copy only, 1 = copy and sort_values, 2 = copy and std::sort.
template <int kMode>
void BM_Sort(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::size_t count = 0;
  const std::vector<double> inputs = incomes(n, count);
  std::vector<double> v(n);
  std::size_t next = 0;
  for (auto _ : state) {
    const auto first = inputs.begin() + static_cast<std::ptrdiff_t>(next * n);
    std::copy(first, first + static_cast<std::ptrdiff_t>(n), v.begin());
    if (++next == count) next = 0;
    if constexpr (kMode == 1) {
      sort_values(v);
    } else if constexpr (kMode == 2) {
      std::sort(v.begin(), v.end());
    }
    benchmark::DoNotOptimize(v.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Sort<1>)
    ->Name("SortValues")
    ->Arg(16)
    ->Arg(64)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(4000);
BENCHMARK(BM_Sort<2>)
    ->Name("StdSort")
    ->Arg(16)
    ->Arg(64)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(4000);
BENCHMARK(BM_Sort<0>)
    ->Name("CopyValues")
    ->Arg(16)
    ->Arg(64)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(4000);

}  // namespace

BENCHMARK_MAIN();
