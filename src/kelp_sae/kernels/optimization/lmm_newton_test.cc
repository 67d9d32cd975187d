#include "kelp_sae/kernels/optimization/lmm_newton.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <Eigen/LU>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kelp_sae/kernels/optimization/lmm.h"
#include "kelp_sae/kernels/testdata/nested_error_data.h"
#include "tests/support/finite_differences.h"

namespace kelp_sae::kernels {
namespace {

using kelp_sae::testing::expect_derivatives_match_finite_differences;

// testdata/nested_error.csv (rows grouped by area) as a sample design with a
// response, the area index of each row and the standardised response.
struct Replicate {
  SampleDesign sample;
  Eigen::VectorXd y;
  Eigen::VectorXi area;
};

Replicate read_replicate() {
  const kelp_sae::testing::NestedData d = kelp_sae::testing::read_nested_error_csv();
  Replicate rep;
  rep.sample.X = d.X;
  rep.y = d.y;
  rep.area = d.area;
  rep.sample.offsets = {0};
  for (Eigen::Index i = 1; i < d.area.size(); ++i) {
    if (d.area(i) != d.area(i - 1)) rep.sample.offsets.push_back(i);
  }
  rep.sample.offsets.push_back(d.area.size());
  // Standardise as the bootstrap does, so that the start (-0.5, -0.5) is sensible.
  const double mean = rep.y.mean();
  const double sd = std::sqrt((rep.y.array() - mean).square().mean());
  rep.y = (rep.y.array() - mean) / sd;
  return rep;
}

struct ResponseSums {
  Eigen::VectorXd Xt_y;
  Eigen::VectorXd sum_y;
  double yy;
};

ResponseSums response_sums(const SampleDesign& s, const Eigen::VectorXd& y) {
  ResponseSums r{s.X.transpose() * y, Eigen::VectorXd(s.n_areas()), y.squaredNorm()};
  for (Eigen::Index v = 0; v < s.n_areas(); ++v)
    r.sum_y(v) = y.segment(s.offsets[v], s.n_units(v)).sum();
  return r;
}

NewtonReplicateStats grouped(const DesignStats& d, const ResponseSums& r) {
  NewtonReplicateStats g;
  group_replicate_stats(d, r.Xt_y, r.sum_y, r.yy, g);
  return g;
}

TEST(DesignStatsTest, GroupsAreasBySize) {
  SampleDesign s;
  s.X.resize(7, 2);
  s.X << 1, 1, 1, 2, 1, 3, 1, 4, 1, 5, 1, 6, 1, 7;
  s.offsets = {0, 2, 2, 4, 7};  // sizes 2, 0, 2, 3
  const DesignStats d = precompute_design_stats(s);
  EXPECT_EQ(d.n_i, Eigen::Vector4d(2, 0, 2, 3));
  EXPECT_EQ(d.group_n, Eigen::Vector2d(2, 3));
  EXPECT_EQ(d.group_count, Eigen::Vector2d(2, 1));
  EXPECT_EQ(d.area_group, (std::vector<int>{0, -1, 0, 1}));
  EXPECT_EQ(d.sum_X.row(3), Eigen::RowVector2d(3, 18));
  EXPECT_TRUE(d.Xt_X.isApprox(s.X.transpose() * s.X, 1e-15));
  // Group of size 2: areas with sums (2, 3) and (2, 7).
  Eigen::Matrix2d g0;
  g0 << 8, 20, 20, 58;
  EXPECT_TRUE(d.group_XX.leftCols(2).isApprox(g0, 1e-15));
}

TEST(NewtonObjectiveTest, IsHalfTheRemlCriterion) {
  const Replicate rep = read_replicate();
  const DesignStats d = precompute_design_stats(rep.sample);
  const NewtonReplicateStats g = grouped(d, response_sums(rep.sample, rep.y));
  const LmmSufficientStats s =
      compute_sufficient_stats(rep.sample.X, rep.y, rep.area, rep.sample.n_areas());
  for (const Eigen::Vector2d& theta :
       {Eigen::Vector2d(-0.5, -0.5), Eigen::Vector2d(-0.2, -1.0), Eigen::Vector2d(0.3, 0.4)}) {
    SCOPED_TRACE(theta.transpose());
    // Both place the 1e-6 jitter slightly differently: agreement to ~1e-6.
    const double reml = lmm_loss_reml(theta, s);
    EXPECT_NEAR(newton_reml_objective(theta, d, g).value, 0.5 * reml, 1e-6 * std::abs(reml));
  }
}

TEST(NewtonObjectiveTest, DerivativesMatchFiniteDifferences) {
  const Replicate rep = read_replicate();
  const DesignStats d = precompute_design_stats(rep.sample);
  const NewtonReplicateStats g = grouped(d, response_sums(rep.sample, rep.y));
  for (const Eigen::Vector2d& theta :
       {Eigen::Vector2d(-0.5, -0.5), Eigen::Vector2d(-0.1, -1.2), Eigen::Vector2d(0.6, 0.9)}) {
    SCOPED_TRACE(theta.transpose());
    expect_derivatives_match_finite_differences(
        [&](const Eigen::Vector2d& t) { return newton_reml_objective(t, d, g); }, theta);
  }
  // Outside [-10, 10] a parameter is clipped and the objective is flat in it.
  const LmmObjective clipped = newton_reml_objective(Eigen::Vector2d(-0.2, -12.0), d, g);
  EXPECT_EQ(clipped.gradient(1), 0.0);
  EXPECT_EQ(clipped.hessian(1, 1), 0.0);
  EXPECT_DOUBLE_EQ(clipped.value, newton_reml_objective(Eigen::Vector2d(-0.2, -10.0), d, g).value);
}

TEST(NewtonFitTest, AgreesWithBfgsFit) {
  const Replicate rep = read_replicate();
  const DesignStats d = precompute_design_stats(rep.sample);
  const ResponseSums r = response_sums(rep.sample, rep.y);
  const NewtonBatchFit nf =
      fit_lmm_reml_newton_batched(Eigen::RowVector2d(-0.5, -0.5), r.Xt_y.transpose(), d,
                                  r.sum_y.transpose(), Eigen::VectorXd::Constant(1, r.yy));
  const OptimizationResult bf = fit_lmm_reml(Eigen::Vector2d(-0.5, -0.5), rep.sample.X, rep.y,
                                             rep.area, rep.sample.n_areas(), {.tol = 1e-9});
  ASSERT_TRUE(bf.success);
  EXPECT_NEAR(nf.sigma_e(0), std::exp(bf.params(3)), 1e-5);
  EXPECT_NEAR(nf.sigma_u(0), std::exp(bf.params(4)), 1e-5);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(nf.beta(0, k), bf.params(k), 1e-5);
}

TEST(NewtonFitTest, BatchSharesOneStepSize) {
  const Replicate rep = read_replicate();
  const DesignStats d = precompute_design_stats(rep.sample);
  // Two replicates: the data and a copy scaled down, whose first Newton step is larger.
  const Eigen::VectorXd y2 = 0.05 * rep.y;
  const ResponseSums r1 = response_sums(rep.sample, rep.y), r2 = response_sums(rep.sample, y2);
  const std::vector<NewtonReplicateStats> reps = {grouped(d, r1), grouped(d, r2)};
  const Eigen::Vector2d start(-0.5, -0.5);
  const auto delta = [&](const NewtonReplicateStats& g) {
    const LmmObjective o = newton_reml_objective(start, d, g);
    return Eigen::Vector2d((o.hessian + 1e-3 * Eigen::Matrix2d::Identity()).inverse() * o.gradient);
  };
  const Eigen::Vector2d d1 = delta(reps[0]), d2 = delta(reps[1]);
  const double step =
      std::min(1.0, 1.0 / (std::max(d1.cwiseAbs().maxCoeff(), d2.cwiseAbs().maxCoeff()) + 1e-6));
  ASSERT_LT(step, 1.0);
  Eigen::MatrixXd theta(2, 2);
  theta << start.transpose(), start.transpose();
  newton_reml_iterate(d, reps, theta, 2, 1);
  EXPECT_TRUE(theta.row(0).isApprox((start - step * d1).transpose(), 1e-12));
  EXPECT_TRUE(theta.row(1).isApprox((start - step * d2).transpose(), 1e-12));
  // In batches of one, each replicate takes its own step.
  Eigen::MatrixXd alone(2, 2);
  alone << start.transpose(), start.transpose();
  newton_reml_iterate(d, reps, alone, 1, 1);
  const double step1 = std::min(1.0, 1.0 / (d1.cwiseAbs().maxCoeff() + 1e-6));
  EXPECT_TRUE(alone.row(0).isApprox((start - step1 * d1).transpose(), 1e-12));
  ASSERT_GT(step1, step);
  EXPECT_FALSE(alone.row(0).isApprox(theta.row(0), 1e-6));
  // Given enough steps both reach the same optimum.
  theta.rowwise() = start.transpose();
  alone.rowwise() = start.transpose();
  newton_reml_iterate(d, reps, theta, 2, 40);
  newton_reml_iterate(d, reps, alone, 1, 40);
  EXPECT_TRUE(theta.isApprox(alone, 1e-9));
}

TEST(NewtonFitTest, ThreadCountDoesNotChangeResults) {
  const Replicate rep = read_replicate();
  const DesignStats d = precompute_design_stats(rep.sample);
  std::vector<NewtonReplicateStats> reps;
  for (int r = 0; r < 20; ++r) {
    Eigen::VectorXd y = rep.y;
    for (Eigen::Index i = 0; i < y.size(); ++i)
      y(i) += 0.3 * std::sin(1.3 * static_cast<double>(i * (r + 1)));
    reps.push_back(grouped(d, response_sums(rep.sample, y)));
  }
  const int saved = omp_get_max_threads();
  // Batches of 3 run one batch per thread; one batch of 20 runs its replicates in parallel.
  for (const Eigen::Index batch : {3, 20}) {
    SCOPED_TRACE(batch);
    Eigen::MatrixXd one = Eigen::MatrixXd::Constant(20, 2, -0.5), two = one;
    omp_set_num_threads(1);
    newton_reml_iterate(d, reps, one, batch, 8);
    omp_set_num_threads(2);
    newton_reml_iterate(d, reps, two, batch, 8);
    EXPECT_TRUE((one.array() == two.array()).all());
  }
  omp_set_num_threads(saved);
}

TEST(NewtonInputTest, BadInputIsRejected) {
  SampleDesign s;
  s.X = Eigen::MatrixXd::Ones(3, 2);
  s.offsets = {0, 2};
  EXPECT_THROW(precompute_design_stats(s), std::invalid_argument);
  s.offsets = {0, 2, 3};
  const DesignStats d = precompute_design_stats(s);
  EXPECT_THROW(fit_lmm_reml_newton_batched(Eigen::RowVector2d(0, 0), Eigen::RowVector3d(0, 0, 0), d,
                                           Eigen::RowVector2d(0, 0), Eigen::VectorXd::Zero(1)),
               std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::kernels
