#include "kelp_sae/kernels/mse/bootstrap_unit.h"

#include <gtest/gtest.h>
#include <omp.h>

#include <Eigen/Dense>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "kelp_sae/kernels/mse/analytical_unit.h"
#include "kelp_sae/kernels/optimization/lmm.h"
#include "tests/support/simulated_share.h"

namespace kelp_sae::kernels {
namespace {

using random::Key;

// A population of M areas of which the first V (in a shuffled order) are
// sampled; the sample design has an intercept and one covariate.
struct BhfCase {
  SampleDesign sample;
  Eigen::MatrixXd X_pop_means;
  Eigen::VectorXd N_i;
  Eigen::VectorXi idx;  // population position of each sample area
  Eigen::Vector2d beta{1.0, 0.5};
  double sigma_u = 0.5;
  double sigma_e = 1.0;
};

BhfCase make_setup(const std::vector<int>& sizes, Eigen::Index m_pop) {
  BhfCase s;
  const auto v_areas = static_cast<Eigen::Index>(sizes.size());
  Eigen::Index n = 0;
  for (int size : sizes) n += size;
  const std::vector<double> z =
      random::normal(random::key_from_seed(7), static_cast<std::size_t>(n + m_pop));
  s.sample.X.resize(n, 2);
  s.sample.offsets = {0};
  s.idx.resize(v_areas);
  s.X_pop_means.resize(m_pop, 2);
  for (Eigen::Index a = 0; a < m_pop; ++a) {
    s.X_pop_means.row(a) << 1.0,
        0.2 * static_cast<double>(a % 7) + 0.3 * z[static_cast<std::size_t>(n + a)];
  }
  Eigen::Index row = 0;
  for (Eigen::Index v = 0; v < v_areas; ++v) {
    s.idx(v) = static_cast<int>((3 * v + 1) % m_pop);  // distinct while 3 and m_pop are coprime
    for (int j = 0; j < sizes[static_cast<std::size_t>(v)]; ++j, ++row) {
      s.sample.X.row(row) << 1.0, s.X_pop_means(s.idx(v), 1) + z[static_cast<std::size_t>(row)];
    }
    s.sample.offsets.push_back(row);
  }
  s.N_i = Eigen::VectorXd::Ones(m_pop);
  return s;
}

BhfCase small_setup() { return make_setup({3, 1, 5, 2, 4}, 7); }

Eigen::VectorXd bootstrap(const BhfCase& s, Key key, std::int64_t n_reps, int batch_size,
                          const ProgressCallback& on_progress = nullptr,
                          ReplicateShare* share = nullptr) {
  return mse_bootstrap_bhf(key, n_reps, s.sample, s.X_pop_means, s.N_i, s.idx, s.beta, s.sigma_u,
                           s.sigma_e,
                           {.batch_size = batch_size, .on_progress = on_progress, .share = share});
}

BhfBatchResult batch(const BhfCase& s, std::vector<Key> keys) {
  return run_bootstrap_bhf_batch(keys, s.sample, s.X_pop_means, s.N_i, s.idx, s.beta, s.sigma_u,
                                 s.sigma_e);
}

std::vector<Key> keys_of(const std::vector<Key>& all, std::vector<int> replicates) {
  std::vector<Key> out;
  for (int r : replicates) {
    for (int j = 0; j < 3; ++j)
      out.push_back(r < 0 ? Key{} : all[static_cast<std::size_t>(3 * r + j)]);
  }
  return out;
}

TEST(BootstrapBhfTest, PaddingReplicatesAreLeftOut) {
  const BhfCase s = small_setup();
  const Key key = random::key_from_seed(11);
  // R = 5, B = 2: batches {0, 1}, {2, 3} and {4, padding on zero keys}.
  const std::vector<Key> all = random::split(key, 15);
  Eigen::VectorXd sse = Eigen::VectorXd::Zero(7);
  for (const auto& reps : std::vector<std::vector<int>>{{0, 1}, {2, 3}, {4, -1}}) {
    const BhfBatchResult b = batch(s, keys_of(all, reps));
    for (std::size_t k = 0; k < reps.size(); ++k) {
      if (reps[k] >= 0)
        sse +=
            (b.eblup.row(static_cast<Eigen::Index>(k)) - b.truth.row(static_cast<Eigen::Index>(k)))
                .cwiseAbs2()
                .transpose();
    }
  }
  const Eigen::VectorXd expected = sse / 5.0;
  const Eigen::VectorXd got = bootstrap(s, key, 5, 2);
  EXPECT_TRUE((got.array() == expected.array()).all()) << got.transpose() << "\n"
                                                       << expected.transpose();
}

TEST(BootstrapBhfTest, ProcessesSharingTheBatchesGiveTheSingleProcessNumbers) {
  // Five replicates in batches of two over 2, 3 and 7 processes: uneven
  // ranges, empty ones, and the padded last batch on the last process. Small
  // unit errors make the first Newton steps long, so that the shared step
  // depends on every replicate of a batch, padding included.
  BhfCase s = small_setup();
  s.sigma_e = 0.03;
  const Key key = random::key_from_seed(11);
  const Eigen::VectorXd single = bootstrap(s, key, 5, 2);
  for (int processes : {2, 3, 7}) {
    SCOPED_TRACE(processes);
    const Eigen::VectorXd lead = testing::run_as_processes(
        processes, [&](ReplicateShare& share) { return bootstrap(s, key, 5, 2, nullptr, &share); });
    EXPECT_EQ(lead, single);  // bit-identical
  }
}

TEST(BootstrapBhfTest, SameKeySameNumbersWhateverTheThreads) {
  const BhfCase s = make_setup({3, 1, 5, 2, 4, 8, 6, 2, 9, 3}, 13);
  const Key key = random::key_from_seed(2024);
  const int saved = omp_get_max_threads();
  // Batch sizes: one replicate per batch, several batches per thread, and one
  // batch larger than a chunk of replicates.
  for (const auto& [reps, b] : std::vector<std::pair<int, int>>{{37, 1}, {37, 4}, {300, 300}}) {
    SCOPED_TRACE(std::to_string(reps) + " reps, batch " + std::to_string(b));
    omp_set_num_threads(1);
    const Eigen::VectorXd one = bootstrap(s, key, reps, b);
    const Eigen::VectorXd again = bootstrap(s, key, reps, b);
    omp_set_num_threads(2);
    const Eigen::VectorXd two = bootstrap(s, key, reps, b);
    EXPECT_TRUE((one.array() == again.array()).all());
    EXPECT_TRUE((one.array() == two.array()).all());
    EXPECT_TRUE(one.allFinite());
  }
  omp_set_num_threads(saved);
  // The shared Newton step makes results depend on the batch size, slightly,
  // once some replicate's first steps are longer than 1 (here: sigma_u small
  // against the start value).
  BhfCase small_u = s;
  small_u.sigma_u = 0.02;
  const Eigen::VectorXd b1 = bootstrap(small_u, key, 20, 1), b10 = bootstrap(small_u, key, 20, 10);
  EXPECT_FALSE((b1.array() == b10.array()).all());
  EXPECT_LT(((b1 - b10).array() / b1.array()).abs().maxCoeff(), 0.05) << b1.transpose() << "\n"
                                                                      << b10.transpose();
}

// The true means drawn from the keys, for the three population forms.
TEST(BootstrapBhfTest, TrueMeans) {
  BhfCase s = small_setup();
  const std::vector<Key> keys = random::split(random::key_from_seed(5), 3);
  const auto n = static_cast<std::size_t>(s.sample.X.rows());
  const std::vector<double> u = random::normal(keys[0], 7);
  const auto [k_smp, k_rest] = random::split2(keys[1]);
  const std::vector<double> e = random::normal(k_smp, n);
  const std::vector<double> z_rest = random::normal(k_rest, 7);
  const Eigen::VectorXd fixed = s.X_pop_means * s.beta;
  Eigen::VectorXd n_pop = Eigen::VectorXd::Zero(7), e_bar = Eigen::VectorXd::Zero(7);
  for (Eigen::Index v = 0; v < s.sample.n_areas(); ++v) {
    double sum = 0.0;
    for (Eigen::Index j = s.sample.offsets[v]; j < s.sample.offsets[v + 1]; ++j)
      sum += e[static_cast<std::size_t>(j)];
    n_pop(s.idx(v)) = static_cast<double>(s.sample.n_units(v));
    e_bar(s.idx(v)) = s.sigma_e * sum / n_pop(s.idx(v));
  }
  struct Case {
    const char* name;
    Eigen::VectorXd N_i;
  };
  Eigen::VectorXd big = Eigen::VectorXd::Constant(7, 50.0);
  const std::vector<Case> cases = {{"sizes unknown", Eigen::VectorXd::Ones(7)},
                                   {"census of the sample", n_pop.cwiseMax(1.0)},
                                   {"finite population", big}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    s.N_i = c.N_i;
    const BhfBatchResult b = batch(s, keys);
    for (Eigen::Index a = 0; a < 7; ++a) {
      SCOPED_TRACE(a);
      double expected = fixed(a) + s.sigma_u * u[static_cast<std::size_t>(a)];
      if (std::string(c.name) == "census of the sample") {
        // Every unit of a sampled area is in the sample: its truth is the
        // sample's own mean structure. The unsampled areas have one unit.
        expected += n_pop(a) > 0 ? e_bar(a) : s.sigma_e * z_rest[static_cast<std::size_t>(a)];
      } else if (std::string(c.name) == "finite population") {
        const double f = n_pop(a) / 50.0;
        expected += f * e_bar(a) + (1.0 - f) * s.sigma_e / std::sqrt(50.0 - n_pop(a)) *
                                       z_rest[static_cast<std::size_t>(a)];
      }
      EXPECT_NEAR(b.truth(0, a), expected, 1e-12);
    }
  }
}

TEST(BootstrapBhfTest, AreaWithoutSampleGetsSyntheticPrediction) {
  // Five sampled areas at population positions 1, 4, 7, 10, 2 of 11.
  const BhfCase s = make_setup({3, 1, 5, 2, 4}, 11);
  const BhfBatchResult b = batch(s, random::split(random::key_from_seed(9), 6));
  // An unsampled area's EBLUP is the synthetic X_pop_means beta* of the
  // replicate's refit: all of them lie on one line in the covariate.
  std::vector<bool> sampled(11, false);
  for (Eigen::Index v = 0; v < s.idx.size(); ++v)
    sampled[static_cast<std::size_t>(s.idx(v))] = true;
  std::vector<Eigen::Index> unsampled;
  for (Eigen::Index a = 0; a < 11; ++a) {
    if (!sampled[static_cast<std::size_t>(a)]) unsampled.push_back(a);
  }
  ASSERT_EQ(unsampled.size(), 6u);
  for (Eigen::Index r = 0; r < 2; ++r) {
    // Two unsampled areas determine beta* (intercept and slope) ...
    const Eigen::Index a0 = unsampled[0], a1 = unsampled[1];
    const double slope =
        (b.eblup(r, a1) - b.eblup(r, a0)) / (s.X_pop_means(a1, 1) - s.X_pop_means(a0, 1));
    const double intercept = b.eblup(r, a0) - slope * s.X_pop_means(a0, 1);
    // ... and every other unsampled area lies on the same line.
    for (std::size_t k = 2; k < unsampled.size(); ++k) {
      const Eigen::Index a = unsampled[k];
      EXPECT_NEAR(b.eblup(r, a), intercept + slope * s.X_pop_means(a, 1), 1e-10);
    }
    // Sampled areas carry their predicted effects off the line.
    for (Eigen::Index v = 0; v < s.idx.size(); ++v) {
      const Eigen::Index a = s.idx(v);
      EXPECT_GT(std::abs(b.eblup(r, a) - intercept - slope * s.X_pop_means(a, 1)), 1e-6);
    }
    EXPECT_NEAR(slope, s.beta(1), 1.0);
  }
}

TEST(BootstrapBhfTest, CloseToAnalyticalMseOnAWellSpecifiedModel) {
  std::vector<int> sizes;
  for (int v = 0; v < 30; ++v) sizes.push_back(2 + (7 * v) % 13);
  BhfCase s = make_setup(sizes, 37);  // 7 population areas without sample
  const Eigen::VectorXd mse = bootstrap(s, random::key_from_seed(99), 2000, 50);

  // Analytical MSE at the true parameters: cov(beta_hat) from the design.
  Eigen::VectorXi area(s.sample.X.rows());
  Eigen::VectorXd n_pop = Eigen::VectorXd::Zero(37);
  for (Eigen::Index v = 0; v < s.sample.n_areas(); ++v) {
    area.segment(s.sample.offsets[v], s.sample.n_units(v)).setConstant(static_cast<int>(v));
    n_pop(s.idx(v)) = static_cast<double>(s.sample.n_units(v));
  }
  const Eigen::Vector2d theta(std::log(s.sigma_e), std::log(s.sigma_u));
  const LmmStats st = evaluate_lmm_stats(
      theta, s.sample.X, Eigen::VectorXd::Zero(s.sample.X.rows()), area, s.sample.n_areas());
  const double se2 = s.sigma_e * s.sigma_e, su2 = s.sigma_u * s.sigma_u;
  const double n = static_cast<double>(s.sample.X.rows());
  Eigen::Matrix2d vc = Eigen::Matrix2d::Zero();
  vc(0, 0) = 2.0 * se2 * se2 / (n - 2.0);
  vc(1, 1) = 2.0 * su2 * su2 / 37.0;
  const Eigen::VectorXd analytical = analytical_mse_bhf(su2, se2, st.cov, s.X_pop_means, n_pop, vc);

  const Eigen::ArrayXd ratio = mse.array() / analytical.array();
  // 2000 replicates: a squared error has relative sd sqrt(2), so each area's
  // MSE carries ~3% Monte Carlo error; the approximations of the analytical
  // MSE add a few percent.
  EXPECT_NEAR(ratio.mean(), 1.0, 0.05);
  EXPECT_LT((ratio - 1.0).abs().maxCoeff(), 0.15) << ratio.transpose();
}

// -2 REML log-likelihood without constants, from the dense covariance
// matrix: log|V| + log|X'V^-1X| + (y - X beta)'V^-1(y - X beta), with the
// GLS beta returned through `beta`.
double dense_reml(const SampleDesign& d, const Eigen::VectorXd& y, const Eigen::Vector2d& theta,
                  Eigen::VectorXd* beta) {
  const Eigen::Index n = d.X.rows();
  const double se2 = std::exp(2.0 * theta(0)), su2 = std::exp(2.0 * theta(1));
  Eigen::MatrixXd V = se2 * Eigen::MatrixXd::Identity(n, n);
  for (Eigen::Index v = 0; v < d.n_areas(); ++v) {
    V.block(d.offsets[v], d.offsets[v], d.n_units(v), d.n_units(v)).array() += su2;
  }
  const Eigen::LLT<Eigen::MatrixXd> llt(V);
  const Eigen::MatrixXd vx = llt.solve(d.X);
  const Eigen::MatrixXd A = d.X.transpose() * vx;
  const Eigen::VectorXd b = A.ldlt().solve(vx.transpose() * y);
  const Eigen::VectorXd r = y - d.X * b;
  if (beta != nullptr) *beta = b;
  const Eigen::MatrixXd L = llt.matrixL();
  return 2.0 * L.diagonal().array().log().sum() + std::log(A.determinant()) + r.dot(llt.solve(r));
}

// The REML estimate by Newton's method on finite-difference derivatives of
// dense_reml, halving steps that do not descend.
Eigen::Vector2d dense_reml_fit(const SampleDesign& d, const Eigen::VectorXd& y) {
  const auto f = [&](const Eigen::Vector2d& t) { return dense_reml(d, y, t, nullptr); };
  const double log_sd = std::log(std::sqrt((y.array() - y.mean()).square().mean()));
  Eigen::Vector2d t(log_sd - 0.5, log_sd - 0.5);
  const double h = 1e-4;
  for (int it = 0; it < 60; ++it) {
    Eigen::Vector2d g;
    Eigen::Matrix2d H;
    for (int i = 0; i < 2; ++i) {
      const Eigen::Vector2d ei = h * Eigen::Vector2d::Unit(i);
      g(i) = (f(t + ei) - f(t - ei)) / (2.0 * h);
      for (int j = 0; j < 2; ++j) {
        const Eigen::Vector2d ej = h * Eigen::Vector2d::Unit(j);
        H(i, j) = (f(t + ei + ej) - f(t + ei - ej) - f(t - ei + ej) + f(t - ei - ej)) / (4 * h * h);
      }
    }
    Eigen::Vector2d step = H.ldlt().solve(g);
    if (!(H.determinant() > 0.0 && H(0, 0) > 0.0)) step = g;
    double scale = 1.0;
    while (f(t - scale * step) > f(t) && scale > 1e-8) scale *= 0.5;
    t -= scale * step;
    if (scale * step.cwiseAbs().maxCoeff() < 1e-10) break;
  }
  return t;
}

// Replicate by replicate against a plain computation: the draws from the
// replicate's keys, the true means, a dense REML refit and the EBLUPs.
TEST(BootstrapBhfTest, ReplicatesMatchAPlainComputation) {
  const BhfCase s = make_setup({6, 8, 5, 7, 9, 6, 8, 7}, 11);  // sizes unknown
  const Eigen::Index m = s.X_pop_means.rows(), n = s.sample.X.rows();
  const Key key = random::key_from_seed(5);
  const std::vector<Key> all = random::split(key, 3 * 4);
  for (int r : {1, 3}) {
    SCOPED_TRACE(r);
    const BhfBatchResult b = batch(s, keys_of(all, {r}));
    const std::vector<double> u = random::normal(all[3 * r], m);
    const std::vector<double> e = random::normal(random::split2(all[3 * r + 1]).first, n);
    Eigen::VectorXd y(n);
    Eigen::VectorXd truth = s.X_pop_means * s.beta;
    for (Eigen::Index a = 0; a < m; ++a) truth(a) += s.sigma_u * u[a];
    for (Eigen::Index v = 0; v < s.sample.n_areas(); ++v) {
      for (Eigen::Index j = s.sample.offsets[v]; j < s.sample.offsets[v + 1]; ++j) {
        y(j) = s.sample.X.row(j).dot(s.beta) + s.sigma_u * u[s.idx(v)] + s.sigma_e * e[j];
      }
    }
    EXPECT_LE((b.truth.row(0).transpose() - truth).cwiseAbs().maxCoeff(), 1e-12);

    const Eigen::Vector2d theta = dense_reml_fit(s.sample, y);
    Eigen::VectorXd beta;
    dense_reml(s.sample, y, theta, &beta);
    const double se2 = std::exp(2.0 * theta(0)), su2 = std::exp(2.0 * theta(1));
    Eigen::VectorXd eblup = s.X_pop_means * beta;
    for (Eigen::Index v = 0; v < s.sample.n_areas(); ++v) {
      const Eigen::Index first = s.sample.offsets[v], n_v = s.sample.n_units(v);
      const double gamma = su2 / (su2 + se2 / static_cast<double>(n_v));
      const double resid_mean =
          (y.segment(first, n_v) - s.sample.X.middleRows(first, n_v) * beta).mean();
      eblup(s.idx(v)) += gamma * resid_mean;
    }
    // The refit's 8 Newton steps (with their small ridge and jitter) reach
    // the REML optimum to about 1e-7 here.
    EXPECT_LE((b.eblup.row(0).transpose() - eblup).cwiseAbs().maxCoeff(), 1e-6)
        << b.eblup.row(0) << "\n"
        << eblup.transpose();
  }
}

TEST(BootstrapBhfTest, ReportsEachBatchInOrderAndStartsHugeRunsWithoutUpFrontMemory) {
  const BhfCase s = small_setup();
  std::vector<std::pair<std::size_t, std::size_t>> seen;
  const auto record = [&](std::size_t done, std::size_t total) { seen.emplace_back(done, total); };
  bootstrap(s, random::key_from_seed(1), 5, 2, record);
  EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::size_t>>{{1, 3}, {2, 3}, {3, 3}}));
  // The largest count the keys hold, in batches of 2: the first batches are
  // reported (the callback then stops the run) without all keys being made.
  seen.clear();
  const auto stop = [&](std::size_t done, std::size_t total) {
    record(done, total);
    throw std::runtime_error("stopped");
  };
  EXPECT_THROW(bootstrap(s, random::key_from_seed(1), 1431655765, 2, stop), std::runtime_error);
  EXPECT_EQ(seen, (std::vector<std::pair<std::size_t, std::size_t>>{{1, 715827883}}));
}

TEST(BootstrapBhfTest, BadInputIsRejected) {
  BhfCase s = small_setup();
  const Key key = random::key_from_seed(1);
  const auto message = [&](auto&& call) -> std::string {
    try {
      call();
    } catch (const std::invalid_argument& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ(message([&] { bootstrap(s, key, 0, 1); }),
            "mse_bootstrap_bhf: n_reps must be at least 1, got 0");
  EXPECT_EQ(message([&] { bootstrap(s, key, 3, 0); }),
            "mse_bootstrap_bhf: batch_size must be at least 1, got 0");
  EXPECT_EQ(message([&] { bootstrap(s, key, 1431655766, 2); }),
            "mse_bootstrap_bhf: n_reps must be at most 1431655765 (three replicate keys each from "
            "one seed), got 1431655766; lower n_reps");
  const std::string too_big = message([&] { bootstrap(s, key, 3, 2000000000); });
  EXPECT_TRUE(
      too_big.starts_with("mse_bootstrap_bhf: batch_size 2000000000 needs about 1136000 MB"))
      << too_big;
  EXPECT_TRUE(too_big.ends_with("; lower batch_size")) << too_big;
  BhfCase no_constant = s;
  no_constant.sample.X(2, 0) = 0.0;
  EXPECT_EQ(message([&] { bootstrap(no_constant, key, 3, 1); }),
            "mse_bootstrap_bhf: column 0 of the sample design must be the constant 1");
  BhfCase repeated = s;
  repeated.idx(1) = repeated.idx(0);
  EXPECT_EQ(message([&] { bootstrap(repeated, key, 3, 1); }),
            "mse_bootstrap_bhf: population area 1 occurs twice in smp_area_idx_in_pop");
  BhfCase wide = s;
  wide.beta = Eigen::Vector2d(1, 2);
  wide.X_pop_means = Eigen::MatrixXd::Ones(7, 3);
  EXPECT_EQ(message([&] { bootstrap(wide, key, 3, 1); }),
            "mse_bootstrap_bhf: X_pop_means has 3 columns but the sample design has 2");
}

}  // namespace
}  // namespace kelp_sae::kernels
