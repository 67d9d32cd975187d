// Benchmarking of area estimates to national targets, for the indicators that
// add up over people (the mean and the FGT poverty measures).
//
// With N_a the population size of census area a (the sum of its population
// weights, or its record count without weights) and A = sum_a N_a est_a /
// sum_a N_a the population-weighted national average of the estimates:
//   ratio   est_a <- est_a * target / A
//   raking  est_a <- est_a + (target - A)
// after which the population-weighted national average of the estimates
// equals the target (to rounding). Groups of areas (regions) are then
// recomputed from the benchmarked areas, est_g = sum_{a in g} N_a est_a /
// sum_{a in g} N_a (0 for a group of no population, as a weighted indicator
// of no weight), which is what the Monte Carlo gives them before
// benchmarking, since these indicators are population-weighted averages of
// their areas'.
//
//   const Eigen::VectorXd sizes = area_population_sizes(census);
//   const RowBenchmark r = benchmark_row(ebp, {.row = 0, .target = 1250.0},
//                                        BenchmarkType::kRatio, sizes, groups);
//   if (!r.done) ...  // a ratio to a zero (or non-finite) national average
#pragma once

#include <Eigen/Core>
#include <vector>

#include "kelp_sae/core/enumerations.h"
#include "kelp_sae/kernels/simulations/ebp_monte_carlo.h"

namespace kelp_sae::kernels {

enum class BenchmarkType { kRatio, kRaking };

// Whether a national target can fix the indicator: the mean, headcount, gap
// and severity, which are population-weighted averages over areas.
bool adds_up_over_people(Indicator indicator);

// N_a of every census area: the sum of its population weights, or its
// record count without weights.
Eigen::VectorXd area_population_sizes(const PopulationDesign& population);

// sum_a N_a v_a / sum_a N_a over the areas of positive size, summed in area
// order; NaN when no area has people. Throws std::invalid_argument when the
// lengths differ.
double population_weighted_average(const Eigen::Ref<const Eigen::VectorXd>& values,
                                   const Eigen::Ref<const Eigen::VectorXd>& sizes);

// Which rows of a K x (M + G) matrix of estimates are benchmarked, and how
// (the bootstrap's option; the targets are each replicate's own). No rows:
// no benchmark.
struct BenchmarkedRows {
  std::vector<Eigen::Index> rows;
  BenchmarkType type = BenchmarkType::kRatio;
};

// One benchmarked row of a K x (M + G) matrix of estimates and its target.
struct BenchmarkRow {
  Eigen::Index row = 0;
  double target = 0.0;
};

// What benchmarking a row found: the national average A of its area
// estimates before benchmarking, and whether the row was benchmarked. A
// ratio to A = 0, or any A or target that is not finite, leaves the row
// unchanged (done = false).
struct RowBenchmark {
  double average = 0.0;
  bool done = false;
};

// Benchmarks the M area columns of row `b.row` of `estimates` (K x (M + G),
// the M = sizes.size() areas first, then the groups) to b.target and
// recomputes the row's G group columns from them. Throws
// std::invalid_argument for a row out of range, a column count other than
// M + G or a group naming an area outside 0..M-1.
RowBenchmark benchmark_row(Eigen::Ref<Eigen::MatrixXd> estimates, BenchmarkRow b,
                           BenchmarkType type, const Eigen::Ref<const Eigen::VectorXd>& sizes,
                           AreaGroups groups = {});

}  // namespace kelp_sae::kernels
