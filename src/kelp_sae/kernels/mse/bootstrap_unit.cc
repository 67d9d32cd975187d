#include "kelp_sae/kernels/mse/bootstrap_unit.h"

#include <omp.h>

#include <unistd.h>
#include <algorithm>
#include <cmath>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp_sae/core/checks.h"
#include "kelp_sae/kernels/optimization/internal/parallel_failure.h"
#include "kelp_sae/kernels/optimization/lmm_newton.h"
#include "kelp_sae/kernels/prediction/eblup.h"

namespace kelp_sae::kernels {
namespace {

// Replicates computed between two progress updates (whole batches); a
// scheduling choice only, the numbers do not depend on it.
constexpr Eigen::Index kChunkReplicates = 256;
constexpr int kNewtonSteps = 8;
// Three keys per replicate, all children of one key: at most 2^32 / 3 replicates.
constexpr std::int64_t kMaxReps = (std::int64_t{1} << 32) / 3;
constexpr double kStartTheta = -0.5;

// Everything that is the same for every replicate.
struct Context {
  const SampleDesign& sample;
  Eigen::Ref<const Eigen::MatrixXd> X_pop_means;
  double sigma_u = 0.0;
  double sigma_e = 0.0;
  bool infinite_pop = true;
  DesignStats design;
  std::vector<Eigen::Index> pop_of_area;  // V: population position of each sample area
  Eigen::VectorXd xb;                     // n: x' beta_hat per sample unit
  Eigen::VectorXd pop_fixed;              // M: X_pop_means beta_hat
  Eigen::VectorXd f;                      // M: n_i / max(N_i, 1), 0 without sample
  Eigen::VectorXd sigma_rest;  // M: sd of the out-of-sample error mean, 0 when N_i <= n_i
};

Context make_context(const char* function, const SampleDesign& sample,
                     const Eigen::Ref<const Eigen::MatrixXd>& X_pop_means,
                     const Eigen::Ref<const Eigen::VectorXd>& N_i,
                     const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
                     const Eigen::Ref<const Eigen::VectorXd>& beta_hat, double sigma_u,
                     double sigma_e) {
  validate_sample_design(sample, function, /*require_constant=*/true);
  const Eigen::Index p = sample.X.cols();
  const Eigen::Index m = X_pop_means.rows();
  const Eigen::Index v_areas = sample.n_areas();
  check(sample.X.rows() > 0, function, "the sample has no units in population areas");
  check(X_pop_means.cols() == p, function,
        "X_pop_means has " + std::to_string(X_pop_means.cols()) +
            " columns but the sample design has " + std::to_string(p));
  check(beta_hat.size() == p, function,
        "beta_hat has " + std::to_string(beta_hat.size()) + " entries but the sample design has " +
            std::to_string(p) + " columns");
  check(N_i.size() == m, function, "N_i must have one entry per row of X_pop_means");
  check(smp_area_idx_in_pop.size() == v_areas, function,
        "smp_area_idx_in_pop must have one entry per sample area");
  check(std::isfinite(sigma_u) && sigma_u >= 0.0 && std::isfinite(sigma_e) && sigma_e >= 0.0,
        function, "sigma_u and sigma_e must be finite and non-negative");

  Context c{.sample = sample,
            .X_pop_means = X_pop_means,
            .sigma_u = sigma_u,
            .sigma_e = sigma_e,
            .infinite_pop = N_i.maxCoeff() <= 1.0,
            .design = precompute_design_stats(sample),
            .pop_of_area = {},
            .xb = sample.X * beta_hat,
            .pop_fixed = X_pop_means * beta_hat,
            .f = Eigen::VectorXd::Zero(m),
            .sigma_rest = Eigen::VectorXd::Zero(m)};
  Eigen::VectorXd n_pop = Eigen::VectorXd::Zero(m);
  std::vector<bool> seen(static_cast<std::size_t>(m), false);
  for (Eigen::Index v = 0; v < v_areas; ++v) {
    const int a = smp_area_idx_in_pop(v);
    check(a >= 0 && a < m, function,
          "smp_area_idx_in_pop[" + std::to_string(v) + "] = " + std::to_string(a) +
              " is outside 0.." + std::to_string(m - 1));
    check(!seen[static_cast<std::size_t>(a)], function,
          "population area " + std::to_string(a) + " occurs twice in smp_area_idx_in_pop");
    seen[static_cast<std::size_t>(a)] = true;
    c.pop_of_area.push_back(a);
    n_pop(a) = c.design.n_i(v);
  }
  for (Eigen::Index a = 0; a < m; ++a) {
    c.f(a) = n_pop(a) / std::max(N_i(a), 1.0);
    const double rest = std::max(N_i(a) - n_pop(a), 0.0);
    c.sigma_rest(a) = rest > 0.0 ? sigma_e / std::sqrt(std::max(rest, 1e-6)) : 0.0;
  }
  return c;
}

// Bytes held per replicate of a batch: its state (V + 2 M), its grouped
// statistics (p + K + p K + 1) and its start values, rounded up for the
// vectors' headers.
double replicate_bytes(const Context& c) {
  const auto v = static_cast<double>(c.sample.n_areas());
  const auto m = static_cast<double>(c.X_pop_means.rows());
  const auto p = static_cast<double>(c.sample.X.cols());
  const auto k = static_cast<double>(c.design.group_n.size());
  return 8.0 * (v + 2.0 * m + p + k + p * k + 3.0) + 256.0;
}

// Half the physical memory (64 GB when unknown).
double memory_limit_bytes() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page <= 0) return 64e9;
  return 0.5 * static_cast<double>(pages) * static_cast<double>(page);
}

// Per-replicate results kept between the draw, the refit and the EBLUP.
struct ReplicateState {
  Eigen::VectorXd sum_y_raw;  // V: per-area sums of the replicate response
  Eigen::VectorXd truth;      // M: true area means
  Eigen::VectorXd eblup;      // M: EBLUPs from the refit
  double mean = 0.0;
  double sd = 1.0;
};

struct ThreadWorkspace {
  ThreadWorkspace(Eigen::Index n, Eigen::Index m, Eigen::Index v, Eigen::Index p)
      : y(n), e(n), u(m), z_rest(m), e_smp(m), sum_y(v), Xt_y(p) {}
  Eigen::VectorXd y, e;              // n
  Eigen::VectorXd u, z_rest, e_smp;  // M
  Eigen::VectorXd sum_y;             // V
  Eigen::VectorXd Xt_y;              // p
};

// Slots of the replicates of a run of batches, with their workspaces.
class BatchRunner {
 public:
  BatchRunner(const Context& c, Eigen::Index capacity)
      : c_(c), states_(slot(capacity)), stats_(slot(capacity)) {
    const Eigen::Index m = c.X_pop_means.rows();
    for (ReplicateState& st : states_) {
      st.sum_y_raw.resize(c.sample.n_areas());
      st.truth.resize(m);
      st.eblup.resize(m);
    }
    theta_.resize(capacity, 2);
    const int n_threads = omp_get_max_threads();
    workspaces_.reserve(static_cast<std::size_t>(n_threads));
    for (int t = 0; t < n_threads; ++t) {
      workspaces_.emplace_back(c.sample.X.rows(), m, c.sample.n_areas(), c.sample.X.cols());
    }
  }

  // Runs the batches of `batch` replicates whose keys are `keys` (3 per
  // replicate, count / batch batches) into slots 0 .. count-1.
  void run(std::span<const random::Key> keys, Eigen::Index count, Eigen::Index batch) {
    theta_.topRows(count).setConstant(kStartTheta);
    const Eigen::Index n_batches = count / batch;
    internal::ParallelFailure failure;
    if (n_batches >= 2) {
      // Whole batches per thread: draws, refit and EBLUPs without synchronisation.
#pragma omp parallel for schedule(dynamic, 1)
      for (Eigen::Index b = 0; b < n_batches; ++b) {
        failure.run([&] {
          ThreadWorkspace& ws = workspace();
          const Eigen::Index first = b * batch;
          for (Eigen::Index k = first; k < first + batch; ++k) draw(keys, k, ws);
          newton_reml_iterate(
              c_.design,
              std::span<const NewtonReplicateStats>(stats_).subspan(slot(first), slot(batch)),
              theta_.middleRows(first, batch), batch, kNewtonSteps);
          for (Eigen::Index k = first; k < first + batch; ++k) finish(k);
        });
      }
      failure.rethrow();
    } else {
      // One batch: its replicates in parallel, the shared Newton step reduced serially.
#pragma omp parallel for schedule(dynamic, 1)
      for (Eigen::Index k = 0; k < count; ++k) failure.run([&] { draw(keys, k, workspace()); });
      failure.rethrow();
      newton_reml_iterate(c_.design,
                          std::span<const NewtonReplicateStats>(stats_).first(slot(count)),
                          theta_.topRows(count), batch, kNewtonSteps);
#pragma omp parallel for schedule(dynamic, 1)
      for (Eigen::Index k = 0; k < count; ++k) failure.run([&] { finish(k); });
      failure.rethrow();
    }
  }

  const ReplicateState& state(Eigen::Index k) const { return states_[slot(k)]; }

 private:
  static std::size_t slot(Eigen::Index k) { return static_cast<std::size_t>(k); }
  ThreadWorkspace& workspace() {
    return workspaces_[static_cast<std::size_t>(omp_get_thread_num())];
  }

  // Draws replicate k, its true means and the statistics of its standardised
  // response.
  void draw(std::span<const random::Key> keys, Eigen::Index k, ThreadWorkspace& ws) {
    const SampleDesign& s = c_.sample;
    ReplicateState& st = states_[slot(k)];
    const Eigen::Index v_areas = s.n_areas();

    random::normal(keys[slot(3 * k)], std::span<double>(ws.u.data(), slot(ws.u.size())));
    ws.u *= c_.sigma_u;
    const auto [k_e_smp, k_e_rest] = random::split2(keys[slot(3 * k + 1)]);
    random::normal(k_e_smp, std::span<double>(ws.e.data(), slot(ws.e.size())));
    ws.e *= c_.sigma_e;

    ws.e_smp.setZero();
    double total = 0.0, total_sq = 0.0;
    for (Eigen::Index v = 0; v < v_areas; ++v) {
      const Eigen::Index begin = s.offsets[slot(v)];
      const Eigen::Index end = s.offsets[slot(v) + 1];
      const Eigen::Index a = c_.pop_of_area[slot(v)];
      const double u_a = ws.u(a);
      double sum_y = 0.0, sum_e = 0.0;
      for (Eigen::Index j = begin; j < end; ++j) {
        const double y = c_.xb(j) + u_a + ws.e(j);
        ws.y(j) = y;
        sum_y += y;
        sum_e += ws.e(j);
        total_sq += y * y;
      }
      st.sum_y_raw(v) = sum_y;
      total += sum_y;
      ws.e_smp(a) = sum_e / std::max(static_cast<double>(end - begin), 1.0);
    }

    if (c_.infinite_pop) {
      st.truth = c_.pop_fixed + ws.u;
    } else {
      random::normal(k_e_rest, std::span<double>(ws.z_rest.data(), slot(ws.z_rest.size())));
      for (Eigen::Index a = 0; a < st.truth.size(); ++a) {
        const double e_rest = c_.sigma_rest(a) * ws.z_rest(a);
        st.truth(a) = c_.pop_fixed(a) + ws.u(a) + c_.f(a) * ws.e_smp(a) + (1.0 - c_.f(a)) * e_rest;
      }
    }

    // Standardise over the sample units for the refit.
    const auto n = static_cast<double>(s.X.rows());
    st.mean = total / n;
    // The scale is the replicate's own standard deviation, so the refit is
    // the same whatever the unit of the response (1 for a constant response).
    const double variance = total_sq / n - st.mean * st.mean;
    st.sd = variance > 0.0 ? std::sqrt(variance) : 1.0;
    const double scale = 1.0 / st.sd;
    standardize_replicate_stats(s, c_.design, st.mean, scale, ws.y, ws.sum_y, ws.Xt_y,
                                stats_[slot(k)]);
  }

  // The refitted model back on the response scale and its EBLUPs.
  void finish(Eigen::Index k) {
    ReplicateState& st = states_[slot(k)];
    const Eigen::Vector2d theta = theta_.row(k).transpose();
    Eigen::VectorXd beta = newton_reml_beta(theta, c_.design, stats_[slot(k)]);
    const double sigma_e = std::exp(theta(0)) * st.sd;
    const double sigma_u = std::exp(theta(1)) * st.sd;
    beta *= st.sd;
    beta(0) += st.mean;
    const double su2 = sigma_u * sigma_u;
    const double se2 = sigma_e * sigma_e;
    st.eblup.noalias() = c_.X_pop_means * beta;
    for (Eigen::Index v = 0; v < c_.sample.n_areas(); ++v) {
      const double n_safe = std::max(c_.design.n_i(v), 1.0);
      const double y_bar = st.sum_y_raw(v) / n_safe;
      const double x_bar_beta = c_.design.sum_X.row(v).dot(beta) / n_safe;
      st.eblup(c_.pop_of_area[slot(v)]) +=
          eblup_area_effect(eblup_gamma(su2, se2 / n_safe), y_bar, x_bar_beta);
    }
  }

  const Context& c_;
  std::vector<ReplicateState> states_;
  std::vector<NewtonReplicateStats> stats_;
  Eigen::MatrixXd theta_;
  std::vector<ThreadWorkspace> workspaces_;
};

}  // namespace

BhfBatchResult run_bootstrap_bhf_batch(std::span<const random::Key> keys,
                                       const SampleDesign& sample,
                                       const Eigen::Ref<const Eigen::MatrixXd>& X_pop_means,
                                       const Eigen::Ref<const Eigen::VectorXd>& N_i,
                                       const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
                                       const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
                                       double sigma_u, double sigma_e) {
  constexpr const char* kFunction = "run_bootstrap_bhf_batch";
  check(!keys.empty() && keys.size() % 3 == 0, kFunction,
        "keys must hold three keys per replicate");
  const Context c = make_context(kFunction, sample, X_pop_means, N_i, smp_area_idx_in_pop, beta_hat,
                                 sigma_u, sigma_e);
  const auto count = static_cast<Eigen::Index>(keys.size() / 3);
  BatchRunner runner(c, count);
  runner.run(keys, count, count);
  BhfBatchResult out{Eigen::MatrixXd(count, X_pop_means.rows()),
                     Eigen::MatrixXd(count, X_pop_means.rows())};
  for (Eigen::Index k = 0; k < count; ++k) {
    out.truth.row(k) = runner.state(k).truth.transpose();
    out.eblup.row(k) = runner.state(k).eblup.transpose();
  }
  return out;
}

Eigen::VectorXd mse_bootstrap_bhf(random::Key rng_key, std::int64_t n_reps,
                                  const SampleDesign& sample,
                                  const Eigen::Ref<const Eigen::MatrixXd>& X_pop_means,
                                  const Eigen::Ref<const Eigen::VectorXd>& N_i,
                                  const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
                                  const Eigen::Ref<const Eigen::VectorXd>& beta_hat, double sigma_u,
                                  double sigma_e, const BootstrapBhfOptions& options) {
  constexpr const char* kFunction = "mse_bootstrap_bhf";
  check(n_reps >= 1, kFunction, "n_reps must be at least 1, got " + std::to_string(n_reps));
  check(n_reps <= kMaxReps, kFunction,
        "n_reps must be at most " + std::to_string(kMaxReps) +
            " (three replicate keys each from one seed), got " + std::to_string(n_reps) +
            "; lower n_reps");
  check(options.batch_size >= 1, kFunction,
        "batch_size must be at least 1, got " + std::to_string(options.batch_size));
  const Context c = make_context(kFunction, sample, X_pop_means, N_i, smp_area_idx_in_pop, beta_hat,
                                 sigma_u, sigma_e);
  const Eigen::Index m = X_pop_means.rows();

  // The replicates of a batch share the Newton step, so a whole batch is held
  // at once: refuse a batch whose replicate states cannot fit in memory.
  const Eigen::Index batch = options.batch_size;
  const double batch_bytes = static_cast<double>(batch) * replicate_bytes(c);
  check(batch_bytes <= memory_limit_bytes(), kFunction,
        "batch_size " + std::to_string(batch) + " needs about " +
            std::to_string(static_cast<long long>(batch_bytes / 1e6)) +
            " MB for one batch, more than half the memory of this machine; lower batch_size");
  const Eigen::Index n_batches = (n_reps - 1) / batch + 1;

  // This process runs its range of batches (all without a share). Replicate r
  // owns keys 3r, 3r+1, 3r+2 of split(rng_key, 3 n_reps), derived chunk by
  // chunk; padding replicates of the last batch get all-zero keys.
  SingleProcessShare single;
  ReplicateShare& share = share_or_single(options.share, single);
  const BatchRange mine = share.begin(n_batches);
  const Eigen::Index chunk_batches = std::max<Eigen::Index>(1, kChunkReplicates / batch);
  const Eigen::Index capacity =
      std::clamp<Eigen::Index>(mine.end - mine.first, 1, chunk_batches) * batch;
  BatchRunner runner(c, capacity);
  std::vector<random::Key> keys(static_cast<std::size_t>(3 * capacity));

  Eigen::VectorXd sse = Eigen::VectorXd::Zero(m);
  Eigen::VectorXd squared_error(m);
  for (Eigen::Index chunk_begin = mine.first; chunk_begin < mine.end;
       chunk_begin += chunk_batches) {
    const Eigen::Index chunk_end = std::min<Eigen::Index>(chunk_begin + chunk_batches, mine.end);
    const Eigen::Index first = chunk_begin * batch;
    const Eigen::Index count = (chunk_end - chunk_begin) * batch;
    const Eigen::Index real = std::min<Eigen::Index>(count, n_reps - first);
    const std::span<random::Key> chunk_keys(keys.data(), static_cast<std::size_t>(3 * count));
    random::split(rng_key, static_cast<std::uint64_t>(3 * first), chunk_keys.first(3 * real));
    std::fill(chunk_keys.begin() + 3 * real, chunk_keys.end(), random::Key{});
    runner.run(chunk_keys, count, batch);
    for (Eigen::Index i = chunk_begin; i < chunk_end; ++i) {
      // Squared errors of the batch's real replicates, in replicate order.
      for (Eigen::Index k = 0; k < batch; ++k) {
        if (i * batch + k >= n_reps) break;
        const auto& st = runner.state((i - chunk_begin) * batch + k);
        squared_error = (st.eblup - st.truth).cwiseAbs2();
        sse += squared_error;
        share.add(std::span<const double>(squared_error.data(), static_cast<std::size_t>(m)));
      }
      share.batch_done(options.on_progress);
    }
  }
  share.finish(std::span<double>(sse.data(), static_cast<std::size_t>(m)), 0, options.on_progress);
  return sse / static_cast<double>(n_reps);
}

}  // namespace kelp_sae::kernels
