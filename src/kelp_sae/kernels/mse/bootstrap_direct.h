// Direct (design-based) estimates of area indicators from a weighted sample,
// and their bootstrap variances.
//
// Every unit i carries its response y_i, its weight w_i >= 0 and its area;
// an area's estimate of an indicator is the weighted indicator of its units
// (IndicatorSet::evaluate_weighted: the sample unit stands for w_i units of
// the population).
//
// The bootstrap reweights the whole sample in each replicate. Units belong to
// resampling clusters (the PSUs of a design, or the units themselves) and
// clusters to resampling strata (the design's strata, or the areas). Per
// replicate and stratum h with n_h clusters, m_h clusters are drawn with
// replacement and each unit's weight is multiplied by
//   r_c * n_h / m_h,   r_c the number of times its cluster was drawn:
//   - rescaled (the design bootstrap of Rao and Wu 1988, as in Rao, Wu and
//     Yue 1992): m_h = n_h - 1; a stratum with one cluster keeps its weights
//     (it contributes no variance, having none to estimate);
//   - not rescaled (units within areas, no design): m_h = n_h, the classical
//     bootstrap of each area's units.
// The poverty line is either held fixed or, when it is a share of the
// weighted median of the whole sample, recomputed from each replicate's
// weights. An area none of whose units is drawn in a replicate (all its
// PSUs left out) has no value in it. The variance of an estimate is the
// sample variance of its finite replicate values, sum_b (theta_b - mean)^2 /
// (R - 1) over the R finite ones; NaN when fewer than two are finite.
//
// Replicate b draws from child b of split(key, n_reps): draw j of stratum h
// is uniform number (sum of m_g over strata g < h) + j of that key, mapped to
// cluster floor(u n_h) of the stratum. Replicates run in parallel (OpenMP) and
// are combined in replicate order: the same key gives the same variances for
// any thread count. Scratch memory is held per thread.
//
//   DirectSample s{.y = y, .weights = w, .area = area_code, .n_areas = m};
//   Eigen::MatrixXd est = direct_area_indicators(s, set);            // k x m
//   Eigen::MatrixXd var = bootstrap_direct_variance(
//       key, 500, s, {.cluster = psu, .cluster_stratum = stratum_of_psu},
//       {Indicator::GINI}, {.value = z});
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kelp_sae/kernels/simulations/indicators.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae::kernels {

// The sample: n units with response, weight and area code (0 .. n_areas - 1;
// the units of an area need not be contiguous).
struct DirectSample {
  std::span<const double> y;
  std::span<const double> weights;
  std::span<const std::int32_t> area;
  std::int32_t n_areas = 0;
};

// The resampling units of the bootstrap: per unit its cluster (0 ..
// n_clusters - 1), per cluster its stratum (0 .. n_strata - 1).
struct ResamplingDesign {
  std::span<const std::int32_t> cluster;
  std::span<const std::int32_t> cluster_stratum;
  bool rescaled = true;  // Rao-Wu: n_h - 1 of n_h clusters, weights rescaled
};

// The poverty line: `value`, or median_share times the weighted median of
// the whole sample's response (recomputed in every replicate) when set.
struct DirectPovertyLine {
  double value = 0.0;
  std::optional<double> median_share = std::nullopt;
};

// The weighted median of y (the smallest value whose cumulative weight share
// reaches one half); NaN for an empty sample.
double weighted_median(std::span<const double> y, std::span<const double> weights);

// Row k, column a: indicator k of `indicators` over the units of area a,
// weighted. Throws std::invalid_argument when the spans differ in length or
// an area code is out of range.
Eigen::MatrixXd direct_area_indicators(const DirectSample& sample, const IndicatorSet& indicators);

// The bootstrap variances (k x n_areas) of the direct estimates of the
// built-in `indicators` (k of them) under `line`. n_reps >= 2. Throws
// std::invalid_argument on inconsistent inputs (lengths, codes out of range)
// or a replicate's poverty line that is not positive when a poverty measure
// is requested.
Eigen::MatrixXd bootstrap_direct_variance(random::Key key, int n_reps, const DirectSample& sample,
                                          const ResamplingDesign& design,
                                          const std::vector<IndicatorEntry>& indicators,
                                          const DirectPovertyLine& line);

}  // namespace kelp_sae::kernels
