#include "kelp_sae/kernels/mse/bootstrap_ebp.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "kelp_sae/core/checks.h"
#include "kelp_sae/kernels/optimization/internal/parallel_failure.h"
#include "kelp_sae/kernels/optimization/lmm_newton.h"
#include "kelp_sae/kernels/prediction/eblup.h"
#include "kelp_sae/kernels/prediction/pseudo_eblup.h"
#include "kelp_sae/kernels/simulations/internal/census_truth.h"

namespace kelp_sae::kernels {
namespace {

constexpr int kNewtonSteps = 8;
constexpr double kStartTheta = -0.5;
// Fewer draws than this per batch are made on the calling thread (a parallel
// region would cost more than it saves); results do not depend on it.
constexpr Eigen::Index kMinParallelDraws = Eigen::Index{1} << 15;
// Replicates are simulated in parallel (each replicate on one thread) once a
// call simulates at least this many census units in all; smaller calls stay
// on the calling thread. Results do not depend on it.
constexpr double kMinParallelUnits = 1 << 15;
// Bound on the squared errors held for in-order summation while batches run
// in parallel, in doubles (32 MiB). A memory bound only.
constexpr std::size_t kMaxHeldErrors = std::size_t{1} << 22;

std::size_t idx(Eigen::Index i) { return static_cast<std::size_t>(i); }

// Everything shared by the replicates of a run.
struct Context {
  const SampleDesign& sample;
  const PopulationDesign& population;
  Eigen::Ref<const Eigen::VectorXd> beta_hat;
  double sigma_u = 0.0;
  double sigma_e = 0.0;
  int n_mc = 1;
  const EbpScale& scale;
  const IndicatorSet& indicators;
  DesignStats design;
  std::vector<Eigen::Index> pop_of_area;  // V: census position of each sample area, or -1
  bool any_outside = false;               // some sample area is not in the census
  Eigen::VectorXd xb_smp;                 // n: x' beta_hat per sample unit
  Eigen::VectorXd xb_pop;                 // N: x' beta_hat per census unit
  std::vector<bool> may_be_undefined;     // K: Gini or QSR (NaN when undefined)
  // Survey weights of the sample units and their design sums; empty and
  // unset for an unweighted refit.
  Eigen::VectorXd w = {};
  std::optional<WeightedDesignSums> weighted = std::nullopt;
  AreaGroups groups = {};  // higher levels, after the census areas
  BenchmarkedRows benchmark = {};
  Eigen::VectorXd sizes = {};  // M: people per census area, with a benchmark
};

// Takes the benchmark of the EBPs after checking its rows.
void add_benchmark(Context& c, const BenchmarkedRows& benchmark, const char* function) {
  if (benchmark.rows.empty()) return;
  const auto& entries = c.indicators.entries();
  for (const Eigen::Index k : benchmark.rows) {
    check(k >= 0 && k < static_cast<Eigen::Index>(entries.size()), function,
          "benchmark row " + std::to_string(k) + " is outside 0.." +
              std::to_string(entries.size() - 1));
    const auto* i = std::get_if<Indicator>(&entries[idx(k)]);
    check(i != nullptr && adds_up_over_people(*i), function,
          "benchmark row " + std::to_string(k) +
              " is not a mean or poverty measure (FGT), which alone add up over people");
  }
  c.benchmark = benchmark;
  c.sizes = area_population_sizes(c.population);
}

// Carries the sample's survey weights into the refit.
void add_sample_weights(Context& c, std::span<const double> weights, const char* function) {
  if (weights.empty()) return;
  check(static_cast<Eigen::Index>(weights.size()) == c.sample.X.rows(), function,
        "sample_weights has " + std::to_string(weights.size()) + " entries but the sample has " +
            std::to_string(c.sample.X.rows()) + " units");
  c.w =
      Eigen::Map<const Eigen::VectorXd>(weights.data(), static_cast<Eigen::Index>(weights.size()));
  c.weighted = weighted_design_sums(c.sample.X, c.w, c.sample.offsets);
}

Context make_context(const char* function, int n_mc, const SampleDesign& sample,
                     const PopulationDesign& population,
                     const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
                     const Eigen::Ref<const Eigen::VectorXd>& beta_hat, double sigma_u,
                     double sigma_e, const EbpScale& scale, const IndicatorSet& indicators) {
  check(n_mc >= 1, function, "n_mc must be at least 1, got " + std::to_string(n_mc));
  validate_sample_design(sample, function, /*require_constant=*/true);
  validate_sample_design(population, function, /*require_constant=*/true);
  const Eigen::Index p = sample.X.cols();
  const Eigen::Index m = population.n_areas();
  check(sample.X.rows() > 0, function, "the sample has no units");
  check(population.X.cols() == p, function,
        "the census design has " + std::to_string(population.X.cols()) +
            " columns but the sample design has " + std::to_string(p));
  check(beta_hat.size() == p, function,
        "beta_hat has " + std::to_string(beta_hat.size()) + " entries but the sample design has " +
            std::to_string(p) + " columns");
  check(smp_area_idx_in_pop.size() == sample.n_areas(), function,
        "smp_area_idx_in_pop has " + std::to_string(smp_area_idx_in_pop.size()) +
            " entries but the sample has " + std::to_string(sample.n_areas()) + " areas");
  check(std::isfinite(sigma_u) && sigma_u >= 0.0 && std::isfinite(sigma_e) && sigma_e >= 0.0,
        function, "sigma_u and sigma_e must be finite and non-negative");

  Context c{.sample = sample,
            .population = population,
            .beta_hat = beta_hat,
            .sigma_u = sigma_u,
            .sigma_e = sigma_e,
            .n_mc = n_mc,
            .scale = scale,
            .indicators = indicators,
            .design = precompute_design_stats(sample),
            .pop_of_area = {},
            .any_outside = false,
            .xb_smp = sample.X * beta_hat,
            .xb_pop = population.X * beta_hat,
            .may_be_undefined = {}};
  for (const IndicatorEntry& entry : indicators.entries()) {
    const auto* i = std::get_if<Indicator>(&entry);
    c.may_be_undefined.push_back(i != nullptr && (*i == Indicator::GINI || *i == Indicator::QSR));
  }
  std::vector<bool> seen(idx(m), false);
  for (Eigen::Index v = 0; v < sample.n_areas(); ++v) {
    const int a = smp_area_idx_in_pop(v);
    check(a >= -1 && a < m, function,
          "smp_area_idx_in_pop[" + std::to_string(v) + "] = " + std::to_string(a) +
              " is outside -1.." + std::to_string(m - 1));
    if (a < 0) {
      c.pop_of_area.push_back(-1);
      c.any_outside = true;
      continue;
    }
    check(!seen[idx(a)], function,
          "census area " + std::to_string(a) + " occurs twice in smp_area_idx_in_pop");
    seen[idx(a)] = true;
    c.pop_of_area.push_back(a);
  }
  return c;
}

// One replicate between its draw and its squared errors.
struct Replicate {
  Eigen::VectorXd u_star;     // M: area effects of the census areas
  Eigen::VectorXd u_outside;  // V (when some sample area is not in the census): their effects
  Eigen::VectorXd sum_y_raw;  // V: per-area sums of the bootstrap sample
  Eigen::VectorXd ybar_w;     // V (weighted refit): weighted area means of the bootstrap sample
  Eigen::VectorXd xt_w_y;     // p (weighted refit): sum_j w_j x_j y_j
  double mean = 0.0;
  double sd = 1.0;
};

struct ThreadWorkspace {
  ThreadWorkspace(Eigen::Index n, Eigen::Index v, Eigen::Index p) : y(n), sum_y(v), Xt_y(p) {}
  Eigen::VectorXd y;      // n
  Eigen::VectorXd sum_y;  // V
  Eigen::VectorXd Xt_y;   // p
};

class BatchRunner {
 public:
  BatchRunner(const Context& c, Eigen::Index batch)
      : c_(c), reps_(idx(batch)), stats_(idx(batch)), theta_(batch, 2) {
    for (Replicate& r : reps_) {
      r.u_star.resize(c.population.n_areas());
      r.sum_y_raw.resize(c.sample.n_areas());
      if (c.any_outside) r.u_outside.resize(c.sample.n_areas());
      if (c.weighted) {
        r.ybar_w.resize(c.sample.n_areas());
        r.xt_w_y.resize(c.sample.X.cols());
      }
    }
    const int n_threads = omp_get_max_threads();
    for (int t = 0; t < n_threads; ++t) {
      workspaces_.emplace_back(c.sample.X.rows(), c.sample.n_areas(), c.sample.X.cols());
    }
  }

  // Draws and refits the batch on `keys` (3 per replicate), then calls
  // on_replicate(b, squared_errors, failed) for the first n_real replicates
  // in order. The replicates' simulations run in parallel when
  // parallel_replicates is set and the call is not inside a parallel region.
  template <class F>
  void run(std::span<const random::Key> keys, Eigen::Index n_real, bool parallel_replicates,
           F&& on_replicate) {
    const auto batch = static_cast<Eigen::Index>(reps_.size());
    const bool parallel =
        batch * (c_.sample.X.rows() + c_.population.n_areas()) >= kMinParallelDraws &&
        !omp_in_parallel();
    internal::ParallelFailure failure;
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
    for (Eigen::Index b = 0; b < batch; ++b) {
      failure.run([&] {
        draw(keys.subspan(3 * idx(b), 3), reps_[idx(b)], stats_[idx(b)],
             workspaces_[idx(omp_get_thread_num())]);
      });
    }
    failure.rethrow();
    theta_.setConstant(kStartTheta);
    newton_reml_iterate(c_.design, stats_, theta_, batch, kNewtonSteps);
    sq_.resize(idx(n_real));
    failed_.assign(idx(n_real), 0);
#pragma omp parallel for schedule(dynamic, \
                                  1) if (parallel_replicates && n_real > 1 && !omp_in_parallel())
    for (Eigen::Index b = 0; b < n_real; ++b) {
      failure.run([&] {
        bool failed = false;
        sq_[idx(b)] = squared_errors(keys.subspan(3 * idx(b), 3), b, failed);
        failed_[idx(b)] = failed ? 1 : 0;
      });
    }
    failure.rethrow();
    for (Eigen::Index b = 0; b < n_real; ++b) on_replicate(b, sq_[idx(b)], failed_[idx(b)] != 0);
  }

 private:
  void draw(std::span<const random::Key> keys, Replicate& rep, NewtonReplicateStats& stats,
            ThreadWorkspace& ws) const {
    const SampleDesign& s = c_.sample;
    random::normal(keys[0], std::span<double>(rep.u_star.data(), idx(rep.u_star.size())));
    rep.u_star *= c_.sigma_u;
    if (c_.any_outside) {
      random::normal(random::fold_in(keys[0], 1),
                     std::span<double>(rep.u_outside.data(), idx(rep.u_outside.size())));
      rep.u_outside *= c_.sigma_u;
    }
    random::normal(random::fold_in(keys[1], 1), std::span<double>(ws.y.data(), idx(ws.y.size())));
    double total = 0.0, largest = 0.0;
    for (Eigen::Index v = 0; v < s.n_areas(); ++v) {
      const Eigen::Index a = c_.pop_of_area[idx(v)];
      const double u_a = a >= 0 ? rep.u_star(a) : rep.u_outside(v);
      double sum = 0.0;
      for (Eigen::Index j = s.offsets[idx(v)]; j < s.offsets[idx(v) + 1]; ++j) {
        const double y = c_.xb_smp(j) + u_a + c_.sigma_e * ws.y(j);
        ws.y(j) = y;
        sum += y;
        largest = std::max(largest, std::fabs(y));
      }
      rep.sum_y_raw(v) = sum;
      total += sum;
    }
    if (c_.weighted) {
      for (Eigen::Index v = 0; v < s.n_areas(); ++v) {
        const Eigen::Index begin = s.offsets[idx(v)];
        const Eigen::Index count = s.offsets[idx(v) + 1] - begin;
        rep.ybar_w(v) = count > 0 ? c_.w.segment(begin, count).dot(ws.y.segment(begin, count)) /
                                        c_.weighted->W(v)
                                  : 0.0;
      }
      rep.xt_w_y.noalias() = s.X.transpose() * c_.w.cwiseProduct(ws.y);
    }
    // Two passes, the deviations taken relative to the largest value so that
    // their squares neither overflow nor vanish: a location shift or a change
    // of unit of the response leaves the standardised replicate unchanged.
    const auto n = static_cast<double>(s.X.rows());
    rep.mean = total / n;
    const double unit = largest > 0.0 && std::isfinite(largest) ? largest : 1.0;
    const double inv_unit = 1.0 / unit;
    double squares = 0.0;
    for (Eigen::Index j = 0; j < s.X.rows(); ++j) {
      const double d = (ws.y(j) - rep.mean) * inv_unit;
      squares += d * d;
    }
    const double sd = std::sqrt(squares / n) * unit;
    // A constant replicate (no spread to scale by) is only centred.
    rep.sd = sd > 0.0 ? sd : 1.0;
    standardize_replicate_stats(s, c_.design, rep.mean, 1.0 / rep.sd, ws.y, ws.sum_y, ws.Xt_y,
                                stats);
  }

  Eigen::MatrixXd squared_errors(std::span<const random::Key> keys, Eigen::Index b,
                                 bool& failed) const {
    const Replicate& rep = reps_[idx(b)];
    const Eigen::Vector2d theta = theta_.row(b).transpose();
    Eigen::VectorXd beta = newton_reml_beta(theta, c_.design, stats_[idx(b)]) * rep.sd;
    beta(0) += rep.mean;
    const double sigma_e = std::exp(theta(0)) * rep.sd;
    const double sigma_u = std::exp(theta(1)) * rep.sd;
    std::optional<PseudoEblup> pseudo;
    if (c_.weighted && std::isfinite(sigma_e) && std::isfinite(sigma_u)) {
      pseudo = pseudo_eblup_from_sums(*c_.weighted, rep.xt_w_y, rep.ybar_w, sigma_u * sigma_u,
                                      sigma_e * sigma_e);
      beta = pseudo->beta;
    }

    const Eigen::Index m = c_.population.n_areas();
    if (!beta.allFinite() || !std::isfinite(sigma_e) || !std::isfinite(sigma_u)) {
      failed = true;
      return Eigen::MatrixXd::Constant(static_cast<Eigen::Index>(c_.indicators.size()),
                                       m + static_cast<Eigen::Index>(c_.groups.size()),
                                       std::numeric_limits<double>::quiet_NaN());
    }
    const Eigen::MatrixXd truth =
        internal::census_indicators_from_fixed_part(keys[1], c_.population, c_.xb_pop, rep.u_star,
                                                    c_.sigma_e, c_.scale, c_.indicators, c_.groups);
    Eigen::VectorXd gamma = Eigen::VectorXd::Zero(m);
    Eigen::VectorXd u_hat = Eigen::VectorXd::Zero(m);
    const double su2 = sigma_u * sigma_u;
    const double se2 = sigma_e * sigma_e;
    for (Eigen::Index v = 0; v < c_.sample.n_areas(); ++v) {
      const Eigen::Index a = c_.pop_of_area[idx(v)];
      if (a < 0) continue;  // in the fit, without prediction
      if (pseudo) {
        gamma(a) = pseudo->gamma(v);
        u_hat(a) = pseudo->u_hat(v);
        continue;
      }
      const double n_safe = std::max(c_.design.n_i(v), 1.0);
      gamma(a) = eblup_gamma(su2, se2 / n_safe);
      // gamma times the area's residual sum, over n: the effect of its mean residual.
      u_hat(a) =
          eblup_area_effect(gamma(a), rep.sum_y_raw(v) - c_.design.sum_X.row(v).dot(beta), 0.0) /
          n_safe;
    }
    Eigen::MatrixXd estimate =
        simulate_ebp(keys[2], c_.n_mc, c_.population, beta, u_hat, gamma, sigma_u, sigma_e,
                     c_.scale, c_.indicators, nullptr, c_.groups);
    // The benchmarked estimator: the replicate's own national truth is the target.
    for (const Eigen::Index k : c_.benchmark.rows) {
      const double target = population_weighted_average(truth.row(k).head(m).transpose(), c_.sizes);
      if (!benchmark_row(estimate, {.row = k, .target = target}, c_.benchmark.type, c_.sizes,
                         c_.groups)
               .done) {
        estimate.row(k).setConstant(std::numeric_limits<double>::quiet_NaN());
      }
    }
    // A non-finite value fails the replicate, except the NaN of an indicator
    // undefined on a population (indicators.h), which leaves the MSE of that
    // indicator and area undefined.
    for (Eigen::Index k = 0; k < truth.rows() && !failed; ++k) {
      const bool may_be_undefined = c_.may_be_undefined[idx(k)];
      for (Eigen::Index a = 0; a < truth.cols() && !failed; ++a) {
        for (const double v : {estimate(k, a), truth(k, a)}) {
          failed = failed || !(std::isfinite(v) || (may_be_undefined && std::isnan(v)));
        }
      }
    }
    return (estimate - truth).cwiseAbs2();
  }

  const Context& c_;
  std::vector<Replicate> reps_;
  std::vector<NewtonReplicateStats> stats_;
  Eigen::MatrixXd theta_;
  std::vector<ThreadWorkspace> workspaces_;
  std::vector<Eigen::MatrixXd> sq_;  // squared errors of the replicates of a run
  std::vector<char> failed_;
};

// Whether a call simulating n_reps (n_mc + 1) censuses is worth running in
// parallel.
bool worth_parallel(const Context& c, Eigen::Index n_reps) {
  return static_cast<double>(n_reps) * (c.n_mc + 1.0) *
             static_cast<double>(c.population.X.rows()) >=
         kMinParallelUnits;
}

}  // namespace

std::vector<Eigen::MatrixXd> run_bootstrap_ebp_batch(
    std::span<const random::Key> keys, int n_mc, const SampleDesign& sample,
    const PopulationDesign& population,
    const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
    const Eigen::Ref<const Eigen::VectorXd>& beta_hat, double sigma_u, double sigma_e,
    const EbpScale& scale, const IndicatorSet& indicators) {
  constexpr const char* kFunction = "run_bootstrap_ebp_batch";
  check(!keys.empty() && keys.size() % 3 == 0, kFunction,
        "keys must hold three keys per replicate, got " + std::to_string(keys.size()));
  const Context c = make_context(kFunction, n_mc, sample, population, smp_area_idx_in_pop, beta_hat,
                                 sigma_u, sigma_e, scale, indicators);
  const auto batch = static_cast<Eigen::Index>(keys.size() / 3);
  BatchRunner runner(c, batch);
  std::vector<Eigen::MatrixXd> out;
  runner.run(keys, batch, worth_parallel(c, batch),
             [&](Eigen::Index, const Eigen::MatrixXd& sq, bool) { out.push_back(sq); });
  return out;
}

EbpBootstrapResult mse_bootstrap_ebp(random::Key rng_key, int n_reps, int n_mc,
                                     const SampleDesign& sample, const PopulationDesign& population,
                                     const Eigen::Ref<const Eigen::VectorXi>& smp_area_idx_in_pop,
                                     const Eigen::Ref<const Eigen::VectorXd>& beta_hat,
                                     double sigma_u, double sigma_e, const EbpScale& scale,
                                     const IndicatorSet& indicators,
                                     const BootstrapEbpOptions& options) {
  constexpr const char* kFunction = "mse_bootstrap_ebp";
  check(n_reps >= 1, kFunction, "n_reps must be at least 1, got " + std::to_string(n_reps));
  check(std::uint64_t{3} * static_cast<std::uint64_t>(n_reps) <= (std::uint64_t{1} << 32),
        kFunction, "n_reps must be at most 2^32 / 3, got " + std::to_string(n_reps));
  check(options.batch_size >= 1, kFunction,
        "batch_size must be at least 1, got " + std::to_string(options.batch_size));
  Context c = make_context(kFunction, n_mc, sample, population, smp_area_idx_in_pop, beta_hat,
                           sigma_u, sigma_e, scale, indicators);
  add_sample_weights(c, options.sample_weights, kFunction);
  c.groups = options.groups;
  add_benchmark(c, options.benchmark, kFunction);
  const Eigen::Index n_columns = population.n_areas() + static_cast<Eigen::Index>(c.groups.size());

  // A batch holds at most every replicate.
  const Eigen::Index batch = std::min(options.batch_size, n_reps);
  const Eigen::Index n_batches = (n_reps + batch - 1) / batch;
  // This process runs its range of batches (all of them without a share).
  SingleProcessShare single;
  ReplicateShare& share = share_or_single(options.share, single);
  const BatchRange mine = share.begin(n_batches);
  const Eigen::Index n_mine = mine.end - mine.first;
  // Batches are independent given their keys: a group of them runs at once,
  // one batch per thread, and their squared errors are then summed in
  // replicate order on the calling thread. With one batch per group the
  // replicates of the batch run in parallel instead, and a single replicate
  // runs its areas in parallel: that is the better use of the threads when
  // this process has fewer than half as many replicates as threads (a
  // process of a cluster run with a few replicates on many cores).
  const bool parallel = worth_parallel(c, n_reps) && omp_get_max_threads() > 1 &&
                        2 * n_mine * batch >= omp_get_max_threads();
  const std::size_t held_per_batch =
      idx(batch) * indicators.size() * idx(std::max<Eigen::Index>(n_columns, 1));
  const Eigen::Index group =
      parallel ? std::clamp<Eigen::Index>(
                     static_cast<Eigen::Index>(kMaxHeldErrors / held_per_batch), 1,
                     std::clamp<Eigen::Index>(n_mine, 1, 4 * Eigen::Index{omp_get_max_threads()}))
               : 1;
  const int n_runners = group > 1 ? omp_get_max_threads() : 1;
  // Each batch derives its own keys, children 3 first .. 3 (first + n_real) - 1
  // of split(rng_key, 3 n_reps), so memory does not grow with n_reps.
  std::vector<std::vector<random::Key>> batch_keys(idx(n_runners),
                                                   std::vector<random::Key>(3 * idx(batch)));
  std::vector<BatchRunner> runners;
  runners.reserve(idx(n_runners));
  for (int t = 0; t < n_runners; ++t) runners.emplace_back(c, batch);
  // Squared errors and failure flags of the group's replicates, in order.
  std::vector<Eigen::MatrixXd> held(idx(group * batch));
  std::vector<char> held_failed(idx(group * batch), 0);

  EbpBootstrapResult result{
      .mse = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(indicators.size()), n_columns),
      .n_failed = 0};
  const auto row = [](const Eigen::MatrixXd& sq) {
    return std::span<const double>(sq.data(), idx(sq.size()));
  };
  for (Eigen::Index g = mine.first; g < mine.end; g += group) {
    const Eigen::Index count = std::min(group, mine.end - g);
    internal::ParallelFailure failure;
#pragma omp parallel for schedule(dynamic, 1) if (count > 1)
    for (Eigen::Index j = 0; j < count; ++j) {
      failure.run([&] {
        const auto t = idx(omp_get_thread_num());
        const Eigen::Index first = (g + j) * batch;
        const Eigen::Index n_real = std::min(batch, n_reps - first);
        std::vector<random::Key>& keys = batch_keys[t];
        std::fill(keys.begin(), keys.end(), random::Key{});
        random::split(rng_key, 3 * static_cast<std::uint64_t>(first),
                      std::span<random::Key>(keys.data(), 3 * idx(n_real)));
        runners[t].run(keys, n_real, parallel,
                       [&](Eigen::Index b, const Eigen::MatrixXd& sq, bool failed) {
                         held[idx(j * batch + b)] = sq;
                         held_failed[idx(j * batch + b)] = failed ? 1 : 0;
                       });
      });
    }
    failure.rethrow();
    for (Eigen::Index j = 0; j < count; ++j) {
      const Eigen::Index n_real = std::min(batch, n_reps - (g + j) * batch);
      for (Eigen::Index b = 0; b < n_real; ++b) {
        result.mse += held[idx(j * batch + b)];
        result.n_failed += held_failed[idx(j * batch + b)];
        share.add(row(held[idx(j * batch + b)]));
      }
      share.batch_done(options.on_progress);
    }
  }
  result.n_failed =
      static_cast<int>(share.finish(std::span<double>(result.mse.data(), idx(result.mse.size())),
                                    result.n_failed, options.on_progress));
  result.mse /= static_cast<double>(n_reps);
  return result;
}

}  // namespace kelp_sae::kernels
