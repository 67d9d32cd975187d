#include "kelp_sae/kernels/mse/bootstrap_ebp.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/support/expect_error.h"

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

Case make_case() {
  Case c;
  c.sample = make_design({10, 12, 8}, 1);
  c.census = make_design({60, 45, 0, 80}, 2);
  return c;
}

EbpBootstrapResult run(const Case& c, int n_reps, int batch_size) {
  return mse_bootstrap_ebp(random::key_from_seed(17), n_reps, 20, c.sample, c.census, c.idx, c.beta,
                           c.sigma_u, c.sigma_e, c.scale, c.indicators,
                           {.batch_size = batch_size, .on_progress = {}});
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

TEST(BootstrapEbp, ThreadsAndBatchSizes) {
  const Case c = make_case();
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  const EbpBootstrapResult one = run(c, 7, 2);
  omp_set_num_threads(2);
  const EbpBootstrapResult two = run(c, 7, 2);
  omp_set_num_threads(threads);
  EXPECT_EQ(one.mse, two.mse);
  // Batch sizes change only the Newton refit's shared step; after 8 steps
  // the refits agree closely and so do the MSEs.
  for (const int batch : {1, 7}) {
    SCOPED_TRACE(batch);
    const EbpBootstrapResult other = run(c, 7, batch);
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

}  // namespace
}  // namespace kelp_sae::kernels
