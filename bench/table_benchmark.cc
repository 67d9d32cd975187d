// Table operations at the sizes the unit-level model meets: a million unit
// records grouped by about a thousand areas, joined to area tables, read from
// CSV, and design-based domain estimation on them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kelp/sample.h"
#include "kelp/table.h"

namespace {

constexpr std::int64_t kAreas = 1000;

std::string area_label(std::int64_t area) {
  std::string label = "A";
  label += std::to_string(area);
  return label;
}

kelp::Table unit_table(std::size_t n) {
  std::vector<std::int64_t> area(n);
  std::vector<std::string> label(n);
  std::vector<double> y(n);
  std::uint64_t state = 88172645463325252ULL;
  for (std::size_t i = 0; i < n; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    area[i] = static_cast<std::int64_t>(state % kAreas);
    label[i] = area_label(area[i]);
    y[i] = static_cast<double>(state % 100000) / 100.0;
  }
  return kelp::Table({{"area", kelp::Column(std::move(area))},
                      {"label", kelp::Column(std::move(label))},
                      {"y", kelp::Column(std::move(y))}});
}

void BM_GroupByIntegerKey(benchmark::State& state) {
  const kelp::Table t = unit_table(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(t.group_by("area"));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GroupByIntegerKey)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_GroupByTextKey(benchmark::State& state) {
  const kelp::Table t = unit_table(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(t.group_by("label"));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_GroupByTextKey)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_SortByText(benchmark::State& state) {
  const kelp::Table t = unit_table(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(t.sort_by("label"));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_SortByText)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_LeftJoinAreaTable(benchmark::State& state) {
  const kelp::Table units = unit_table(static_cast<std::size_t>(state.range(0)));
  std::vector<std::string> labels;
  std::vector<double> x;
  for (std::int64_t a = 0; a < kAreas; ++a) {
    labels.push_back(area_label(a));
    x.push_back(static_cast<double>(a));
  }
  const kelp::Table areas({{"label", kelp::Column(labels)}, {"x", kelp::Column(x)}});
  for (auto _ : state) benchmark::DoNotOptimize(units.left_join(areas, "label"));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LeftJoinAreaTable)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_ReadCsv(benchmark::State& state) {
  const std::string text =
      kelp::to_csv_string(unit_table(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(kelp::read_csv_string(text));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ReadCsv)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_DomainMean(benchmark::State& state) {
  const kelp::Sample s(unit_table(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(s.estimation().mean({.y = "y", .by = "area"}));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_DomainMean)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
