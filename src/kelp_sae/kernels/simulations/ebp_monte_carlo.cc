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
// Indicator values held at once by a simulation with higher levels, which
// keeps those of every (replicate, area or group) of a chunk.
constexpr std::size_t kMaxChunkValues = std::size_t{1} << 18;
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

// The indicators into out of the n values y (weighted by w when given) with
// their sums. Unweighted, rank-based indicators leave y sorted.
void evaluate_values(const double* w, double* y, Eigen::Index n, const IndicatorSet::Sums& sums,
                     const IndicatorSet& indicators, std::span<double> out) {
  if (w != nullptr && n > 0) {  // an empty area gives the documented zeros either way
    indicators.evaluate_weighted_with_sums(std::span<const double>(y, idx(n)),
                                           std::span<const double>(w, idx(n)), sums, out);
  } else {
    indicators.evaluate_with_sums(std::span<double>(y, idx(n)), sums, out);
  }
}

// The indicators of one synthetic area (into ws.values; its values end in
// ws.y). Returns the count of values floored by the inverse Box-Cox.
double simulate_area(const double* xb, const double* w, random::Key key, std::uint64_t first_draw,
                     Eigen::Index n, double u, double sigma_e, const EbpScale& scale,
                     const IndicatorSet& indicators, Workspace& ws) {
  const IndicatorSet::Sums sums =
      synthesize_units(xb, w, key, first_draw, n, u, sigma_e, scale, indicators, ws.y.data());
  evaluate_values(w, ws.y.data(), n, sums, indicators, ws.values);
  return sums.floored;
}

// With higher levels the work goes in blocks: each group, then each area in no
// group on its own. A block's areas are synthesised one after another into
// one buffer, each area evaluated as soon as it is drawn and the group from
// the whole buffer, so a group costs its own evaluation only, never a second
// draw of its units. An area in several groups is drawn in each (the same
// values, from the same keys) and evaluated in the first.
struct Block {
  std::vector<Eigen::Index> areas;
  std::vector<char> evaluates;  // evaluates[i]: areas[i]'s own indicators come from here
  Eigen::Index group = -1;      // -1: an area in no group
  Eigen::Index units = 0;
};

std::vector<Block> make_blocks(const PopulationDesign& population, AreaGroups groups) {
  const Eigen::Index m = population.n_areas();
  std::vector<char> placed(idx(m), 0);
  std::vector<Block> blocks;
  const auto add = [&](Block& b, Eigen::Index a) {
    b.areas.push_back(a);
    b.evaluates.push_back(placed[idx(a)] == 0 ? 1 : 0);
    placed[idx(a)] = 1;
    b.units += population.n_units(a);
  };
  for (std::size_t g = 0; g < groups.size(); ++g) {
    Block b;
    b.group = static_cast<Eigen::Index>(g);
    for (const Eigen::Index a : groups[g]) add(b, a);
    blocks.push_back(std::move(b));
  }
  for (Eigen::Index a = 0; a < m; ++a) {
    if (placed[idx(a)] != 0) continue;
    Block b;
    add(b, a);
    blocks.push_back(std::move(b));
  }
  return blocks;
}

// Per-thread buffers of a blocked call, sized for the largest block.
struct BlockWorkspace {
  BlockWorkspace(Eigen::Index max_units, std::size_t k, bool weighted)
      : y(idx(max_units)), w(weighted ? idx(max_units) : 0), values(k) {}
  std::vector<double> y;
  std::vector<double> w;  // a group's population weights, in block order
  std::vector<double> values;
};

std::vector<BlockWorkspace> make_block_workspaces(const PopulationDesign& population,
                                                  std::span<const Block> blocks, std::size_t k) {
  Eigen::Index max_units = 0;
  bool pooled = false;
  for (const Block& b : blocks) {
    max_units = std::max(max_units, b.units);
    pooled = pooled || b.group >= 0;
  }
  std::vector<BlockWorkspace> ws;
  const int n_threads = omp_get_max_threads();
  ws.reserve(static_cast<std::size_t>(n_threads));
  for (int t = 0; t < n_threads; ++t) {
    ws.emplace_back(max_units, k, pooled && !population.weights.empty());
  }
  return ws;
}

// How unit j of an area is drawn: normal draw first_draw + j of key, around
// the area effect u.
struct AreaDraw {
  random::Key key;
  std::uint64_t first_draw = 0;
  double u = 0.0;
};

// One synthetic population of a block. Area a's units take the fixed parts
// xb + offsets[a] and the draws draw_of(a); the indicators of each area it
// evaluates go to area_out(a, values, floored), a group's to group_out (empty
// for a block of one area in no group).
template <class DrawOf, class AreaOut>
void simulate_block(const PopulationDesign& population, const Block& block, const double* xb,
                    DrawOf draw_of, double sigma_e, const EbpScale& scale,
                    const IndicatorSet& indicators, BlockWorkspace& bw, AreaOut area_out,
                    std::span<double> group_out) {
  const bool pooled = block.group >= 0;
  const bool weighted = !population.weights.empty();
  IndicatorSet::Sums sums;
  Eigen::Index filled = 0;
  for (std::size_t i = 0; i < block.areas.size(); ++i) {
    const Eigen::Index a = block.areas[i];
    const Eigen::Index first = population.offsets[idx(a)];
    const Eigen::Index n = population.n_units(a);
    const double* w = unit_weights(population, first);
    const AreaDraw draw = draw_of(a);
    double* y = bw.y.data() + filled;
    const IndicatorSet::Sums s = synthesize_units(xb + first, w, draw.key, draw.first_draw, n,
                                                  draw.u, sigma_e, scale, indicators, y);
    if (pooled && weighted) std::copy(w, w + n, bw.w.data() + filled);
    if (block.evaluates[i] != 0) {
      evaluate_values(w, y, n, s, indicators, bw.values);
      area_out(a, std::span<const double>(bw.values), s.floored);
    }
    sums.sum += s.sum;
    sums.poor += s.poor;
    sums.gap += s.gap;
    sums.gap_sq += s.gap_sq;
    sums.weight += s.weight;
    filled += n;
  }
  if (pooled) {
    evaluate_values(weighted ? bw.w.data() : nullptr, bw.y.data(), filled, sums, indicators,
                    group_out);
  }
}

// x' beta of every census unit, area by area exactly as area_fixed_part forms
// it, so that area values do not depend on the presence of groups.
Eigen::VectorXd fixed_parts_by_area(const PopulationDesign& population,
                                    const Eigen::Ref<const Eigen::VectorXd>& beta) {
  Eigen::VectorXd xb(population.X.rows());
  for (Eigen::Index a = 0; a < population.n_areas(); ++a) {
    const Eigen::Index n = population.n_units(a);
    const Eigen::Index first = population.offsets[idx(a)];
    xb.segment(first, n).noalias() = population.X.middleRows(first, n) * beta;
  }
  return xb;
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
  Eigen::VectorXd floored = Eigen::VectorXd::Zero(m);  // per area, summed in area order
  const auto split_keys = [&](std::size_t first, std::size_t count) {
    for (std::size_t r = 0; r < count; ++r) {
      const auto [k1, k2] = random::split2(replicate_keys[first + r]);
      random::split(k1, 0, std::span<random::Key>(effect_keys.data() + r * idx(m), idx(m)));
      random::split(k2, 0, std::span<random::Key>(error_keys.data() + r * idx(m), idx(m)));
    }
  };
  const auto area_effect = [&](std::size_t r, Eigen::Index a) {
    double z = 0.0;
    random::normal(effect_keys[r * idx(m) + idx(a)], std::span<double>(&z, 1));
    return u_eblup(a) + sigma_cond(a) * z;
  };

  if (n_groups == 0) {
    std::vector<Workspace> workspaces = make_workspaces(population, k);
    for (std::size_t first = 0; first < idx(n_mc); first += chunk) {
      const std::size_t count = std::min(chunk, idx(n_mc) - first);
      split_keys(first, count);
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
            floored(a) +=
                simulate_area(ws.xb.data(), unit_weights(population, population.offsets[idx(a)]),
                              error_keys[r * idx(m) + idx(a)], 0, n, area_effect(r, a), sigma_e,
                              scale, indicators, ws);
            for (std::size_t i = 0; i < k; ++i) {
              sums(static_cast<Eigen::Index>(i), a) += ws.values[i];
            }
          }
        });
      }
      failure.rethrow();
    }
  } else {
    // Work items are (replicate, block) pairs, so that even a single group
    // runs in parallel; each item keeps its indicators, which are summed per
    // column in replicate order afterwards.
    const std::vector<Block> blocks = make_blocks(population, groups);
    std::vector<BlockWorkspace> workspaces = make_block_workspaces(population, blocks, k);
    const Eigen::VectorXd xb = fixed_parts_by_area(population, beta);
    const Eigen::Index columns = m + n_groups;
    const std::size_t group_chunk = std::clamp<std::size_t>(
        kMaxChunkValues / (idx(columns) * std::max<std::size_t>(k, 1)), 1, chunk);
    std::vector<double> values(group_chunk * idx(columns) * k);
    std::vector<double> floored_by(group_chunk * idx(m));
    const auto n_blocks = static_cast<Eigen::Index>(blocks.size());
    for (std::size_t first = 0; first < idx(n_mc); first += group_chunk) {
      const std::size_t count = std::min(group_chunk, idx(n_mc) - first);
      split_keys(first, count);
      const bool parallel =
          count * idx(population.X.rows()) >= kMinParallelUnits && !omp_in_parallel();
      const auto n_items = static_cast<Eigen::Index>(count) * n_blocks;
      internal::ParallelFailure failure;
#pragma omp parallel for schedule(dynamic, 1) if (parallel)
      for (Eigen::Index item = 0; item < n_items; ++item) {
        failure.run([&] {
          const auto r = idx(item / n_blocks);
          const Block& block = blocks[idx(item % n_blocks)];
          double* out = values.data() + r * idx(columns) * k;
          simulate_block(
              population, block, xb.data(),
              [&](Eigen::Index a) {
                return AreaDraw{.key = error_keys[r * idx(m) + idx(a)], .u = area_effect(r, a)};
              },
              sigma_e, scale, indicators, workspaces[idx(omp_get_thread_num())],
              [&](Eigen::Index a, std::span<const double> v, double n_floored) {
                std::copy(v.begin(), v.end(), out + idx(a) * k);
                floored_by[r * idx(m) + idx(a)] = n_floored;
              },
              block.group < 0 ? std::span<double>()
                              : std::span<double>(out + idx(m + block.group) * k, k));
        });
      }
      failure.rethrow();
      for (Eigen::Index c = 0; c < columns; ++c) {
        for (std::size_t r = 0; r < count; ++r) {
          const double* v = values.data() + (r * idx(columns) + idx(c)) * k;
          for (std::size_t i = 0; i < k; ++i) sums(static_cast<Eigen::Index>(i), c) += v[i];
          if (c < m) floored(c) += floored_by[r * idx(m) + idx(c)];
        }
      }
    }
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
  const std::vector<Block> blocks = make_blocks(population, groups);
  std::vector<BlockWorkspace> workspaces = make_block_workspaces(population, blocks, k);
  ParallelFailure failure;
#pragma omp parallel for schedule( \
    dynamic, 1) if (idx(population.X.rows()) >= kMinParallelUnits && !omp_in_parallel())
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    failure.run([&] {
      const Block& block = blocks[b];
      simulate_block(
          population, block, xb.data(),
          [&](Eigen::Index a) {
            return AreaDraw{.key = key,
                            .first_draw = static_cast<std::uint64_t>(population.offsets[idx(a)]),
                            .u = u(a)};
          },
          sigma_e, scale, indicators, workspaces[idx(omp_get_thread_num())],
          [&](Eigen::Index a, std::span<const double> v, double) {
            std::copy(v.begin(), v.end(), out.col(a).data());
          },
          block.group < 0 ? std::span<double>()
                          : std::span<double>(out.col(m + block.group).data(), k));
    });
  }
  failure.rethrow();
  return out;
}

}  // namespace internal
}  // namespace kelp_sae::kernels
