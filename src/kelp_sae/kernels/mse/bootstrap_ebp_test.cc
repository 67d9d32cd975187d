#include "kelp_sae/kernels/mse/bootstrap_ebp.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <string>
#include <vector>

#include "kelp_sae/kernels/optimization/lmm.h"
#include "kelp_sae/kernels/optimization/lmm_newton.h"
#include "kelp_sae/kernels/prediction/pseudo_eblup.h"
#include "tests/support/simulated_share.h"
#include "tests/support/thrown_message.h"

namespace kelp_sae::kernels {
namespace {

using random::Key;

// A census of four areas (one without units) and a sample from three of
// them, drawn from a log-scale nested-error model.
struct Case {
  SampleDesign sample;
  PopulationDesign census;
  Eigen::VectorXi idx{{2, 0, 3}};
  Eigen::Vector2d beta{2.0, 0.5};
  double sigma_u = 0.3;
  double sigma_e = 0.5;
  EbpScale scale{.back_transformation = BackTransformation::log()};
  IndicatorSet indicators{{Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::GINI}, 6.0};
};

SampleDesign make_design(const std::vector<Eigen::Index>& sizes, std::uint64_t seed) {
  SampleDesign d;
  d.offsets = {0};
  for (const Eigen::Index s : sizes) d.offsets.push_back(d.offsets.back() + s);
  const Eigen::Index n = d.offsets.back();
  const std::vector<double> x = random::normal(random::key_from_seed(seed), std::size_t(n));
  d.X.resize(n, 2);
  for (Eigen::Index i = 0; i < n; ++i) d.X.row(i) << 1.0, x[std::size_t(i)];
  return d;
}

Case make_case(const std::vector<Eigen::Index>& sample_sizes = {10, 12, 8},
               const std::vector<Eigen::Index>& census_sizes = {60, 45, 0, 80}) {
  Case c;
  c.sample = make_design(sample_sizes, 1);
  c.census = make_design(census_sizes, 2);
  return c;
}

EbpBootstrapResult run(const Case& c, int n_reps, int batch_size, int n_mc = 20,
                       ReplicateShare* share = nullptr) {
  return mse_bootstrap_ebp(random::key_from_seed(17), n_reps, n_mc, c.sample, c.census, c.idx,
                           c.beta, c.sigma_u, c.sigma_e, c.scale, c.indicators,
                           {.batch_size = batch_size, .on_progress = {}, .share = share});
}

TEST(BootstrapEbp, PaddingReplicatesAreLeftOut) {
  // Five replicates in batches of two: the last batch holds replicate 4 and
  // one replicate on all-zero keys.
  const Case c = make_case();
  std::vector<std::size_t> progress;
  const EbpBootstrapResult got =
      mse_bootstrap_ebp(random::key_from_seed(17), 5, 20, c.sample, c.census, c.idx, c.beta,
                        c.sigma_u, c.sigma_e, c.scale, c.indicators,
                        {.batch_size = 2, .on_progress = [&](std::size_t done, std::size_t total) {
                           EXPECT_EQ(total, 3u);
                           progress.push_back(done);
                         }});
  EXPECT_EQ(progress, (std::vector<std::size_t>{1, 2, 3}));

  std::vector<Key> keys = random::split(random::key_from_seed(17), 15);
  keys.resize(18, Key{});
  Eigen::MatrixXd sum = Eigen::MatrixXd::Zero(3, 4);
  for (std::size_t b = 0; b < 3; ++b) {
    const std::vector<Eigen::MatrixXd> sq = run_bootstrap_ebp_batch(
        std::span<const Key>(keys).subspan(6 * b, 6), 20, c.sample, c.census, c.idx, c.beta,
        c.sigma_u, c.sigma_e, c.scale, c.indicators);
    ASSERT_EQ(sq.size(), 2u);
    sum += sq[0];
    if (b < 2) sum += sq[1];
  }
  EXPECT_EQ(got.mse, sum / 5.0);
  EXPECT_EQ(got.n_failed, 0);
  // The area without units has zero indicators in truth and estimate.
  EXPECT_EQ(got.mse.col(2), Eigen::Vector3d::Zero());
  EXPECT_TRUE((got.mse.col(1).array() > 0.0).all());  // out of sample, still estimated
}

// The EBP of one replicate recomputed from its keys (k_u, k_e, k_s) by the
// documented recipe: sample unit i takes draw i of fold_in(k_e, 1), area
// effects draw a of k_u, a sample area absent from the census (idx -1) draw
// v of fold_in(k_u, 1). The refit takes every sample unit.
Eigen::MatrixXd replay_ebp(const Case& c, std::span<const Key> keys, int n_mc,
                           AreaGroups groups = {}) {
  const Eigen::Index m = c.census.n_areas(), v_count = c.sample.n_areas(), n = c.sample.X.rows();
  const Eigen::VectorXd u = c.sigma_u * Eigen::Map<const Eigen::VectorXd>(
                                            random::normal(keys[0], std::size_t(m)).data(), m);
  const std::vector<double> u_outside =
      random::normal(random::fold_in(keys[0], 1), std::size_t(v_count));
  const std::vector<double> e_sample = random::normal(random::fold_in(keys[1], 1), std::size_t(n));
  Eigen::VectorXd y(n);
  for (Eigen::Index v = 0; v < v_count; ++v) {
    const double u_v = c.idx(v) >= 0 ? u(c.idx(v)) : c.sigma_u * u_outside[std::size_t(v)];
    for (Eigen::Index i = c.sample.offsets[std::size_t(v)];
         i < c.sample.offsets[std::size_t(v) + 1]; ++i) {
      y(i) = c.sample.X.row(i).dot(c.beta) + u_v + c.sigma_e * e_sample[std::size_t(i)];
    }
  }
  const double mean = y.mean();
  const double sd = std::sqrt((y.array() - mean).square().mean());
  const DesignStats design = precompute_design_stats(c.sample);
  NewtonReplicateStats stats;
  Eigen::VectorXd y_s = y, sum_y(v_count), Xt_y(2);
  standardize_replicate_stats(c.sample, design, mean, 1.0 / sd, y_s, sum_y, Xt_y, stats);
  Eigen::MatrixXd theta = Eigen::MatrixXd::Constant(1, 2, -0.5);
  newton_reml_iterate(design, std::span<const NewtonReplicateStats>(&stats, 1), theta, 1, 8);
  Eigen::VectorXd beta = newton_reml_beta(theta.row(0).transpose(), design, stats) * sd;
  beta(0) += mean;
  const double se = std::exp(theta(0, 0)) * sd, su = std::exp(theta(0, 1)) * sd;
  Eigen::VectorXd gamma = Eigen::VectorXd::Zero(m), u_hat = Eigen::VectorXd::Zero(m);
  for (Eigen::Index v = 0; v < v_count; ++v) {
    if (c.idx(v) < 0) continue;
    const Eigen::Index begin = c.sample.offsets[std::size_t(v)];
    const Eigen::Index n_v = c.sample.offsets[std::size_t(v) + 1] - begin;
    gamma(c.idx(v)) = su * su / (su * su + se * se / double(n_v));
    u_hat(c.idx(v)) =
        gamma(c.idx(v)) * (y.segment(begin, n_v) - c.sample.X.middleRows(begin, n_v) * beta).mean();
  }
  return simulate_ebp(keys[2], n_mc, c.census, beta, u_hat, gamma, su, se, c.scale, c.indicators,
                      nullptr, groups);
}

TEST(BootstrapEbp, OneReplicateFollowsTheDocumentedKeys) {
  // The true census recomputed unit by unit: census unit j of area a takes
  // draw offsets[a] + j of k_e, with the fitted sigma_e. The fourth sample
  // area is absent from the census.
  Case c = make_case({10, 12, 8, 9}, {60, 45, 0, 80});
  c.idx = Eigen::VectorXi{{2, 0, 3, -1}};
  const std::vector<Key> keys = random::split(random::key_from_seed(23), 3);
  const std::vector<Eigen::MatrixXd> got = run_bootstrap_ebp_batch(
      keys, 20, c.sample, c.census, c.idx, c.beta, c.sigma_u, c.sigma_e, c.scale, c.indicators);
  ASSERT_EQ(got.size(), 1u);

  Eigen::VectorXd u =
      c.sigma_u * Eigen::Map<const Eigen::VectorXd>(random::normal(keys[0], 4).data(), 4);
  const std::vector<double> e_census = random::normal(keys[1], 185);
  Eigen::MatrixXd truth(3, 4);
  for (Eigen::Index a = 0; a < 4; ++a) {
    std::vector<double> values;
    for (Eigen::Index j = c.census.offsets[std::size_t(a)];
         j < c.census.offsets[std::size_t(a) + 1]; ++j) {
      values.push_back(
          std::exp(c.census.X.row(j).dot(c.beta) + u(a) + c.sigma_e * e_census[std::size_t(j)]));
    }
    std::vector<double> out(3);
    c.indicators.evaluate(values, out);
    truth.col(a) = Eigen::Map<const Eigen::Vector3d>(out.data());
  }
  const Eigen::MatrixXd expected = (replay_ebp(c, keys, 20) - truth).cwiseAbs2();
  for (Eigen::Index a : {0, 1, 3}) {
    SCOPED_TRACE(a);
    for (Eigen::Index k = 0; k < 3; ++k) {
      EXPECT_NEAR(got[0](k, a), expected(k, a), 1e-9 * expected(k, a) + 1e-15);
    }
  }
}

TEST(BootstrapEbp, EachReplicateIsBenchmarkedToItsOwnNationalTruth) {
  // Population weights make the areas' shares of people differ from their
  // shares of records. The mean and the headcount are benchmarked by hand to
  // the replicate's national truth sum N_a truth_a / sum N_a (N_a the
  // weight sums), the groups recomputed from the benchmarked areas; the Gini
  // coefficient is left alone. The group of all areas then has no error.
  Case c = make_case();
  for (Eigen::Index i = 0; i < 185; ++i)
    c.census.weights.push_back((i < 60 ? 4.0 : 1.0) + double(i % 3));
  const std::vector<std::vector<Eigen::Index>> groups = {{0, 1, 2, 3}, {1, 3}};
  const std::vector<Key> keys = random::split(random::key_from_seed(23), 3);
  const Eigen::MatrixXd ebp = replay_ebp(c, keys, 20, groups);
  const Eigen::VectorXd u =
      c.sigma_u * Eigen::Map<const Eigen::VectorXd>(random::normal(keys[0], 4).data(), 4);
  const Eigen::MatrixXd truth =
      census_indicators(keys[1], c.census, c.beta, u, c.sigma_e, c.scale, c.indicators, groups);
  Eigen::Vector4d people = Eigen::Vector4d::Zero();
  for (Eigen::Index a = 0; a < 4; ++a) {
    for (Eigen::Index j = c.census.offsets[std::size_t(a)];
         j < c.census.offsets[std::size_t(a) + 1]; ++j) {
      people(a) += c.census.weights[std::size_t(j)];
    }
  }
  for (const BenchmarkType type : {BenchmarkType::kRatio, BenchmarkType::kRaking}) {
    SCOPED_TRACE(type == BenchmarkType::kRatio ? "ratio" : "raking");
    const EbpBootstrapResult got =
        mse_bootstrap_ebp(random::key_from_seed(23), 1, 20, c.sample, c.census, c.idx, c.beta,
                          c.sigma_u, c.sigma_e, c.scale, c.indicators,
                          {.batch_size = 1,
                           .on_progress = {},
                           .share = nullptr,
                           .sample_weights = {},
                           .groups = groups,
                           .benchmark = {.rows = {0, 1}, .type = type}});
    Eigen::MatrixXd benchmarked = ebp;
    for (Eigen::Index k = 0; k < 2; ++k) {
      const double target = people.dot(truth.row(k).head(4).transpose()) / people.sum();
      const double average = people.dot(ebp.row(k).head(4).transpose()) / people.sum();
      for (Eigen::Index a = 0; a < 4; ++a) {
        benchmarked(k, a) = type == BenchmarkType::kRatio ? ebp(k, a) * target / average
                                                          : ebp(k, a) + target - average;
      }
      benchmarked(k, 4) = people.dot(benchmarked.row(k).head(4).transpose()) / people.sum();
      benchmarked(k, 5) =
          (people(1) * benchmarked(k, 1) + people(3) * benchmarked(k, 3)) / (people(1) + people(3));
      EXPECT_LT(got.mse(k, 4), 1e-24 * target * target);
    }
    const Eigen::MatrixXd expected = (benchmarked - truth).cwiseAbs2();
    for (Eigen::Index a : {0, 1, 3, 4, 5}) {
      SCOPED_TRACE(a);
      for (Eigen::Index k = 0; k < 3; ++k) {
        EXPECT_NEAR(got.mse(k, a), expected(k, a), 1e-9 * expected(k, a) + 1e-15);
      }
    }
  }
}

TEST(BootstrapEbp, ProcessesSharingTheBatchesGiveTheSingleProcessNumbers) {
  // Five replicates in batches of two over 2, 3 and 7 processes: uneven
  // ranges, empty ones, and the padded last batch on the last process. Small
  // unit errors make the shared Newton step depend on every replicate of a
  // batch, padding included. With 40 Monte Carlo draws and two threads a
  // process's batches run in parallel.
  Case c = make_case();
  c.sigma_e = 0.1;
  const EbpBootstrapResult single = run(c, 5, 2, 40);
  for (int processes : {2, 3, 7}) {
    SCOPED_TRACE(processes);
    const EbpBootstrapResult lead = testing::run_as_processes(
        processes, [&](ReplicateShare& share) { return run(c, 5, 2, 40, &share); });
    EXPECT_EQ(lead.mse, single.mse);  // bit-identical
    EXPECT_EQ(lead.n_failed, single.n_failed);
  }
  // Failed replicates are counted over the processes.
  c.beta << 800.0, 0.0;
  EXPECT_EQ(
      testing::run_as_processes(3, [&](ReplicateShare& share) { return run(c, 5, 2, 1, &share); })
          .n_failed,
      5);
}

TEST(BootstrapEbp, MatchesTheEmpiricalMseOfTheEbp) {
  // At the true parameters the bootstrap MSE is the MSE of the EBP procedure
  // under the model. Reference: an independent simulation that draws census
  // and sample, refits by BFGS REML, predicts by Monte Carlo and compares with
  // the census indicators. Census: 10 areas of 40 units; sample: 6 units in
  // each of areas 0..7.
  const SampleDesign census = make_design(std::vector<Eigen::Index>(10, 40), 5);
  const SampleDesign sample = make_design(std::vector<Eigen::Index>(8, 6), 6);
  const Eigen::VectorXi idx = Eigen::VectorXi::LinSpaced(8, 0, 7);
  const Eigen::Vector2d beta(1.0, 0.5);
  const double sigma_u = 0.5, sigma_e = 1.0;
  const IndicatorSet set({Indicator::MEAN, Indicator::POVERTY_HEADCOUNT}, 1.0);
  constexpr int kReps = 400;

  const EbpBootstrapResult boot =
      mse_bootstrap_ebp(random::key_from_seed(40), kReps, 50, sample, census, idx, beta, sigma_u,
                        sigma_e, {}, set, {.batch_size = 1, .on_progress = {}});

  Eigen::VectorXi area(48);
  for (int i = 0; i < 48; ++i) area(i) = i / 6;
  Eigen::MatrixXd empirical = Eigen::MatrixXd::Zero(2, 10);
  for (int t = 0; t < kReps; ++t) {
    const std::vector<double> z = random::normal(random::key_from_seed(1000 + t), 10 + 400 + 48);
    Eigen::VectorXd u(10), y_census(400), y_sample(48);
    for (int a = 0; a < 10; ++a) u(a) = sigma_u * z[std::size_t(a)];
    for (int j = 0; j < 400; ++j) {
      y_census(j) = census.X.row(j).dot(beta) + u(j / 40) + sigma_e * z[std::size_t(10 + j)];
    }
    for (int i = 0; i < 48; ++i) {
      y_sample(i) = sample.X.row(i).dot(beta) + u(i / 6) + sigma_e * z[std::size_t(410 + i)];
    }
    Eigen::MatrixXd truth(2, 10);
    for (int a = 0; a < 10; ++a) {
      std::vector<double> values(y_census.data() + 40 * a, y_census.data() + 40 * (a + 1));
      std::vector<double> out(2);
      set.evaluate(values, out);
      truth.col(a) << out[0], out[1];
    }
    const OptimizationResult fit =
        fit_lmm_reml(Eigen::Vector2d::Zero(), sample.X, y_sample, area, 8);
    const Eigen::Vector2d b = fit.params.head<2>();
    const double se = std::exp(fit.params(2)), su = std::exp(fit.params(3));
    Eigen::VectorXd gamma = Eigen::VectorXd::Zero(10), u_hat = Eigen::VectorXd::Zero(10);
    for (int a = 0; a < 8; ++a) {
      gamma(a) = su * su / (su * su + se * se / 6.0);
      u_hat(a) = gamma(a) * (y_sample.segment(6 * a, 6) - sample.X.middleRows(6 * a, 6) * b).mean();
    }
    const Eigen::MatrixXd est =
        simulate_ebp(random::key_from_seed(5000 + t), 50, census, b, u_hat, gamma, su, se, {}, set);
    empirical += (est - truth).cwiseAbs2() / kReps;
  }
  // Each MSE is a mean of 400 squared errors (relative standard error about
  // 7% per area); averaged over 8 sampled or 2 unsampled areas.
  for (Eigen::Index k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    EXPECT_NEAR(boot.mse.row(k).head(8).mean() / empirical.row(k).head(8).mean(), 1.0, 0.15);
    EXPECT_NEAR(boot.mse.row(k).tail(2).mean() / empirical.row(k).tail(2).mean(), 1.0, 0.2);
  }
  // Areas without sample are predicted far less precisely.
  EXPECT_GT(boot.mse.row(0).tail(2).mean(), 2.0 * boot.mse.row(0).head(8).mean());
}

TEST(BootstrapEbp, ThreadsAndBatchSizes) {
  // Large enough that draws, refit statistics and simulation run in parallel.
  const Case c = make_case({5000, 6000, 5500}, {9000, 9000, 0, 16000});
  // Batch size 2 runs several batches at once, 7 the replicates of one batch.
  const int threads = omp_get_max_threads();
  for (const int batch : {2, 7}) {
    SCOPED_TRACE(batch);
    omp_set_num_threads(1);
    const EbpBootstrapResult single = run(c, 7, batch, 3);
    omp_set_num_threads(2);
    std::vector<std::size_t> done;
    const EbpBootstrapResult two = mse_bootstrap_ebp(
        random::key_from_seed(17), 7, 3, c.sample, c.census, c.idx, c.beta, c.sigma_u, c.sigma_e,
        c.scale, c.indicators,
        {.batch_size = batch, .on_progress = [&](std::size_t d, std::size_t total) {
           EXPECT_EQ(total, batch == 2 ? 4u : 1u);
           done.push_back(d);
         }});
    omp_set_num_threads(threads);
    EXPECT_EQ(single.mse, two.mse);
    EXPECT_EQ(done.size(), batch == 2 ? 4u : 1u);
    for (std::size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i], i + 1);
  }
  const EbpBootstrapResult one = run(c, 7, 2, 3);
  // Batch sizes change only the Newton refit's shared step; after 8 steps
  // the refits agree closely and so do the MSEs.
  for (const int batch : {1, 7}) {
    SCOPED_TRACE(batch);
    const EbpBootstrapResult other = run(c, 7, batch, 3);
    EXPECT_TRUE(other.mse.isApprox(one.mse, 1e-4));
  }
}

TEST(BootstrapEbp, CountsNonFiniteReplicates) {
  // exp of the census overflows: every replicate's squared errors are not finite.
  Case c = make_case();
  c.beta << 800.0, 0.0;
  const EbpBootstrapResult r = run(c, 3, 2);
  EXPECT_EQ(r.n_failed, 3);
}

TEST(BootstrapEbp, AThrowingIndicatorEndsTheCallWithItsError) {
  // Large enough that the Monte Carlo, the truth and the replicates run in
  // parallel with two threads; with one thread every region runs serially.
  Case c = make_case({50, 60, 40}, {4000, 3000, 0, 5000});
  c.indicators = IndicatorSet(
      {Indicator::MEAN, IndicatorFunction([](std::span<const double>, double) -> double {
         throw std::runtime_error("indicator failed");
       })},
      6.0);
  const int threads = omp_get_max_threads();
  for (const int t : {1, 2}) {
    SCOPED_TRACE(t);
    omp_set_num_threads(t);
    EXPECT_EQ(testing::thrown_message<std::runtime_error>([&] {
                simulate_ebp(random::key_from_seed(1), 10, c.census, c.beta,
                             Eigen::VectorXd::Zero(4), Eigen::VectorXd::Zero(4), c.sigma_u,
                             c.sigma_e, c.scale, c.indicators);
              }),
              "indicator failed");
    for (const int batch : {1, 4}) {
      EXPECT_EQ(testing::thrown_message<std::runtime_error>([&] { run(c, 4, batch, 10); }),
                "indicator failed");
    }
  }
  omp_set_num_threads(threads);
}

TEST(BootstrapEbp, ABatchHoldsAtMostEveryReplicate) {
  // A batch size beyond n_reps is one batch of n_reps (no padding replicates
  // to allocate or refit).
  const Case c = make_case();
  EXPECT_EQ(run(c, 3, 100000).mse, run(c, 3, 3).mse);
}

TEST(BootstrapEbp, RejectsBadCounts) {
  const Case c = make_case();
  const auto call = [&](int n_reps, int n_mc, int batch) {
    return testing::thrown_message<std::invalid_argument>([&] {
      mse_bootstrap_ebp(random::key_from_seed(1), n_reps, n_mc, c.sample, c.census, c.idx, c.beta,
                        c.sigma_u, c.sigma_e, c.scale, c.indicators,
                        {.batch_size = batch, .on_progress = {}});
    });
  };
  EXPECT_EQ(call(0, 5, 1), "mse_bootstrap_ebp: n_reps must be at least 1, got 0");
  EXPECT_EQ(call(5, 0, 1), "mse_bootstrap_ebp: n_mc must be at least 1, got 0");
  EXPECT_EQ(call(5, 5, 0), "mse_bootstrap_ebp: batch_size must be at least 1, got 0");
  EXPECT_EQ(call(1431655766, 5, 1),
            "mse_bootstrap_ebp: n_reps must be at most 2^32 / 3, got 1431655766");
}

TEST(BootstrapEbp, GroupsTakeTheirTruthAndEbpFromTheSameReplicates) {
  // A group of one area has that area's MSE; the areas' MSEs do not change.
  const Case c = make_case();
  const std::vector<std::vector<Eigen::Index>> groups = {{3}, {0, 1}};
  const EbpBootstrapResult areas = run(c, 3, 2);
  const EbpBootstrapResult got =
      mse_bootstrap_ebp(random::key_from_seed(17), 3, 20, c.sample, c.census, c.idx, c.beta,
                        c.sigma_u, c.sigma_e, c.scale, c.indicators,
                        {.batch_size = 2,
                         .on_progress = {},
                         .share = nullptr,
                         .sample_weights = {},
                         .groups = groups});
  ASSERT_EQ(got.mse.cols(), 6);
  EXPECT_EQ(got.mse.leftCols(4), areas.mse);
  EXPECT_TRUE(got.mse.col(4).isApprox(areas.mse.col(3), 1e-12)) << got.mse;
  EXPECT_TRUE((got.mse.col(5).array() > 0.0).all()) << got.mse;
}

// With survey weights one replicate is refitted as the point fit is: the
// Newton REML variance components, then the pseudo-EBLUP of the replicate's
// sample with the same weights (its beta, gamma_aw and area effects).
TEST(BootstrapEbp, SurveyWeightsEnterEachReplicatesRefit) {
  const Case c = make_case();
  Eigen::VectorXd w(30);
  for (Eigen::Index i = 0; i < 30; ++i) w(i) = 1.0 + double((7 * i) % 5);
  const std::vector<double> weights(w.data(), w.data() + 30);
  const EbpBootstrapResult got = mse_bootstrap_ebp(
      random::key_from_seed(23), 1, 20, c.sample, c.census, c.idx, c.beta, c.sigma_u, c.sigma_e,
      c.scale, c.indicators,
      {.batch_size = 1, .on_progress = {}, .share = nullptr, .sample_weights = weights});
  const std::vector<Key> keys = random::split(random::key_from_seed(23), 3);

  const Eigen::VectorXd u =
      c.sigma_u * Eigen::Map<const Eigen::VectorXd>(random::normal(keys[0], 4).data(), 4);
  const std::vector<double> e_census = random::normal(keys[1], 185);
  Eigen::MatrixXd truth(3, 4);
  for (Eigen::Index a = 0; a < 4; ++a) {
    std::vector<double> values;
    for (Eigen::Index j = c.census.offsets[std::size_t(a)];
         j < c.census.offsets[std::size_t(a) + 1]; ++j) {
      values.push_back(
          std::exp(c.census.X.row(j).dot(c.beta) + u(a) + c.sigma_e * e_census[std::size_t(j)]));
    }
    std::vector<double> out(3);
    c.indicators.evaluate(values, out);
    truth.col(a) = Eigen::Map<const Eigen::Vector3d>(out.data());
  }
  const std::vector<double> e_sample = random::normal(random::fold_in(keys[1], 1), 30);
  Eigen::VectorXd y(30);
  for (Eigen::Index v = 0; v < 3; ++v) {
    for (Eigen::Index i = c.sample.offsets[std::size_t(v)];
         i < c.sample.offsets[std::size_t(v) + 1]; ++i) {
      y(i) = c.sample.X.row(i).dot(c.beta) + u(c.idx(v)) + c.sigma_e * e_sample[std::size_t(i)];
    }
  }
  const double mean = y.mean();
  const double sd = std::sqrt((y.array() - mean).square().mean());
  const DesignStats design = precompute_design_stats(c.sample);
  NewtonReplicateStats stats;
  Eigen::VectorXd y_s = y, sum_y(3), Xt_y(2);
  standardize_replicate_stats(c.sample, design, mean, 1.0 / sd, y_s, sum_y, Xt_y, stats);
  Eigen::MatrixXd theta = Eigen::MatrixXd::Constant(1, 2, -0.5);
  newton_reml_iterate(design, std::span<const NewtonReplicateStats>(&stats, 1), theta, 1, 8);
  const double se = std::exp(theta(0, 0)) * sd, su = std::exp(theta(0, 1)) * sd;
  const PseudoEblup fit = pseudo_eblup(c.sample.X, y, w, c.sample.offsets, su * su, se * se);
  Eigen::VectorXd gamma = Eigen::VectorXd::Zero(4), u_hat = Eigen::VectorXd::Zero(4);
  for (Eigen::Index v = 0; v < 3; ++v) {
    gamma(c.idx(v)) = fit.gamma(v);
    u_hat(c.idx(v)) = fit.u_hat(v);
  }
  const Eigen::MatrixXd expected =
      (simulate_ebp(keys[2], 20, c.census, fit.beta, u_hat, gamma, su, se, c.scale, c.indicators) -
       truth)
          .cwiseAbs2();
  for (Eigen::Index a : {0, 1, 3}) {
    SCOPED_TRACE(a);
    for (Eigen::Index k = 0; k < 3; ++k) {
      EXPECT_NEAR(got.mse(k, a), expected(k, a), 1e-9 * expected(k, a) + 1e-15);
    }
  }
}

}  // namespace
}  // namespace kelp_sae::kernels
