#include "kelp_sae/kernels/mse/bootstrap_direct.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

namespace kelp_sae::kernels {
namespace {

// Two areas of 40 units with lognormal incomes and unequal weights.
struct Data {
  std::vector<double> y, w;
  std::vector<std::int32_t> area, unit;
};

Data make_data() {
  std::mt19937_64 gen(3);
  std::lognormal_distribution<double> income(1.0, 0.6);
  std::uniform_real_distribution<double> weight(1.0, 3.0);
  Data d;
  for (std::int32_t i = 0; i < 80; ++i) {
    d.y.push_back(income(gen));
    d.w.push_back(weight(gen));
    d.area.push_back(i / 40);
    d.unit.push_back(i);
  }
  return d;
}

// The with-replacement linearisation variance of the weighted mean of one
// area's units, each its own PSU: n/(n-1) sum_i (w_i (y_i - est) / W)^2.
double linearised_mean_variance(const Data& d, std::int32_t a) {
  double W = 0.0, T = 0.0, n = 0.0;
  for (std::size_t i = 0; i < d.y.size(); ++i) {
    if (d.area[i] != a) continue;
    W += d.w[i];
    T += d.w[i] * d.y[i];
    n += 1.0;
  }
  double ss = 0.0;
  for (std::size_t i = 0; i < d.y.size(); ++i) {
    if (d.area[i] == a) ss += std::pow(d.w[i] * (d.y[i] - T / W) / W, 2);
  }
  return n / (n - 1.0) * ss;
}

TEST(BootstrapDirect, VariancesOfTheMeanMatchTheLinearisedOnes) {
  // Rao-Wu with every unit its own PSU in its area's stratum has the
  // linearised variance as its expectation; the bootstrap of units within
  // areas (n of n) has (n - 1) / n of it. The relative error of a variance
  // from 3000 replicates has a standard deviation near sqrt(2 / 3000) =
  // 2.6%; 12% is beyond four of them.
  const Data d = make_data();
  const DirectSample s{.y = d.y, .weights = d.w, .area = d.area, .n_areas = 2};
  const std::vector<std::int32_t> strata = d.area;  // cluster i is unit i
  for (const bool rescaled : {true, false}) {
    SCOPED_TRACE(rescaled ? "Rao-Wu" : "units within areas");
    const Eigen::MatrixXd var = bootstrap_direct_variance(
        random::key_from_seed(9), 3000, s,
        {.cluster = d.unit, .cluster_stratum = strata, .rescaled = rescaled}, {Indicator::MEAN},
        {.value = 1.0});
    for (std::int32_t a = 0; a < 2; ++a) {
      const double expected = linearised_mean_variance(d, a) * (rescaled ? 1.0 : 39.0 / 40.0);
      EXPECT_NEAR(var(0, a) / expected, 1.0, 0.12) << a;
    }
  }
}

TEST(BootstrapDirect, SameKeySameVariancesForAnyThreadCount) {
  // PSUs of four units; area 1 sits alone in a stratum with a single PSU,
  // which keeps its weights: no variance with a fixed line, some when the
  // line follows the median of the whole sample.
  const Data d = make_data();
  std::vector<std::int32_t> cluster(80), stratum(11);
  for (std::size_t i = 0; i < 80; ++i) cluster[i] = i < 40 ? static_cast<std::int32_t>(i / 4) : 10;
  for (std::size_t c = 0; c < 11; ++c) stratum[c] = c < 10 ? static_cast<std::int32_t>(c % 2) : 2;
  const DirectSample s{.y = d.y, .weights = d.w, .area = d.area, .n_areas = 2};
  const std::vector<IndicatorEntry> entries = {Indicator::POVERTY_HEADCOUNT, Indicator::GINI,
                                               Indicator::MEDIAN};
  const auto run = [&](int threads, DirectPovertyLine line) {
    omp_set_num_threads(threads);
    return bootstrap_direct_variance(random::key_from_seed(4), 50, s,
                                     {.cluster = cluster, .cluster_stratum = stratum}, entries,
                                     line);
  };
  const int max_threads = omp_get_max_threads();
  const Eigen::MatrixXd one = run(1, {.value = 2.5});
  const Eigen::MatrixXd many = run(4, {.value = 2.5});
  omp_set_num_threads(max_threads);
  EXPECT_EQ(one, many);
  EXPECT_GT(one.col(0).minCoeff(), 0.0);
  EXPECT_LT(one.col(1).maxCoeff(), 1e-20);  // zero up to the rounding of the replicate mean
  EXPECT_GT(run(2, {.value = 0.0, .median_share = 0.6})(0, 1), 0.0);
  omp_set_num_threads(max_threads);
}

}  // namespace
}  // namespace kelp_sae::kernels
