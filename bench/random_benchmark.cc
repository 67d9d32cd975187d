// Throughput of the counter-based generator: normal draws and key splitting.
//
// Reports items per second; ns per normal = 1e9 / items_per_second (n = 1 is
// the cost of one call, as for an area effect; 500 an area of the EBP
// benchmark). Run with
// --benchmark_filter=Normal to time the draws alone.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "kelp_sae/random/keys.h"

namespace {

using kelp_sae::random::Key;

void BM_Normal(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<double> out(n);
  Key key = kelp_sae::random::key_from_seed(42);
  std::uint32_t round = 0;
  for (auto _ : state) {
    kelp_sae::random::normal(key, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    key = kelp_sae::random::fold_in(key, ++round);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Normal)->Arg(1)->Arg(50)->Arg(500)->Arg(10000)->Arg(1000000);

void BM_Uniform(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  std::vector<double> out(n);
  const Key key = kelp_sae::random::key_from_seed(42);
  for (auto _ : state) {
    kelp_sae::random::uniform(key, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Uniform)->Arg(1000000);

void BM_Split(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Key key = kelp_sae::random::key_from_seed(42);
  for (auto _ : state) {
    std::vector<Key> keys = kelp_sae::random::split(key, n);
    benchmark::DoNotOptimize(keys.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Split)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
