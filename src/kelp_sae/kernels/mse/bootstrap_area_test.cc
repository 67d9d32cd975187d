#include "kelp_sae/kernels/mse/bootstrap_area.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kelp_sae/kernels/mse/prasad_rao.h"
#include "kelp_sae/kernels/optimization/fh.h"
#include "tests/support/simulated_share.h"

namespace kelp_sae::kernels {
namespace {

struct Problem {
  Eigen::MatrixXd X;
  Eigen::VectorXd D;
  Eigen::VectorXd beta;
  double sigma_u;
};

Problem make_problem(int m) {
  Problem p{Eigen::MatrixXd(m, 2), Eigen::VectorXd(m), Eigen::Vector2d(1.5, -0.8), 0.9};
  for (int i = 0; i < m; ++i) {
    p.X(i, 0) = 1.0;
    p.X(i, 1) = std::sin(0.7 * i) + 0.05 * i;
    p.D(i) = 0.4 + 0.8 * ((i * 7) % 11) / 10.0;  // 0.4 .. 1.2
  }
  return p;
}

BootstrapAreaOptions quiet(int batch_size) { return {.batch_size = batch_size}; }

constexpr VarianceMethod kReml = VarianceMethod::REML;

// The bootstrap written out replicate by replicate through the public
// fitters, as an independent reference.
Eigen::VectorXd reference_bootstrap(const Problem& p, bool reml, int B, random::Key root) {
  const Eigen::Index n = p.X.rows();
  Eigen::VectorXd sum = Eigen::VectorXd::Zero(n);
  Eigen::VectorXd start(p.beta.size() + 1);
  start << p.beta, std::log(p.sigma_u);
  for (const random::Key& key : random::split(root, static_cast<std::size_t>(B))) {
    const auto [k1, k2] = random::split2(key);
    const std::vector<double> z1 = random::normal(k1, static_cast<std::size_t>(n));
    const std::vector<double> z2 = random::normal(k2, static_cast<std::size_t>(n));
    const Eigen::VectorXd theta =
        p.X * p.beta + p.sigma_u * Eigen::Map<const Eigen::VectorXd>(z1.data(), n);
    const Eigen::VectorXd y =
        theta + p.D.cwiseSqrt().cwiseProduct(Eigen::Map<const Eigen::VectorXd>(z2.data(), n));
    const OptimizationResult fit =
        reml ? fit_fay_herriot_reml(start, p.X, y, p.D) : fit_fay_herriot_ml(start, p.X, y, p.D);
    const double s2 = std::exp(2.0 * fit.params(p.beta.size()));
    const Eigen::ArrayXd gamma = s2 / (s2 + p.D.array());
    const Eigen::ArrayXd pred =
        gamma * y.array() + (1.0 - gamma) * (p.X * fit.params.head(p.beta.size())).array();
    sum += (pred - theta.array()).square().matrix();
  }
  return sum / B;
}

TEST(BootstrapAreaFh, MatchesTheReplicateByReplicateDefinition) {
  const Problem p = make_problem(15);
  const random::Key root = random::key_from_seed(7);
  for (bool reml : {true, false}) {
    SCOPED_TRACE(reml ? "REML" : "ML");
    const Eigen::VectorXd expected = reference_bootstrap(p, reml, 10, root);
    // B = 10 in batches of 4: three batches, the last with 2 real keys and 2
    // padding keys that must not contribute; other batch sizes regroup the
    // same replicates.
    for (int bs : {4, 1, 3, 10, 64}) {
      SCOPED_TRACE(bs);
      const Eigen::VectorXd mse = mse_bootstrap_area_fh(
          p.X, p.D, p.beta, p.sigma_u, reml ? kReml : VarianceMethod::ML, 10, root, quiet(bs));
      ASSERT_EQ(mse.size(), 15);
      EXPECT_LE(((mse - expected).array().abs() / expected.array()).maxCoeff(), 1e-9);
    }
  }
}

TEST(BootstrapAreaFh, DeterministicAcrossRunsAndThreadCounts) {
  const Problem p = make_problem(40);
  const random::Key root = random::key_from_seed(2024);
  const int saved = omp_get_max_threads();
  omp_set_num_threads(1);
  const Eigen::VectorXd one =
      mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 37, root, quiet(8));
  omp_set_num_threads(2);
  const Eigen::VectorXd two =
      mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 37, root, quiet(8));
  const Eigen::VectorXd again =
      mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 37, root, quiet(8));
  omp_set_num_threads(3);
  const Eigen::VectorXd three =
      mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 37, root, quiet(1));
  const Eigen::VectorXd three_bs8 =
      mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 37, root, quiet(8));
  omp_set_num_threads(saved);
  EXPECT_EQ(one, two);  // bit-identical
  EXPECT_EQ(two, again);
  EXPECT_EQ(one, three_bs8);
  // Batch size 1 only regroups the sums.
  EXPECT_LE(((three - one).array().abs() / one.array()).maxCoeff(), 1e-12);
  // Another key gives other numbers.
  const Eigen::VectorXd other = mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 37,
                                                      random::key_from_seed(2025), quiet(8));
  EXPECT_NE(other, one);
}

TEST(BootstrapAreaFh, ReportsEachBatchInOrder) {
  const Problem p = make_problem(6);
  std::vector<std::pair<std::size_t, std::size_t>> seen;
  mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 10, random::key_from_seed(1),
                        {.batch_size = 4, .on_progress = [&](std::size_t done, std::size_t total) {
                           seen.emplace_back(done, total);
                         }});
  EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::size_t>>{{1, 3}, {2, 3}, {3, 3}}));
}

TEST(BootstrapAreaFh, ProcessesSharingTheBatchesGiveTheSingleProcessNumbers) {
  // Five replicates in batches of two over 2, 3 and 7 processes: uneven
  // ranges, empty ones, and the padded last batch on the last process.
  const Problem p = make_problem(9);
  const random::Key root = random::key_from_seed(5);
  const Eigen::VectorXd single =
      mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 5, root, quiet(2));
  for (int processes : {2, 3, 7}) {
    SCOPED_TRACE(processes);
    const Eigen::VectorXd lead = testing::run_as_processes(processes, [&](ReplicateShare& share) {
      BootstrapAreaOptions options = quiet(2);
      options.share = &share;
      return mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 5, root, options);
    });
    EXPECT_EQ(lead, single);  // bit-identical
  }
}

TEST(BootstrapAreaFh, HugeReplicateCountsStartWithoutOverflowOrUpFrontMemory) {
  // 2^31 - 1 replicates in batches of 2: the first batch is reported (and the
  // run stopped there by the callback) without the keys or errors of all
  // replicates being allocated first; the batch count needs 64 bits.
  const Problem p = make_problem(6);
  std::vector<std::size_t> totals;
  const auto stop = [&](std::size_t, std::size_t total) {
    totals.push_back(total);
    throw std::runtime_error("stopped");
  };
  EXPECT_THROW(
      mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 2147483647,
                            random::key_from_seed(1), {.batch_size = 2, .on_progress = stop}),
      std::runtime_error);
  EXPECT_EQ(totals, std::vector<std::size_t>{1073741824});
}

TEST(BootstrapAreaFh, ApproachesThePrasadRaoMseOnAWellSpecifiedModel) {
  // The bootstrap draws from the model at (beta, sigma_u), so it estimates
  // the EBLUP's true MSE there, which is g1 + g2 + g3 + o(1/m) (Prasad & Rao
  // 1990; Datta & Lahiri 2000). The Prasad-Rao *estimator* adds a second g3
  // to correct the bias of plugging in an estimated sigma_u^2, so the two
  // MSEs agree up to g3 = O(1/m).
  // Monte Carlo error: with B = 4000 an area's MSE has a relative standard
  // error of about sqrt(2 / B) = 2.2%, the average over 40 areas about 0.4%.
  // Bounds: 10% per area (4.5 standard errors over 40 areas) and 1.5% on the
  // average (about 4 standard errors, room left for the o(1/m) term).
  const Problem p = make_problem(40);
  const double s2 = p.sigma_u * p.sigma_u;
  const Eigen::VectorXd w = (p.D.array() + s2).inverse().matrix();
  const Eigen::MatrixXd cov = (p.X.transpose() * w.asDiagonal() * p.X).inverse();
  const Eigen::VectorXd y = p.X * p.beta;  // only the estimates depend on it
  const PrasadRaoResult pr = estimate_mse_prasad_rao(p.X, y, p.D, p.beta, s2, cov, kReml);
  const Eigen::VectorXd boot = mse_bootstrap_area_fh(p.X, p.D, p.beta, p.sigma_u, kReml, 4000,
                                                     random::key_from_seed(99), quiet(100));
  const Eigen::ArrayXd true_mse = pr.g1.array() + pr.g2.array() + pr.g3.array();
  const Eigen::ArrayXd rel = (boot.array() - true_mse) / true_mse;
  EXPECT_LE(rel.abs().maxCoeff(), 0.10);
  EXPECT_LE(std::abs(boot.mean() / true_mse.mean() - 1.0), 0.015);
  // Against the Prasad-Rao estimate itself: below it by about g3.
  const Eigen::ArrayXd gap = pr.mse.array() - boot.array();
  EXPECT_LE(std::abs(gap.mean() - pr.g3.mean()), 0.5 * pr.g3.mean());
  EXPECT_LE(((boot - pr.mse).array().abs() / pr.mse.array()).maxCoeff(), 0.15);
}

TEST(BootstrapAreaFh, InvalidArgumentsAreRejected) {
  const Problem p = make_problem(5);
  const random::Key root = random::key_from_seed(3);
  struct Case {
    std::string name;
    std::int64_t B;
    int bs;
    Eigen::VectorXd D;
    double sigma_u;
    std::string message;
  };
  const Eigen::VectorXd negative = p.D - Eigen::VectorXd::Unit(5, 2);  // D(2) = -0.36
  const std::vector<Case> cases = {
      {"B", 0, 10, p.D, 1.0, "mse_bootstrap_area_fh: B must be at least 1, got 0"},
      {"B beyond the keys", (std::int64_t{1} << 32) + 1, 2, p.D, 1.0,
       "mse_bootstrap_area_fh: B must be at most 4294967296 (the replicate keys of one seed), "
       "got 4294967297; lower the number of replicates"},
      {"batch", 10, 0, p.D, 1.0, "mse_bootstrap_area_fh: batch_size must be at least 1, got 0"},
      {"D size", 10, 10, p.D.head(4), 1.0,
       "mse_bootstrap_area_fh: D has 4 entries but X has 5 rows"},
      {"negative D", 10, 10, negative, 1.0,
       "mse_bootstrap_area_fh: D must be non-negative and finite"},
      {"sigma_u", 10, 10, p.D, 0.0,
       "mse_bootstrap_area_fh: sigma_u must be positive and finite, got 0.000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      mse_bootstrap_area_fh(p.X, c.D, p.beta, c.sigma_u, kReml, c.B, root, quiet(c.bs));
      FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace kelp_sae::kernels
