#include "kelp_sae/kernels/simulations/benchmarking.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/support/thrown_message.h"

namespace kelp_sae::kernels {
namespace {

// A census of three areas of 40, 0 and 70 records; with weights 1 .. 5
// the areas stand for other shares of people than their record counts.
PopulationDesign make_census(bool weighted) {
  PopulationDesign pop;
  pop.offsets = {0, 40, 40, 110};
  const std::vector<double> x = random::normal(random::key_from_seed(3), 110);
  pop.X.resize(110, 2);
  for (Eigen::Index i = 0; i < 110; ++i) {
    pop.X.row(i) << 1.0, x[std::size_t(i)];
    if (weighted) pop.weights.push_back(i < 40 ? 5.0 - double(i % 2) : 1.0 + double(i % 3 == 0));
  }
  return pop;
}

TEST(Benchmark, AreaSizesArePeopleNotRecords) {
  EXPECT_EQ(area_population_sizes(make_census(false)), Eigen::Vector3d(40.0, 0.0, 70.0));
  // 20 records of 5 and 20 of 4; 23 of the 70 records (i = 42, 45, .., 108) of 2.
  EXPECT_EQ(area_population_sizes(make_census(true)), Eigen::Vector3d(180.0, 0.0, 93.0));
}

TEST(Benchmark, RatioAndRakingHitTheTargetAndRecomputeTheGroups) {
  // The weighted Monte Carlo's groups are the population-weighted averages of
  // their areas, so a benchmark to the national average itself leaves them.
  const PopulationDesign pop = make_census(true);
  const std::vector<std::vector<Eigen::Index>> groups = {{0, 1}, {0, 2}, {1}};
  const IndicatorSet set({Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::GINI}, 2.0);
  const Eigen::MatrixXd ebp =
      simulate_ebp(random::key_from_seed(9), 5, pop, Eigen::Vector2d(0.8, 0.3),
                   Eigen::Vector3d(0.1, 0.0, -0.2), Eigen::Vector3d(0.5, 0.0, 0.7), 0.4, 0.5,
                   {.back_transformation = BackTransformation::log()}, set, nullptr, groups);
  const Eigen::VectorXd sizes = area_population_sizes(pop);
  const double mean = (180.0 * ebp(0, 0) + 93.0 * ebp(0, 2)) / 273.0;
  {
    Eigen::MatrixXd same = ebp;
    const RowBenchmark r =
        benchmark_row(same, {.row = 0, .target = mean}, BenchmarkType::kRaking, sizes, groups);
    EXPECT_NEAR(r.average, mean, 1e-14 * mean);
    EXPECT_TRUE(same.isApprox(ebp, 1e-14)) << same << "\n\n" << ebp;
  }
  for (const BenchmarkType type : {BenchmarkType::kRatio, BenchmarkType::kRaking}) {
    SCOPED_TRACE(type == BenchmarkType::kRatio ? "ratio" : "raking");
    Eigen::MatrixXd got = ebp;
    ASSERT_TRUE(benchmark_row(got, {.row = 1, .target = 0.3}, type, sizes, groups).done);
    // Rows other than the benchmarked one are untouched.
    EXPECT_EQ(got.row(0), ebp.row(0));
    EXPECT_EQ(got.row(2), ebp.row(2));
    const Eigen::RowVectorXd h = got.row(1), before = ebp.row(1);
    EXPECT_NEAR((180.0 * h(0) + 93.0 * h(2)) / 273.0, 0.3, 1e-15);
    if (type == BenchmarkType::kRatio) {
      EXPECT_NEAR(h(0) / before(0), h(2) / before(2), 1e-15);
    } else {
      EXPECT_NEAR(h(0) - before(0), h(2) - before(2), 1e-15);
    }
    EXPECT_NEAR(h(3), h(0), 1e-15);  // the group {0, 1}: area 1 has no people
    EXPECT_NEAR(h(4), 0.3, 1e-15);
    EXPECT_EQ(h(5), 0.0);  // a group of no people
  }
}

TEST(Benchmark, ARatioToAZeroAverageIsRefusedAndArgumentsAreChecked) {
  const Eigen::Vector2d sizes(2.0, 1.0);
  Eigen::MatrixXd zero = Eigen::MatrixXd::Zero(1, 2);
  const RowBenchmark r =
      benchmark_row(zero, {.row = 0, .target = 0.2}, BenchmarkType::kRatio, sizes);
  EXPECT_FALSE(r.done);
  EXPECT_EQ(zero, Eigen::MatrixXd::Zero(1, 2));
  EXPECT_TRUE(benchmark_row(zero, {.row = 0, .target = 0.2}, BenchmarkType::kRaking, sizes).done);
  EXPECT_EQ(zero, Eigen::MatrixXd::Constant(1, 2, 0.2));
  Eigen::MatrixXd inf(1, 2);
  inf << 1.0, INFINITY;
  EXPECT_FALSE(benchmark_row(inf, {.row = 0, .target = 1.0}, BenchmarkType::kRaking, sizes).done);

  EXPECT_EQ(testing::thrown_message<std::invalid_argument>([&] {
              benchmark_row(zero, {.row = 1, .target = 1.0}, BenchmarkType::kRatio, sizes);
            }),
            "benchmark_row: row 1 is outside 0..0");
  const std::vector<std::vector<Eigen::Index>> groups = {{2}};
  Eigen::MatrixXd three = Eigen::MatrixXd::Ones(1, 3);
  EXPECT_EQ(testing::thrown_message<std::invalid_argument>([&] {
              benchmark_row(three, {.row = 0, .target = 1.0}, BenchmarkType::kRatio, sizes, groups);
            }),
            "benchmark_row: a group names area 2, outside 0..1");
}

}  // namespace
}  // namespace kelp_sae::kernels
