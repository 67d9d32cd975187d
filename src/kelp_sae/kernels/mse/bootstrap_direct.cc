#include "kelp_sae/kernels/mse/bootstrap_direct.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "kelp_sae/kernels/optimization/internal/parallel_failure.h"

namespace kelp_sae::kernels {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void check(bool ok, const std::string& message) {
  if (!ok) throw std::invalid_argument("bootstrap_direct_variance: " + message);
}

// The units of every area, contiguous: units[starts[a] .. starts[a + 1]).
struct AreaUnits {
  std::vector<std::size_t> units;
  std::vector<std::size_t> starts;
};

AreaUnits group_by_area(const DirectSample& s) {
  if (s.y.size() != s.weights.size() || s.y.size() != s.area.size()) {
    throw std::invalid_argument("direct estimates: y, weights and area differ in length");
  }
  const auto m = static_cast<std::size_t>(std::max(s.n_areas, 0));
  AreaUnits g;
  g.starts.assign(m + 1, 0);
  for (const std::int32_t a : s.area) {
    if (a < 0 || a >= s.n_areas) {
      throw std::invalid_argument("direct estimates: area code " + std::to_string(a) +
                                  " outside 0.." + std::to_string(s.n_areas - 1));
    }
    ++g.starts[static_cast<std::size_t>(a) + 1];
  }
  for (std::size_t a = 0; a < m; ++a) g.starts[a + 1] += g.starts[a];
  g.units.resize(s.y.size());
  std::vector<std::size_t> next(g.starts.begin(), g.starts.end() - 1);
  for (std::size_t i = 0; i < s.y.size(); ++i) {
    g.units[next[static_cast<std::size_t>(s.area[i])]++] = i;
  }
  return g;
}

// Per-thread scratch: one area's values and weights.
struct AreaScratch {
  std::vector<double> y, w, out;
};

void area_indicators(const DirectSample& s, std::span<const double> weights, const AreaUnits& g,
                     const IndicatorSet& set, AreaScratch& scratch, double* out_column,
                     std::size_t stride) {
  const auto m = static_cast<std::size_t>(std::max(s.n_areas, 0));
  scratch.out.resize(set.size());
  for (std::size_t a = 0; a < m; ++a) {
    scratch.y.clear();
    scratch.w.clear();
    double total_weight = 0.0;
    for (std::size_t j = g.starts[a]; j < g.starts[a + 1]; ++j) {
      scratch.y.push_back(s.y[g.units[j]]);
      scratch.w.push_back(weights[g.units[j]]);
      total_weight += scratch.w.back();
    }
    if (total_weight > 0.0) {
      set.evaluate_weighted(scratch.y, scratch.w, scratch.out);
    } else {
      // No unit of the area drawn: the replicate has no estimate for it.
      std::fill(scratch.out.begin(), scratch.out.end(), kNaN);
    }
    for (std::size_t k = 0; k < set.size(); ++k) out_column[a * stride + k] = scratch.out[k];
  }
}

}  // namespace

double weighted_median(std::span<const double> y, std::span<const double> weights) {
  const IndicatorSet set({Indicator::MEDIAN}, 1.0);
  double out = 0.0;
  set.evaluate_weighted(y, weights, std::span<double>(&out, 1));
  return out;
}

Eigen::MatrixXd direct_area_indicators(const DirectSample& sample, const IndicatorSet& indicators) {
  const AreaUnits g = group_by_area(sample);
  Eigen::MatrixXd out(static_cast<Eigen::Index>(indicators.size()), std::max(sample.n_areas, 0));
  AreaScratch scratch;
  area_indicators(sample, sample.weights, g, indicators, scratch, out.data(), indicators.size());
  return out;
}

Eigen::MatrixXd bootstrap_direct_variance(random::Key key, int n_reps, const DirectSample& sample,
                                          const ResamplingDesign& design,
                                          const std::vector<IndicatorEntry>& indicators,
                                          const DirectPovertyLine& line) {
  check(n_reps >= 2, "n_reps must be at least 2, got " + std::to_string(n_reps));
  const AreaUnits g = group_by_area(sample);
  const std::size_t n = sample.y.size();
  check(design.cluster.size() == n, "one cluster per unit is needed");
  const std::size_t n_clusters = design.cluster_stratum.size();
  std::int32_t n_strata = 0;
  for (const std::int32_t h : design.cluster_stratum) {
    check(h >= 0, "negative stratum code");
    n_strata = std::max(n_strata, h + 1);
  }
  for (const std::int32_t c : design.cluster) {
    check(c >= 0 && static_cast<std::size_t>(c) < n_clusters, "cluster code out of range");
  }
  // The clusters of each stratum, and the draws each stratum takes.
  std::vector<std::vector<std::int32_t>> members(static_cast<std::size_t>(n_strata));
  for (std::size_t c = 0; c < n_clusters; ++c) {
    members[static_cast<std::size_t>(design.cluster_stratum[c])].push_back(
        static_cast<std::int32_t>(c));
  }
  std::vector<std::uint64_t> first_draw(members.size() + 1, 0);
  for (std::size_t h = 0; h < members.size(); ++h) {
    const std::size_t n_h = members[h].size();
    const std::size_t m_h = design.rescaled && n_h > 0 ? n_h - 1 : n_h;
    first_draw[h + 1] = first_draw[h] + m_h;
  }

  // Built once to check the indicators and a fixed line.
  const IndicatorSet fixed(indicators, line.median_share ? 1.0 : line.value);
  const std::size_t k = fixed.size();
  const auto m = static_cast<std::size_t>(std::max(sample.n_areas, 0));
  const std::size_t cells = k * m;
  Eigen::MatrixXd replicates(static_cast<Eigen::Index>(cells), n_reps);
  const std::vector<random::Key> keys = random::split(key, static_cast<std::size_t>(n_reps));

  internal::ParallelFailure failure;
#pragma omp parallel
  {
    AreaScratch scratch;
    std::vector<double> multiplier(n_clusters), weights(n), draws;
#pragma omp for schedule(dynamic)
    for (int b = 0; b < n_reps; ++b) {
      failure.run([&] {
        std::fill(multiplier.begin(), multiplier.end(), 0.0);
        for (std::size_t h = 0; h < members.size(); ++h) {
          const std::size_t n_h = members[h].size();
          const std::size_t m_h = first_draw[h + 1] - first_draw[h];
          if (m_h == 0) {
            for (const std::int32_t c : members[h]) multiplier[static_cast<std::size_t>(c)] = 1.0;
            continue;
          }
          draws.resize(m_h);
          random::uniform(keys[static_cast<std::size_t>(b)], draws, first_draw[h]);
          const double scale = static_cast<double>(n_h) / static_cast<double>(m_h);
          for (const double u : draws) {
            const auto j =
                std::min(static_cast<std::size_t>(u * static_cast<double>(n_h)), n_h - 1);
            multiplier[static_cast<std::size_t>(members[h][j])] += scale;
          }
        }
        for (std::size_t i = 0; i < n; ++i) {
          weights[i] = sample.weights[i] * multiplier[static_cast<std::size_t>(design.cluster[i])];
        }
        double* column = replicates.col(b).data();
        if (line.median_share) {
          const double z = *line.median_share * weighted_median(sample.y, weights);
          const IndicatorSet set(indicators, z);
          area_indicators(sample, weights, g, set, scratch, column, k);
        } else {
          area_indicators(sample, weights, g, fixed, scratch, column, k);
        }
      });
    }
  }
  failure.rethrow();

  // Sample variance over the finite replicates of every cell, in replicate
  // order (two passes).
  Eigen::MatrixXd variance(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(m));
  for (std::size_t cell = 0; cell < cells; ++cell) {
    const auto row = replicates.row(static_cast<Eigen::Index>(cell));
    double sum = 0.0;
    int finite = 0;
    for (int b = 0; b < n_reps; ++b) {
      if (std::isfinite(row(b))) {
        sum += row(b);
        ++finite;
      }
    }
    double result = kNaN;
    if (finite >= 2) {
      const double mean = sum / finite;
      double squares = 0.0;
      for (int b = 0; b < n_reps; ++b) {
        if (std::isfinite(row(b))) squares += (row(b) - mean) * (row(b) - mean);
      }
      result = squares / (finite - 1);
    }
    variance(static_cast<Eigen::Index>(cell % k), static_cast<Eigen::Index>(cell / k)) = result;
  }
  return variance;
}

}  // namespace kelp_sae::kernels
