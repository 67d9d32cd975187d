#include "kelp_sae/kernels/simulations/benchmarking.h"

#include <cmath>
#include <limits>
#include <string>

#include "kelp_sae/core/checks.h"

namespace kelp_sae::kernels {

bool adds_up_over_people(Indicator indicator) {
  return indicator == Indicator::MEAN || indicator == Indicator::POVERTY_HEADCOUNT ||
         indicator == Indicator::POVERTY_GAP || indicator == Indicator::POVERTY_SEVERITY;
}

Eigen::VectorXd area_population_sizes(const PopulationDesign& population) {
  const Eigen::Index m = population.n_areas();
  Eigen::VectorXd sizes(m);
  for (Eigen::Index a = 0; a < m; ++a) {
    const auto begin = static_cast<std::size_t>(population.offsets[static_cast<std::size_t>(a)]);
    const auto end = static_cast<std::size_t>(population.offsets[static_cast<std::size_t>(a) + 1]);
    if (population.weights.empty()) {
      sizes(a) = static_cast<double>(end - begin);
      continue;
    }
    double sum = 0.0;
    for (std::size_t j = begin; j < end; ++j) sum += population.weights[j];
    sizes(a) = sum;
  }
  return sizes;
}

double population_weighted_average(const Eigen::Ref<const Eigen::VectorXd>& values,
                                   const Eigen::Ref<const Eigen::VectorXd>& sizes) {
  check(values.size() == sizes.size(), "population_weighted_average",
        "values has " + std::to_string(values.size()) + " entries but sizes has " +
            std::to_string(sizes.size()));
  double total = 0.0, weighted = 0.0;
  for (Eigen::Index a = 0; a < values.size(); ++a) {
    if (!(sizes(a) > 0.0)) continue;
    total += sizes(a);
    weighted += sizes(a) * values(a);
  }
  return total > 0.0 ? weighted / total : std::numeric_limits<double>::quiet_NaN();
}

RowBenchmark benchmark_row(Eigen::Ref<Eigen::MatrixXd> estimates, BenchmarkRow b,
                           BenchmarkType type, const Eigen::Ref<const Eigen::VectorXd>& sizes,
                           AreaGroups groups) {
  constexpr const char* kFunction = "benchmark_row";
  const Eigen::Index m = sizes.size();
  const auto g_count = static_cast<Eigen::Index>(groups.size());
  check(estimates.cols() == m + g_count, kFunction,
        "estimates has " + std::to_string(estimates.cols()) + " columns but there are " +
            std::to_string(m) + " areas and " + std::to_string(g_count) + " groups");
  check(b.row >= 0 && b.row < estimates.rows(), kFunction,
        "row " + std::to_string(b.row) + " is outside 0.." + std::to_string(estimates.rows() - 1));
  for (const std::vector<Eigen::Index>& group : groups) {
    for (const Eigen::Index a : group) {
      check(a >= 0 && a < m, kFunction,
            "a group names area " + std::to_string(a) + ", outside 0.." + std::to_string(m - 1));
    }
  }
  auto row = estimates.row(b.row);
  const double average = population_weighted_average(row.head(m).transpose(), sizes);
  const bool ratio = type == BenchmarkType::kRatio;
  if (!std::isfinite(average) || !std::isfinite(b.target) || (ratio && average == 0.0)) {
    return {.average = average, .done = false};
  }
  if (ratio) {
    row.head(m) *= b.target / average;
  } else {
    row.head(m).array() += b.target - average;
  }
  for (Eigen::Index g = 0; g < g_count; ++g) {
    double total = 0.0, weighted = 0.0;
    for (const Eigen::Index a : groups[static_cast<std::size_t>(g)]) {
      if (!(sizes(a) > 0.0)) continue;
      total += sizes(a);
      weighted += sizes(a) * row(a);
    }
    row(m + g) = total > 0.0 ? weighted / total : 0.0;
  }
  return {.average = average, .done = true};
}

}  // namespace kelp_sae::kernels
