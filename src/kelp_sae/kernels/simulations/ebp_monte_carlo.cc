#include "kelp_sae/kernels/simulations/ebp_monte_carlo.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp_sae/core/checks.h"
#include "kelp_sae/kernels/optimization/internal/parallel_failure.h"
#include "kelp_sae/kernels/simulations/internal/area_synthesis.h"
#include "kelp_sae/kernels/simulations/internal/census_truth.h"

namespace kelp_sae::kernels {
namespace {

// Area keys held at once: replicates are taken in chunks of at most this
// many (replicate, area) pairs. A memory bound only; results do not depend
// on it.
constexpr std::size_t kMaxChunkKeys = std::size_t{1} << 18;
// Below this many simulated units a parallel region costs more than it saves
// (and on a busy machine a thread waiting at its barrier can lose a whole
// time slice), so smaller work runs on the calling thread, as does work
// started inside a parallel region (the caller parallelises over replicates).
// Results do not depend on it.
constexpr std::size_t kMinParallelUnits = std::size_t{1} << 15;

std::size_t idx(Eigen::Index i) { return static_cast<std::size_t>(i); }

// The population weights of the units from row `first` on, or null when the
// census is unweighted.
const double* unit_weights(const PopulationDesign& population, Eigen::Index first) {
  return population.weights.empty() ? nullptr : population.weights.data() + idx(first);
}

void check_model(const char* function, const PopulationDesign& population,
                 const Eigen::Ref<const Eigen::VectorXd>& beta, double sigma_e) {
  validate_sample_design(population, function, /*require_constant=*/true);
  check(beta.size() == population.X.cols(), function,
        "beta has " + std::to_string(beta.size()) + " entries but the population design has " +
            std::to_string(population.X.cols()) + " columns");
  check(std::isfinite(sigma_e) && sigma_e >= 0.0, function,
        "sigma_e must be finite and non-negative, got " + std::to_string(sigma_e));
  const auto bad = std::find_if(population.weights.begin(), population.weights.end(),
                                [](double w) { return !(std::isfinite(w) && w >= 0.0); });
  check(bad == population.weights.end(), function,
        "population weights must be finite and non-negative, got " +
            (bad == population.weights.end() ? std::string() : std::to_string(*bad)) + " in row " +
            std::to_string(bad - population.weights.begin()));
}

void check_area_vector(const char* function, const char* name,
                       const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::Index m) {
  check(v.size() == m, function,
        std::string(name) + " has " + std::to_string(v.size()) +
            " entries but the population has " + std::to_string(m) + " areas");
}

// Per-thread buffers of one call, sized for the largest area.
struct Workspace {
  Workspace(Eigen::Index max_units, std::size_t k) : xb(max_units), y(idx(max_units)), values(k) {}
  Eigen::VectorXd xb;
  std::vector<double> y;
  std::vector<double> values;
};

std::vector<Workspace> make_workspaces(const PopulationDesign& population, std::size_t k) {
  Eigen::Index max_units = 0;
  for (Eigen::Index a = 0; a < population.n_areas(); ++a) {
    max_units = std::max(max_units, population.n_units(a));
  }
  std::vector<Workspace> ws;
  const int n_threads = omp_get_max_threads();
  ws.reserve(static_cast<std::size_t>(n_threads));
  for (int t = 0; t < n_threads; ++t) ws.emplace_back(max_units, k);
  return ws;
}

// x' beta of area a's units into ws.xb.
void area_fixed_part(const PopulationDesign& population, Eigen::Index a,
                     const Eigen::Ref<const Eigen::VectorXd>& beta, Workspace& ws) {
  const Eigen::Index n = population.n_units(a);
  ws.xb.head(n).noalias() = population.X.middleRows(population.offsets[idx(a)], n) * beta;
}

// Units drawn and synthesised at a time: a block of draws is brought to the
// data scale while it is still in the first-level cache, however large the
// area. Results depend on it only through the order in which the block sums
// are added (fixed).
constexpr std::size_t kDrawBlock = 1024;

// The values of n synthetic units with fixed parts xb[0..n) into out: unit
// j takes normal draw first_draw + j of `key`. Returns their sums (weighted
// by w, one per unit, when not null) and the count of values floored by the
// inverse Box-Cox.
IndicatorSet::Sums synthesize_units(const double* xb, const double* w, random::Key key,
                                    std::uint64_t first_draw, Eigen::Index n, double u,
                                    double sigma_e, const EbpScale& scale,
                                    const IndicatorSet& indicators, double* out) {
  IndicatorSet::Sums sums;
  for (std::size_t j = 0; j < idx(n); j += kDrawBlock) {
    const std::size_t len = std::min(kDrawBlock, idx(n) - j);
    double* y = out + j;
    random::normal(key, std::span<double>(y, len), first_draw + j);
    const IndicatorSet::Sums block = internal::synthesize_area(
        xb + j, y, len, u, sigma_e, scale.back_transformation, scale.shift, indicators.threshold(),
        y, w == nullptr ? nullptr : w + j);
    sums.sum += block.sum;
    sums.poor += block.poor;
    sums.gap += block.gap;
    sums.gap_sq += block.gap_sq;
    sums.floored += block.floored;
    sums.weight += block.weight;
  }
  return sums;
}

// The indicators into ws.values of the n values in ws.y (weighted by w when
// given) with their sums.
void evaluate_values(const double* w, Eigen::Index n, const IndicatorSet::Sums& sums,
                     const IndicatorSet& indicators, Workspace& ws) {
  if (w != nullptr && n > 0) {  // an empty area gives the documented zeros either way
    indicators.evaluate_weighted_with_sums(std::span<const double>(ws.y.data(), idx(n)),
                                           std::span<const double>(w, idx(n)), sums, ws.values);
  } else {
    indicators.evaluate_with_sums(std::span<double>(ws.y.data(), idx(n)), sums, ws.values);
  }
}

// The indicators of one synthetic area (into ws.values; its values end in
// ws.y). Returns the count of values floored by the inverse Box-Cox.
double simulate_area(const double* xb, const double* w, random::Key key, std::uint64_t first_draw,
                     Eigen::Index n, double u, double sigma_e, const EbpScale& scale,
                     const IndicatorSet& indicators, Workspace& ws) {
  const IndicatorSet::Sums sums =
      synthesize_units(xb, w, key, first_draw, n, u, sigma_e, scale, indicators, ws.y.data());
  evaluate_values(w, n, sums, indicators, ws);
  return sums.floored;
}

// Per-thread buffers for the higher levels, sized for the largest group.
struct GroupWorkspace {
  GroupWorkspace(Eigen::Index max_units, std::size_t k, bool weighted)
      : ws(max_units, k), w(weighted ? idx(max_units) : 0) {}
  Workspace ws;
  std::vector<double> w;
};

std::vector<GroupWorkspace> make_group_workspaces(const PopulationDesign& population,
                                                  AreaGroups groups, std::size_t k) {
  Eigen::Index max_units = 0;
  for (const auto& g : groups) {
    Eigen::Index n = 0;
    for (const Eigen::Index a : g) n += population.n_units(a);
    max_units = std::max(max_units, n);
  }
  std::vector<GroupWorkspace> ws;
  const int n_threads = omp_get_max_threads();
  ws.reserve(static_cast<std::size_t>(n_threads));
  for (int t = 0; t < n_threads; ++t) {
    ws.emplace_back(max_units, k, !population.weights.empty());
  }
  return ws;
}

// The indicators (into gw.ws.values) of the pooled units of the areas of a
// group: area a's units take the fixed parts xb (N, census order), the area
// effect u_of(a) and the normal draws first_draw_of(a) + j of key_of(a),
// exactly the values its own area row is computed from.
template <class KeyOf, class UOf, class FirstOf>
void simulate_group(const PopulationDesign& population, std::span<const Eigen::Index> areas,
                    const Eigen::Ref<const Eigen::VectorXd>& xb, KeyOf key_of, UOf u_of,
                    FirstOf first_draw_of, double sigma_e, const EbpScale& scale,
                    const IndicatorSet& indicators, GroupWorkspace& gw) {
  IndicatorSet::Sums sums;
  Eigen::Index filled = 0;
  const bool weighted = !population.weights.empty();
  for (const Eigen::Index a : areas) {
    const Eigen::Index first = population.offsets[idx(a)];
    const Eigen::Index n = population.n_units(a);
    const double* w = unit_weights(population, first);
    const IndicatorSet::Sums s =
        synthesize_units(xb.data() + first, w, key_of(a), first_draw_of(a), n, u_of(a), sigma_e,
                         scale, indicators, gw.ws.y.data() + filled);
    if (weighted) std::copy(w, w + n, gw.w.data() + filled);
    sums.sum += s.sum;
    sums.poor += s.poor;
    sums.gap += s.gap;
    sums.gap_sq += s.gap_sq;
    sums.weight += s.weight;
    filled += n;
  }
  evaluate_values(weighted ? gw.w.data() : nullptr, filled, sums, indicators, gw.ws);
}

void check_groups(const char* function, AreaGroups groups, Eigen::Index m) {
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (const Eigen::Index a : groups[g]) {
      check(a >= 0 && a < m, function,
            "group " + std::to_string(g) + " names area " + std::to_string(a) + " outside 0.." +
                std::to_string(m - 1));
    }
  }
}

}  // namespace

Eigen::MatrixXd simulate_ebp(random::Key rng_key, int n_mc, const PopulationDesign& population,
                             const Eigen::Ref<const Eigen::VectorXd>& beta,
                             const Eigen::Ref<const Eigen::VectorXd>& u_eblup,
                             const Eigen::Ref<const Eigen::VectorXd>& gamma, double sigma_u,
                             double sigma_e, const EbpScale& scale, const IndicatorSet& indicators,
                             EbpSimulationCounts* counts, AreaGroups groups) {
  constexpr const char* kFunction = "simulate_ebp";
  check(n_mc >= 1, kFunction, "n_mc must be at least 1, got " + std::to_string(n_mc));
  check_model(kFunction, population, beta, sigma_e);
  check(std::isfinite(sigma_u) && sigma_u >= 0.0, kFunction,
        "sigma_u must be finite and non-negative, got " + std::to_string(sigma_u));
  const Eigen::Index m = population.n_areas();
  check_area_vector(kFunction, "u_eblup", u_eblup, m);
  check_area_vector(kFunction, "gamma", gamma, m);
  check_groups(kFunction, groups, m);

  const std::size_t k = indicators.size();
  const auto n_groups = static_cast<Eigen::Index>(groups.size());
  Eigen::MatrixXd sums = Eigen::MatrixXd::Zero(static_cast<Eigen::Index>(k), m + n_groups);
  if (m == 0) return sums;
  Eigen::VectorXd sigma_cond(m);
  for (Eigen::Index a = 0; a < m; ++a) {
    sigma_cond(a) = std::sqrt(std::max(sigma_u * sigma_u * (1.0 - gamma(a)), 0.0));
  }

  const std::vector<random::Key> replicate_keys = random::split(rng_key, idx(n_mc));
  const std::size_t chunk = std::clamp<std::size_t>(kMaxChunkKeys / idx(m), 1, idx(n_mc));
  std::vector<random::Key> effect_keys(chunk * idx(m)), error_keys(chunk * idx(m));
  std::vector<Workspace> workspaces = make_workspaces(population, k);
  Eigen::VectorXd floored = Eigen::VectorXd::Zero(m);  // per area, summed in area order
  // The higher levels pool their areas' units, drawn again from the same keys.
  std::vector<GroupWorkspace> group_workspaces;
  Eigen::VectorXd xb_all;
  if (n_groups > 0) {
    group_workspaces = make_group_workspaces(population, groups, k);
    xb_all = population.X * beta;
  }

  for (std::size_t first = 0; first < idx(n_mc); first += chunk) {
    const std::size_t count = std::min(chunk, idx(n_mc) - first);
    for (std::size_t r = 0; r < count; ++r) {
      const auto [k1, k2] = random::split2(replicate_keys[first + r]);
      random::split(k1, 0, std::span<random::Key>(effect_keys.data() + r * idx(m), idx(m)));
      random::split(k2, 0, std::span<random::Key>(error_keys.data() + r * idx(m), idx(m)));
    }
    const bool parallel =
        count * idx(population.X.rows()) >= kMinParallelUnits && !omp_in_parallel();
    internal::ParallelFailure failure;
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
    for (Eigen::Index a = 0; a < m; ++a) {
      failure.run([&] {
        Workspace& ws = workspaces[idx(omp_get_thread_num())];
        const Eigen::Index n = population.n_units(a);
        area_fixed_part(population, a, beta, ws);
        for (std::size_t r = 0; r < count; ++r) {
          double z = 0.0;
          random::normal(effect_keys[r * idx(m) + idx(a)], std::span<double>(&z, 1));
          floored(a) +=
              simulate_area(ws.xb.data(), unit_weights(population, population.offsets[idx(a)]),
                            error_keys[r * idx(m) + idx(a)], 0, n, u_eblup(a) + sigma_cond(a) * z,
                            sigma_e, scale, indicators, ws);
          for (std::size_t i = 0; i < k; ++i) {
            sums(static_cast<Eigen::Index>(i), a) += ws.values[i];
          }
        }
      });
    }
    failure.rethrow();
#pragma omp parallel for schedule(dynamic, 1) if (parallel && n_groups > 1)
    for (Eigen::Index g = 0; g < n_groups; ++g) {
      failure.run([&] {
        GroupWorkspace& gw = group_workspaces[idx(omp_get_thread_num())];
        for (std::size_t r = 0; r < count; ++r) {
          const auto key_of = [&](Eigen::Index a) { return error_keys[r * idx(m) + idx(a)]; };
          const auto u_of = [&](Eigen::Index a) {
            double z = 0.0;
            random::normal(effect_keys[r * idx(m) + idx(a)], std::span<double>(&z, 1));
            return u_eblup(a) + sigma_cond(a) * z;
          };
          simulate_group(
              population, groups[idx(g)], xb_all, key_of, u_of,
              [](Eigen::Index) { return std::uint64_t{0}; }, sigma_e, scale, indicators, gw);
          for (std::size_t i = 0; i < k; ++i) {
            sums(static_cast<Eigen::Index>(i), m + g) += gw.ws.values[i];
          }
        }
      });
    }
    failure.rethrow();
  }
  if (counts != nullptr) counts->floored = static_cast<std::int64_t>(floored.sum());
  return sums / static_cast<double>(n_mc);
}

Eigen::MatrixXd census_indicators(random::Key key, const PopulationDesign& population,
                                  const Eigen::Ref<const Eigen::VectorXd>& beta,
                                  const Eigen::Ref<const Eigen::VectorXd>& u, double sigma_e,
                                  const EbpScale& scale, const IndicatorSet& indicators,
                                  AreaGroups groups) {
  constexpr const char* kFunction = "census_indicators";
  check_model(kFunction, population, beta, sigma_e);
  check_area_vector(kFunction, "u", u, population.n_areas());
  check_groups(kFunction, groups, population.n_areas());
  const Eigen::VectorXd xb = population.X * beta;
  return internal::census_indicators_from_fixed_part(key, population, xb, u, sigma_e, scale,
                                                     indicators, groups);
}

namespace internal {

Eigen::MatrixXd census_indicators_from_fixed_part(
    random::Key key, const PopulationDesign& population,
    const Eigen::Ref<const Eigen::VectorXd>& xb, const Eigen::Ref<const Eigen::VectorXd>& u,
    double sigma_e, const EbpScale& scale, const IndicatorSet& indicators, AreaGroups groups) {
  const Eigen::Index m = population.n_areas();
  const std::size_t k = indicators.size();
  const auto n_groups = static_cast<Eigen::Index>(groups.size());
  Eigen::MatrixXd out(static_cast<Eigen::Index>(k), m + n_groups);
  std::vector<Workspace> workspaces = make_workspaces(population, k);
  ParallelFailure failure;
#pragma omp parallel for schedule( \
    dynamic, 1) if (idx(population.X.rows()) >= kMinParallelUnits && !omp_in_parallel())
  for (Eigen::Index a = 0; a < m; ++a) {
    failure.run([&] {
      Workspace& ws = workspaces[idx(omp_get_thread_num())];
      const Eigen::Index first = population.offsets[idx(a)];
      simulate_area(xb.data() + first, unit_weights(population, first), key,
                    static_cast<std::uint64_t>(first), population.n_units(a), u(a), sigma_e, scale,
                    indicators, ws);
      for (std::size_t i = 0; i < k; ++i) out(static_cast<Eigen::Index>(i), a) = ws.values[i];
    });
  }
  failure.rethrow();
  if (n_groups == 0) return out;
  std::vector<GroupWorkspace> group_workspaces = make_group_workspaces(population, groups, k);
#pragma omp parallel for schedule( \
    dynamic, 1) if (idx(population.X.rows()) >= kMinParallelUnits && !omp_in_parallel())
  for (Eigen::Index g = 0; g < n_groups; ++g) {
    failure.run([&] {
      GroupWorkspace& gw = group_workspaces[idx(omp_get_thread_num())];
      simulate_group(
          population, groups[idx(g)], xb, [&](Eigen::Index) { return key; },
          [&](Eigen::Index a) { return u(a); },
          [&](Eigen::Index a) { return static_cast<std::uint64_t>(population.offsets[idx(a)]); },
          sigma_e, scale, indicators, gw);
      for (std::size_t i = 0; i < k; ++i)
        out(static_cast<Eigen::Index>(i), m + g) = gw.ws.values[i];
    });
  }
  failure.rethrow();
  return out;
}

}  // namespace internal
}  // namespace kelp_sae::kernels
