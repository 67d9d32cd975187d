// Poverty and inequality indicators of one area's values.
//
// With N_a the number of the area's values, D_a = max(N_a, 1), z the poverty
// line and values y_1 .. y_N on the data scale:
//   MEAN               sum_j y_j / D_a
//   POVERTY_HEADCOUNT  sum_j [y_j < z] / D_a                (FGT0; strictly below z)
//   POVERTY_GAP        sum_j g_j / D_a,   g_j = max(1 - y_j / z, 0)   (FGT1; no upper bound)
//   POVERTY_SEVERITY   sum_j g_j^2 / D_a                    (FGT2)
//   GINI               2 W / (N_a T) - (N_a + 1) / N_a with W = sum_r r y_(r) over the
//                      values sorted ascending (ranks r = 1 .. N_a) and T = sum_r y_(r);
//                      undefined (NaN) when T <= 0
//   QSR                S_top / S_bottom, S_bottom the sum of the ranks
//                      r <= trunc(0.2 N_a), S_top of trunc(0.8 N_a) < r <= N_a;
//                      undefined (NaN) when S_bottom <= 0 (so with fewer than 5 values)
//   QUANTILE_10 .. 90  the p-quantile (p = 0.1, 0.25, 0.5 for MEDIAN, 0.75,
//                      0.9) by linear interpolation between order statistics
//                      (type 7): with h = (N_a - 1) p and l = floor(h),
//                      y_(l+1) + (h - l) (y_(l+2) - y_(l+1)) (ranks from 1)
// An area without values gives 0 for every built-in indicator except the
// quantiles, which are NaN. Values that are not all finite (a failed
// simulation) give an infinite Gini, QSR and quantiles (nothing is sorted),
// so that NaN in these means undefined, never a failure.
//
// Weighted (evaluate_weighted): value i stands for w_i >= 0 units of the
// population, W = sum_i w_i. With integer weights every indicator equals the
// unweighted indicator of the population in which value i is repeated w_i
// times; non-integer weights use the same formulas. With the values sorted
// ascending and C_i = w_1 + .. + w_i (records of equal value in any order):
//   MEAN, FGT0-2       sum_i w_i y_i / W, sum_i w_i [y_i < z] / W, ...; 0 when W = 0
//   GINI               sum_i sum_j w_i w_j |y_i - y_j| / (2 W T), T = sum_i w_i y_i,
//                      computed as sum_i w_i y_i (2 C_i - w_i - W) / (W T);
//                      NaN when W T <= 0 (no positive total: not estimated)
//   QSR                S_top / S_bottom with the cuts c20 = trunc(0.2 W) and
//                      c80 = trunc(0.8 W) in units of weight: record i covers
//                      the ranks (C_{i-1}, C_i] and enters S_bottom with the
//                      part of its weight below c20, S_top with the part above
//                      c80 (a record straddling a cut is split there); NaN
//                      when S_bottom <= 0. The cuts are whole units, as on the
//                      repeated population, so weights should count units
//                      (persons): weights scaled to sum to 1 leave no bottom
//                      quintile.
//   quantile p         the smallest y_i with C_i >= p W (the cumulative weight
//                      share reaches p, up to a relative 1e-12 for rounding);
//                      NaN when W = 0
// Records of weight 0 count for nothing.
//
// A caller may add its own indicators as functions of one area's values (in
// unit order) and the poverty line. They are called concurrently from several
// threads on different areas, so they must be thread-safe (no unsynchronised
// shared state); the simulation kernels end with the first exception one
// throws.
//
//   IndicatorSet set({Indicator::MEAN, Indicator::GINI,
//                     IndicatorFunction([](std::span<const double> y, double) {
//                       return y.empty() ? 0.0 : *std::max_element(y.begin(), y.end());
//                     })},
//                    /*threshold=*/0.6);
//   std::vector<double> out(set.size());
//   set.evaluate(values, out);   // values may be reordered
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "kelp_sae/core/enumerations.h"

namespace kelp_sae::kernels {

using IndicatorFunction =
    std::function<double(std::span<const double> area_values, double threshold)>;
// One requested indicator: a built-in or a caller-supplied function.
using IndicatorEntry = std::variant<Indicator, IndicatorFunction>;

// A validated list of indicators with the poverty line they read.
class IndicatorSet {
 public:
  // Throws std::invalid_argument when `entries` is empty, names MEDIAN, holds
  // an empty function, or when a poverty measure (headcount, gap, severity)
  // is requested with a threshold that is not finite and positive.
  IndicatorSet(std::vector<IndicatorEntry> entries, double threshold);

  std::size_t size() const { return entries_.size(); }
  double threshold() const { return threshold_; }
  bool needs_sort() const { return needs_sort_; }
  const std::vector<IndicatorEntry>& entries() const { return entries_; }

  // out[k] = indicator k of the area's values. Caller-supplied indicators see
  // the values in the given order; afterwards the values are sorted
  // ascending in place when GINI or QSR is requested (one sort for both).
  void evaluate(std::span<double> values, std::span<double> out) const;

  // As evaluate, with the four sums of the mean and the poverty measures
  // already formed over the values (as the simulation kernels do while they
  // generate them): sum y, count of y < z, sum g, sum g^2. `floored` counts
  // values the generator floored (read by the simulation kernels only).
  struct Sums {
    double sum = 0.0, poor = 0.0, gap = 0.0, gap_sq = 0.0;
    double floored = 0.0;
    double weight = 0.0;  // total weight W (weighted sums only)
  };
  void evaluate_with_sums(std::span<double> values, const Sums& sums, std::span<double> out) const;

  // out[k] = indicator k of the population in which values[i] stands for
  // weights[i] units (the weighted definitions above). Caller-supplied
  // indicators see the values, unweighted, in the given order. The records
  // of positive weight are sorted once, by value, in scratch memory of the
  // calling thread, when a rank-based indicator (Gini, QSR, quantiles) is
  // requested. Weights must be finite and non-negative (the caller checks
  // them); std::invalid_argument when the spans differ in length.
  void evaluate_weighted(std::span<const double> values, std::span<const double> weights,
                         std::span<double> out) const;

  // As evaluate_weighted, with the weighted sums already formed over the
  // records of positive weight: sum w y, sum w [y < z], sum w g, sum w g^2
  // and W (the simulation kernels form them while generating the values).
  void evaluate_weighted_with_sums(std::span<const double> values, std::span<const double> weights,
                                   const Sums& sums, std::span<double> out) const;

 private:
  // The indicators that add up over units (sums over `divisor`, the unit
  // count or the total weight) and the caller-supplied ones into `out`.
  // True when rank-based indicators remain to be computed from sorted
  // values; false when there are none, or when the values are not all finite
  // and they were set to +inf (a failed simulation, never "undefined").
  bool evaluate_sums(std::span<const double> values, const Sums& sums, double divisor,
                     std::span<double> out) const;
  std::vector<IndicatorEntry> entries_;
  double threshold_ = 0.0;
  bool needs_sort_ = false;
};

// The probability p of a quantile indicator (MEDIAN 0.5, QUANTILE_10 0.1,
// ...), or nullopt for the others.
std::optional<double> quantile_probability(Indicator indicator);

// Sorts ascending, with the same result as std::sort: the vectorised sort
// (internal/vector_sort.h), or std::sort when an infinity is among the
// values. With NaNs among the values the order is unspecified.
void sort_values(std::span<double> values);

}  // namespace kelp_sae::kernels
