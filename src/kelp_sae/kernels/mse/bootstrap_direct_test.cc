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

// One area over two strata: stratum 0 holds two one-unit PSUs of weight 10
// with incomes 0 and 10, stratum 1 twenty PSUs of weight 1 with income 5.
// A Rao-Wu replicate draws one PSU of stratum 0 and gives it weight 20 (2
// times 10), and 19 of stratum 1 rescaled by 20/19 (weight 20 in all), so
// the weighted mean is 2.5 or 7.5 with probability 1/2 each: variance 6.25.
// Drawing n_h clusters, leaving out the n_h / m_h rescaling or the design
// weights each moves it far from that.
struct TwoStrata {
  std::vector<double> y, w;
  std::vector<std::int32_t> area, cluster, stratum;
  TwoStrata() {
    for (std::int32_t i = 0; i < 22; ++i) {
      y.push_back(i < 2 ? 10.0 * i : 5.0);
      w.push_back(i < 2 ? 10.0 : 1.0);
      area.push_back(0);
      cluster.push_back(i);
      stratum.push_back(i < 2 ? 0 : 1);
    }
  }
  Eigen::MatrixXd variance(int n_reps, std::uint64_t seed) const {
    const DirectSample s{.y = y, .weights = w, .area = area, .n_areas = 1};
    return bootstrap_direct_variance(random::key_from_seed(seed), n_reps, s,
                                     {.cluster = cluster, .cluster_stratum = stratum},
                                     {Indicator::MEAN}, {.value = 1.0});
  }
};

TEST(BootstrapDirect, RaoWuRescalesTheDrawnClustersOfEachStratum) {
  const TwoStrata d;
  EXPECT_NEAR(d.variance(4000, 1)(0, 0), 6.25, 0.25);
  // Two replicates of means 2.5 and 7.5 have the sample variance 12.5 (divisor
  // R - 1); equal means give 0.
  int differing = 0;
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    const double v = d.variance(2, seed)(0, 0);
    EXPECT_TRUE(std::abs(v) < 1e-12 || std::abs(v - 12.5) < 1e-12) << seed << ": " << v;
    differing += std::abs(v - 12.5) < 1e-12 ? 1 : 0;
  }
  EXPECT_GT(differing, 0);
}

TEST(BootstrapDirect, NoVarianceFromFewerThanTwoReplicatesWithTheAreaDrawn) {
  // Areas 0 and 1 are the two PSUs of one stratum: every replicate draws one
  // of them, so the other has no estimate. Two replicates drawing different
  // PSUs leave each area one estimate, and no variance.
  const std::vector<double> y = {1.0, 2.0, 3.0, 4.0};
  const std::vector<double> w(4, 1.0);
  const std::vector<std::int32_t> area = {0, 0, 1, 1}, stratum = {0, 0};
  const DirectSample s{.y = y, .weights = w, .area = area, .n_areas = 2};
  for (std::uint64_t seed = 1; seed <= 8; ++seed) {
    const Eigen::MatrixXd var = bootstrap_direct_variance(
        random::key_from_seed(seed), 2, s, {.cluster = area, .cluster_stratum = stratum},
        {Indicator::MEAN}, {.value = 1.0});
    EXPECT_TRUE(std::isnan(var(0, 0)) || std::isnan(var(0, 1))) << seed;
  }
}

}  // namespace
}  // namespace kelp_sae::kernels
