#include "kelp_sae/kernels/simulations/ebp_monte_carlo.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <vector>

namespace kelp_sae::kernels {
namespace {

using random::Key;

// Three areas of 200, 0 and 333 units (not lane multiples), p = 2.
PopulationDesign make_census() {
  const std::vector<Eigen::Index> sizes = {200, 0, 333};
  PopulationDesign pop;
  pop.offsets = {0};
  for (const Eigen::Index s : sizes) pop.offsets.push_back(pop.offsets.back() + s);
  const std::vector<double> x = random::normal(random::key_from_seed(5), 533);
  pop.X.resize(533, 2);
  for (Eigen::Index i = 0; i < 533; ++i) pop.X.row(i) << 1.0, x[static_cast<std::size_t>(i)];
  return pop;
}

const Eigen::Vector2d kBeta(1.0, 0.4);
const Eigen::Vector3d kUHat(0.2, 0.0, -0.1);
const Eigen::Vector3d kGamma(0.6, 0.0, 0.8);
constexpr double kSigmaU = 0.5, kSigmaE = 0.6;

double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Indicators of replicate r in area a from the documented key rule, with
// scalar arithmetic.
std::vector<double> reference(const PopulationDesign& pop, Key key, int n_mc, int r, Eigen::Index a,
                              const Eigen::VectorXd& u_hat, const Eigen::VectorXd& gamma,
                              const EbpScale& scale, const IndicatorSet& set) {
  const auto m = static_cast<std::size_t>(pop.n_areas());
  const auto [k1, k2] = random::split2(random::split(key, std::size_t(n_mc))[std::size_t(r)]);
  const Key effect = random::split(k1, m)[std::size_t(a)];
  const Key error = random::split(k2, m)[std::size_t(a)];
  const Eigen::Index n = pop.n_units(a);
  const double u = u_hat(a) + kSigmaU * std::sqrt(1.0 - gamma(a)) * random::normal(effect, 1)[0];
  const std::vector<double> e = random::normal(error, std::size_t(n));
  std::vector<double> y(static_cast<std::size_t>(n));
  for (Eigen::Index j = 0; j < n; ++j) {
    const double xb = pop.X.row(pop.offsets[std::size_t(a)] + j).dot(kBeta);
    y[std::size_t(j)] =
        scale.back_transformation.apply(xb + u + kSigmaE * e[std::size_t(j)]) - scale.shift;
  }
  std::vector<double> out(set.size());
  set.evaluate(y, out);
  return out;
}

TEST(SimulateEbp, OneReplicateFollowsTheDocumentedDraws) {
  const PopulationDesign pop = make_census();
  const Key key = random::key_from_seed(21);
  const IndicatorSet set({Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::POVERTY_GAP,
                          Indicator::POVERTY_SEVERITY, Indicator::GINI, Indicator::QSR},
                         2.5);
  for (const BackTransformation g :
       {BackTransformation::none(), BackTransformation::log(), BackTransformation::box_cox(0.3),
        BackTransformation::box_cox(-0.4)}) {
    SCOPED_TRACE(static_cast<int>(g.kind) * 10 + g.lambda);
    const EbpScale scale{.back_transformation = g, .shift = 0.25};
    const Eigen::MatrixXd got =
        simulate_ebp(key, 1, pop, kBeta, kUHat, kGamma, kSigmaU, kSigmaE, scale, set);
    for (Eigen::Index a = 0; a < 3; ++a) {
      const std::vector<double> expected = reference(pop, key, 1, 0, a, kUHat, kGamma, scale, set);
      for (std::size_t k = 0; k < set.size(); ++k) {
        if (std::isnan(expected[k])) {  // a QSR undefined on a small area
          EXPECT_TRUE(std::isnan(got(Eigen::Index(k), a))) << "area " << a << " indicator " << k;
          continue;
        }
        EXPECT_NEAR(got(Eigen::Index(k), a), expected[k],
                    1e-11 * std::max(1.0, std::fabs(expected[k])))
            << "area " << a << " indicator " << k;
      }
    }
  }
}

TEST(SimulateEbp, ReplicatesTakenInChunksFollowTheSameDraws) {
  // So many areas that the replicates' area keys are held one replicate at a
  // time; areas hold 0, 1 or 2 units.
  constexpr Eigen::Index m = 140'000;
  PopulationDesign pop;
  pop.offsets = {0};
  for (Eigen::Index a = 0; a < m; ++a) pop.offsets.push_back(pop.offsets.back() + a % 3);
  pop.X.resize(pop.offsets.back(), 2);
  for (Eigen::Index i = 0; i < pop.X.rows(); ++i) pop.X.row(i) << 1.0, double(i % 7) / 7.0;
  const Eigen::VectorXd u_hat = Eigen::VectorXd::Constant(m, 0.1);
  const Eigen::VectorXd gamma = Eigen::VectorXd::Constant(m, 0.5);
  const IndicatorSet set({Indicator::MEAN}, 1.0);
  const Key key = random::key_from_seed(6);
  const Eigen::MatrixXd got =
      simulate_ebp(key, 3, pop, kBeta, u_hat, gamma, kSigmaU, kSigmaE, {}, set);
  for (const Eigen::Index a : {Eigen::Index{1}, Eigen::Index{2}, Eigen::Index{70'000}, m - 1}) {
    SCOPED_TRACE(a);
    double expected = 0.0;
    for (int r = 0; r < 3; ++r) expected += reference(pop, key, 3, r, a, u_hat, gamma, {}, set)[0];
    EXPECT_NEAR(got(0, a), expected / 3.0, 1e-13);
  }
}

TEST(SimulateEbp, ClosedFormsAtLargeNmc) {
  const PopulationDesign pop = make_census();
  constexpr int n_mc = 4000;
  constexpr double z = 1.2;
  const IndicatorSet set({Indicator::MEAN, Indicator::POVERTY_HEADCOUNT}, z);
  const Eigen::MatrixXd none =
      simulate_ebp(random::key_from_seed(8), n_mc, pop, kBeta, kUHat, kGamma, kSigmaU, kSigmaE,
                   {.back_transformation = BackTransformation::none()}, set);
  const Eigen::MatrixXd logged =
      simulate_ebp(random::key_from_seed(9), n_mc, pop, kBeta, kUHat, kGamma, kSigmaU, kSigmaE,
                   {.back_transformation = BackTransformation::log(), .shift = 0.5}, set);
  for (const Eigen::Index a : {0, 2}) {
    SCOPED_TRACE(a);
    const Eigen::Index n = pop.n_units(a);
    const Eigen::VectorXd xb = pop.X.middleRows(pop.offsets[std::size_t(a)], n) * kBeta;
    const double var_cond = kSigmaU * kSigmaU * (1.0 - kGamma(a));
    const double sd_total = std::sqrt(var_cond + kSigmaE * kSigmaE);
    double headcount = 0.0, log_mean = 0.0;
    for (Eigen::Index j = 0; j < n; ++j) {
      headcount += normal_cdf((z - xb(j) - kUHat(a)) / sd_total) / double(n);
      log_mean += std::exp(xb(j) + kUHat(a) + 0.5 * sd_total * sd_total) / double(n);
    }
    // Monte Carlo standard errors: the replicate mean varies through the
    // area effect and the mean error; the headcount's variance is at most 1/4.
    const double se_mean = std::sqrt((var_cond + kSigmaE * kSigmaE / double(n)) / n_mc);
    EXPECT_NEAR(none(0, a), xb.mean() + kUHat(a), 4.0 * se_mean);
    EXPECT_NEAR(none(1, a), headcount, 4.0 * 0.5 / std::sqrt(n_mc));
    // For the log scale the relative standard error is about the same.
    EXPECT_NEAR(logged(0, a), log_mean - 0.5, 5.0 * se_mean * log_mean);
  }
  // The empty area contributes zeros.
  EXPECT_EQ(none.col(1), Eigen::Vector2d::Zero());
}

TEST(SimulateEbp, FullShrinkageFixesTheAreaEffect) {
  // gamma = 1 and sigma_e = 0: every replicate equals x' beta + u_hat.
  const PopulationDesign pop = make_census();
  const IndicatorSet set({Indicator::MEAN}, 1.0);
  const Eigen::MatrixXd got = simulate_ebp(random::key_from_seed(2), 7, pop, kBeta, kUHat,
                                           Eigen::Vector3d::Ones(), kSigmaU, 0.0, {}, set);
  for (const Eigen::Index a : {0, 2}) {
    const Eigen::Index n = pop.n_units(a);
    const double expected =
        (pop.X.middleRows(pop.offsets[std::size_t(a)], n) * kBeta).mean() + kUHat(a);
    EXPECT_NEAR(got(0, a), expected, 1e-13);
  }
}

TEST(SimulateEbp, SameNumbersForAnyThreadCount) {
  // 80 x 533 simulated units: enough to run the areas, or the (replicate,
  // block) items of a run with groups, in parallel.
  const PopulationDesign pop = make_census();
  const IndicatorSet set({Indicator::MEAN, Indicator::GINI, Indicator::POVERTY_GAP}, 3.0);
  const EbpScale scale{.back_transformation = BackTransformation::box_cox(0.2)};
  const std::vector<std::vector<Eigen::Index>> national = {{0, 1, 2}};
  const std::vector<std::vector<Eigen::Index>> two = {{2}, {0, 2}};
  const int threads = omp_get_max_threads();
  for (const AreaGroups groups : {AreaGroups{}, AreaGroups(national), AreaGroups(two)}) {
    SCOPED_TRACE(groups.size());
    Eigen::MatrixXd got[2];
    for (const int t : {1, 2}) {
      omp_set_num_threads(t);
      got[t - 1] = simulate_ebp(random::key_from_seed(4), 80, pop, kBeta, kUHat, kGamma, kSigmaU,
                                kSigmaE, scale, set, nullptr, groups);
    }
    omp_set_num_threads(threads);
    EXPECT_EQ(got[0], got[1]);
  }
}

// make_census() with population weights 0 .. 4, larger where x > 0.
PopulationDesign make_weighted_census() {
  PopulationDesign pop = make_census();
  for (Eigen::Index i = 0; i < pop.X.rows(); ++i) {
    pop.weights.push_back((pop.X(i, 1) > 0.0 ? 3.0 : 0.0) + double(i % 2));
  }
  return pop;
}

TEST(SimulateEbp, IntegerWeightsEqualTheRepeatedCensus) {
  // Without unit errors every value is fixed by the area effect, whose draw
  // does not depend on the units, so the weighted census and the census
  // with each record repeated w times give the same indicators, in the
  // Monte Carlo and in the bootstrap's true census.
  const PopulationDesign weighted = make_weighted_census();
  PopulationDesign repeated;
  repeated.offsets = {0};
  std::vector<Eigen::Index> rows;
  for (Eigen::Index a = 0; a < weighted.n_areas(); ++a) {
    for (Eigen::Index i = weighted.offsets[std::size_t(a)];
         i < weighted.offsets[std::size_t(a) + 1]; ++i) {
      rows.insert(rows.end(), std::size_t(weighted.weights[std::size_t(i)]), i);
    }
    repeated.offsets.push_back(Eigen::Index(rows.size()));
  }
  repeated.X = weighted.X(rows, Eigen::all);
  const IndicatorSet set({Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::POVERTY_GAP,
                          Indicator::POVERTY_SEVERITY, Indicator::GINI, Indicator::QSR},
                         2.5);
  const EbpScale scale{.back_transformation = BackTransformation::log(), .shift = 0.25};
  const Key key = random::key_from_seed(12);
  const Eigen::MatrixXd mc_w =
      simulate_ebp(key, 30, weighted, kBeta, kUHat, kGamma, kSigmaU, 0.0, scale, set);
  const Eigen::MatrixXd mc_r =
      simulate_ebp(key, 30, repeated, kBeta, kUHat, kGamma, kSigmaU, 0.0, scale, set);
  const Eigen::MatrixXd truth_w = census_indicators(key, weighted, kBeta, kUHat, 0.0, scale, set);
  const Eigen::MatrixXd truth_r = census_indicators(key, repeated, kBeta, kUHat, 0.0, scale, set);
  EXPECT_TRUE(mc_w.isApprox(mc_r, 1e-12)) << mc_w << "\n\n" << mc_r;
  EXPECT_TRUE(truth_w.isApprox(truth_r, 1e-12)) << truth_w << "\n\n" << truth_r;
  // Without the weights the indicators differ.
  PopulationDesign unweighted = weighted;
  unweighted.weights.clear();
  EXPECT_FALSE(mc_w.isApprox(
      simulate_ebp(key, 30, unweighted, kBeta, kUHat, kGamma, kSigmaU, 0.0, scale, set), 1e-3));
}

TEST(SimulateEbp, GroupsPoolTheValuesOfTheirAreas) {
  // A group of one area is that area exactly; for the additive indicators a
  // group is the unit-weighted average of its areas; the area columns do not
  // change when groups are added. In the Monte Carlo and the true census.
  const IndicatorSet set({Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::POVERTY_GAP,
                          Indicator::POVERTY_SEVERITY, Indicator::GINI},
                         2.5);
  const EbpScale scale{.back_transformation = BackTransformation::log(), .shift = 0.25};
  const Key key = random::key_from_seed(31);
  const std::vector<std::vector<Eigen::Index>> groups = {{2, 0}, {1, 2}};
  const std::vector<std::vector<Eigen::Index>> single = {{2}};
  for (const bool weighted : {false, true}) {
    SCOPED_TRACE(weighted);
    const PopulationDesign pop = weighted ? make_weighted_census() : make_census();
    Eigen::Vector3d size;
    for (Eigen::Index a = 0; a < 3; ++a) {
      size(a) = 0.0;
      for (Eigen::Index i = pop.offsets[std::size_t(a)]; i < pop.offsets[std::size_t(a) + 1]; ++i) {
        size(a) += weighted ? pop.weights[std::size_t(i)] : 1.0;
      }
    }
    const Eigen::MatrixXd areas_only =
        simulate_ebp(key, 7, pop, kBeta, kUHat, kGamma, kSigmaU, kSigmaE, scale, set);
    const Eigen::MatrixXd mc = simulate_ebp(key, 7, pop, kBeta, kUHat, kGamma, kSigmaU, kSigmaE,
                                            scale, set, nullptr, groups);
    const Eigen::MatrixXd truth =
        census_indicators(key, pop, kBeta, kUHat, kSigmaE, scale, set, std::span(single));
    const Eigen::MatrixXd truth_areas =
        census_indicators(key, pop, kBeta, kUHat, kSigmaE, scale, set);
    ASSERT_EQ(mc.cols(), 5);
    EXPECT_EQ(mc.leftCols(3), areas_only);
    EXPECT_EQ(truth.leftCols(3), truth_areas);
    EXPECT_EQ(truth.col(3), truth_areas.col(2));
    // Group 1 holds the empty area 1 and area 2: area 2 exactly.
    EXPECT_TRUE(mc.col(4).isApprox(mc.col(2), 1e-13)) << mc;
    for (Eigen::Index k = 0; k < 4; ++k) {
      const double average = (size(0) * mc(k, 0) + size(2) * mc(k, 2)) / (size(0) + size(2));
      EXPECT_NEAR(mc(k, 3), average, 1e-12 * std::fabs(average)) << "indicator " << k;
    }
  }
  const std::vector<std::vector<Eigen::Index>> outside = {{0, 3}};
  EXPECT_THROW(simulate_ebp(key, 2, make_census(), kBeta, kUHat, kGamma, kSigmaU, kSigmaE, {}, set,
                            nullptr, outside),
               std::invalid_argument);
}

TEST(CensusIndicators, ARegionIsTheAreaItsUnitsWouldForm) {
  // Areas 0 and 2 are consecutive rows (area 1 is empty): with one area
  // effect for both, the census draws of the region {2, 0} are those of a
  // census whose one area holds all 533 rows, for every indicator, weighted
  // or not (the region's own weights, its units' draw positions).
  const IndicatorSet set({Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::GINI,
                          Indicator::QSR, Indicator::MEDIAN},
                         2.5);
  const EbpScale scale{.back_transformation = BackTransformation::log()};
  const Key key = random::key_from_seed(12);
  const std::vector<std::vector<Eigen::Index>> region = {{2, 0}};
  for (const bool weighted : {false, true}) {
    SCOPED_TRACE(weighted);
    const PopulationDesign pop = weighted ? make_weighted_census() : make_census();
    PopulationDesign one = pop;
    one.offsets = {0, 533};
    const Eigen::MatrixXd by_region = census_indicators(key, pop, kBeta, Eigen::Vector3d::Zero(),
                                                        kSigmaE, scale, set, std::span(region));
    const Eigen::MatrixXd whole =
        census_indicators(key, one, kBeta, Eigen::VectorXd::Zero(1), kSigmaE, scale, set);
    EXPECT_TRUE(by_region.col(3).isApprox(whole.col(0), 1e-12)) << by_region << "\n" << whole;
  }
}

TEST(SimulateEbp, WeightedHeadcountClosedFormUnderLog) {
  // E headcount_a = sum_i w_i Phi((log(z + shift) - x_i' beta - u_a) / sd) / sum_i w_i,
  // sd^2 = sigma_u^2 (1 - gamma_a) + sigma_e^2. The replicate headcount lies
  // in [0, 1], so its Monte Carlo standard error is at most 0.5 / sqrt(n_mc)
  // (0.0035 here); the unweighted value differs from the weighted one by
  // more than 0.05 in both areas.
  const PopulationDesign pop = make_weighted_census();
  constexpr int n_mc = 20000;
  constexpr double z = 2.5, shift = 0.5;
  const IndicatorSet set({Indicator::POVERTY_HEADCOUNT}, z);
  const Eigen::MatrixXd got =
      simulate_ebp(random::key_from_seed(31), n_mc, pop, kBeta, kUHat, kGamma, kSigmaU, kSigmaE,
                   {.back_transformation = BackTransformation::log(), .shift = shift}, set);
  for (const Eigen::Index a : {0, 2}) {
    SCOPED_TRACE(a);
    const double sd = std::sqrt(kSigmaU * kSigmaU * (1.0 - kGamma(a)) + kSigmaE * kSigmaE);
    double num = 0.0, den = 0.0, plain = 0.0;
    const Eigen::Index n = pop.n_units(a);
    for (Eigen::Index j = 0; j < n; ++j) {
      const Eigen::Index i = pop.offsets[std::size_t(a)] + j;
      const double p = normal_cdf((std::log(z + shift) - pop.X.row(i).dot(kBeta) - kUHat(a)) / sd);
      num += pop.weights[std::size_t(i)] * p;
      den += pop.weights[std::size_t(i)];
      plain += p / double(n);
    }
    ASSERT_GT(std::fabs(num / den - plain), 0.05);
    EXPECT_NEAR(got(0, a), num / den, 4.0 * 0.5 / std::sqrt(n_mc));
  }
}

TEST(SimulateEbp, RejectsBadArguments) {
  const PopulationDesign pop = make_census();
  const IndicatorSet set({Indicator::MEAN}, 1.0);
  const Key key = random::key_from_seed(1);
  EXPECT_THROW(simulate_ebp(key, 0, pop, kBeta, kUHat, kGamma, kSigmaU, kSigmaE, {}, set),
               std::invalid_argument);
  EXPECT_THROW(
      simulate_ebp(key, 5, pop, Eigen::Vector3d::Ones(), kUHat, kGamma, kSigmaU, kSigmaE, {}, set),
      std::invalid_argument);
  EXPECT_THROW(simulate_ebp(key, 5, pop, kBeta, kUHat.head(2), kGamma, kSigmaU, kSigmaE, {}, set),
               std::invalid_argument);
  EXPECT_THROW(simulate_ebp(key, 5, pop, kBeta, kUHat, kGamma, -1.0, kSigmaE, {}, set),
               std::invalid_argument);
  for (const double w : {-1.0, std::nan("")}) {
    PopulationDesign weighted = make_weighted_census();
    weighted.weights[7] = w;
    EXPECT_THROW(simulate_ebp(key, 5, weighted, kBeta, kUHat, kGamma, kSigmaU, kSigmaE, {}, set),
                 std::invalid_argument);
    weighted.weights.pop_back();  // one weight short
    EXPECT_THROW(census_indicators(key, weighted, kBeta, kUHat, kSigmaE, {}, set),
                 std::invalid_argument);
  }
}

}  // namespace
}  // namespace kelp_sae::kernels
