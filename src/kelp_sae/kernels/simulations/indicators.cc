#include "kelp_sae/kernels/simulations/indicators.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelp_sae/kernels/simulations/internal/vector_sort.h"

namespace kelp_sae::kernels {
namespace {

// The order-preserving unsigned key of a double: negative values have all
// bits flipped, others only the sign bit, so keys compare like the values
// (with -0.0 before +0.0 and NaNs at the ends).
std::uint64_t order_key(double x) {
  const auto b = std::bit_cast<std::uint64_t>(x);
  // Without a branch: the arithmetic shift spreads the sign over all bits.
  const auto sign = static_cast<std::uint64_t>(static_cast<std::int64_t>(b) >> 63);
  return b ^ (sign | std::uint64_t{1} << 63);
}

void sort_finite_values(std::span<double> values);

bool is_rank_based(Indicator i) {
  return i == Indicator::GINI || i == Indicator::QSR || quantile_probability(i).has_value();
}

bool is_poverty_measure(Indicator i) {
  return i == Indicator::POVERTY_HEADCOUNT || i == Indicator::POVERTY_GAP ||
         i == Indicator::POVERTY_SEVERITY;
}

IndicatorSet::Sums plain_sums(std::span<const double> values, double threshold) {
  IndicatorSet::Sums s;
  for (const double y : values) {
    const double g = std::max(1.0 - y / threshold, 0.0);
    s.sum += y;
    s.poor += y < threshold ? 1.0 : 0.0;
    s.gap += g;
    s.gap_sq += g * g;
  }
  return s;
}

// Sums over sorted values are formed in 8 interleaved partial sums (value r
// goes to sum r mod 8) added up in order at the end: a fixed order, the same
// on every machine, whose independent chains of additions run side by side.
// Written with the compiler's two-lane vectors, which every x86-64 has and
// whose arithmetic is that of each lane.
using Pair = double __attribute__((vector_size(16)));
constexpr std::size_t kPartialSums = 8;

struct Partials {
  Pair p[4] = {};

  void add(const double* y) {
    for (std::size_t k = 0; k < 4; ++k) {
      Pair v;
      std::memcpy(&v, y + 2 * k, sizeof v);
      p[k] += v;
    }
  }
  // The values y[0 .. count) of a last, shorter group.
  void add_first(const double* y, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) p[k / 2][k % 2] += y[k];
  }
  double sum() const {
    double s = 0.0;
    for (std::size_t k = 0; k < kPartialSums; ++k) s += p[k / 2][k % 2];
    return s;
  }
};

// sum of y[first .. last).
double sum_range(std::span<const double> y, std::size_t first, std::size_t last) {
  Partials partial;
  std::size_t r = first;
  for (; r + kPartialSums <= last; r += kPartialSums) partial.add(&y[r]);
  partial.add_first(y.data() + r, last - r);
  return partial.sum();
}

double gini_sorted(std::span<const double> y) {
  const std::size_t n = y.size();
  // Ranks as doubles, advanced by exact additions (n is far below 2^53).
  Pair rank[4] = {{1.0, 2.0}, {3.0, 4.0}, {5.0, 6.0}, {7.0, 8.0}};
  const Pair step = {8.0, 8.0};
  Partials weighted, total;
  std::size_t r = 0;
  for (; r + kPartialSums <= n; r += kPartialSums) {
    for (std::size_t k = 0; k < 4; ++k) {
      Pair v;
      std::memcpy(&v, &y[r + 2 * k], sizeof v);
      weighted.p[k] += rank[k] * v;
      total.p[k] += v;
      rank[k] += step;
    }
  }
  for (std::size_t k = 0; r < n; ++r, ++k) {
    weighted.p[k / 2][k % 2] += rank[k / 2][k % 2] * y[r];
    total.p[k / 2][k % 2] += y[r];
  }
  if (n == 0) return 0.0;
  const double sum_weighted = weighted.sum(), sum = total.sum();
  const auto count = static_cast<double>(n);
  // Undefined (not estimated) unless the total is positive.
  return sum > 0.0 ? 2.0 * sum_weighted / (count * sum) - (count + 1.0) / count
                   : std::numeric_limits<double>::quiet_NaN();
}

double qsr_sorted(std::span<const double> y) {
  const auto n = static_cast<double>(y.size());
  const auto cut_20 = static_cast<std::size_t>(static_cast<std::int32_t>(0.2 * n));
  const auto cut_80 = static_cast<std::size_t>(static_cast<std::int32_t>(0.8 * n));
  const double bottom = sum_range(y, 0, cut_20);
  const double top = sum_range(y, cut_80, y.size());
  if (y.empty()) return 0.0;
  // Undefined (not estimated) unless the bottom quintile's total is positive.
  return bottom > 0.0 ? top / bottom : std::numeric_limits<double>::quiet_NaN();
}

// Type 7: linear interpolation between the order statistics around (n - 1) p.
double quantile_sorted(std::span<const double> y, double p) {
  if (y.empty()) return std::numeric_limits<double>::quiet_NaN();
  const double h = static_cast<double>(y.size() - 1) * p;
  const double low = std::floor(h);
  const auto l = static_cast<std::size_t>(low);
  if (l + 1 >= y.size()) return y[l];
  return y[l] + (h - low) * (y[l + 1] - y[l]);
}

}  // namespace

IndicatorSet::IndicatorSet(std::vector<IndicatorEntry> entries, double threshold)
    : entries_(std::move(entries)), threshold_(threshold) {
  if (entries_.empty()) throw std::invalid_argument("indicators: at least one indicator is needed");
  bool poverty = false;
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    if (const auto* fn = std::get_if<IndicatorFunction>(&entries_[k])) {
      if (!*fn) {
        throw std::invalid_argument("indicators: entry " + std::to_string(k) +
                                    " is an empty function");
      }
      continue;
    }
    const Indicator i = std::get<Indicator>(entries_[k]);
    poverty = poverty || is_poverty_measure(i);
    needs_sort_ = needs_sort_ || is_rank_based(i);
  }
  if (poverty && !(std::isfinite(threshold) && threshold > 0.0)) {
    throw std::invalid_argument("threshold: the poverty line must be finite and positive, got " +
                                std::to_string(threshold));
  }
}

void IndicatorSet::evaluate(std::span<double> values, std::span<double> out) const {
  evaluate_with_sums(values, plain_sums(values, threshold_), out);
}

bool IndicatorSet::evaluate_sums(std::span<const double> values, const Sums& sums, double divisor,
                                 std::span<double> out) const {
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    if (const auto* fn = std::get_if<IndicatorFunction>(&entries_[k])) {
      out[k] = (*fn)(values, threshold_);
      continue;
    }
    switch (std::get<Indicator>(entries_[k])) {
      case Indicator::MEAN:
        out[k] = sums.sum / divisor;
        break;
      case Indicator::POVERTY_HEADCOUNT:
        out[k] = sums.poor / divisor;
        break;
      case Indicator::POVERTY_GAP:
        out[k] = sums.gap / divisor;
        break;
      case Indicator::POVERTY_SEVERITY:
        out[k] = sums.gap_sq / divisor;
        break;
      default:
        break;  // rank-based indicators: by the caller, after its sort
    }
  }
  if (!needs_sort_) return false;
  if (!std::isfinite(sums.sum)) {
    // Values that are not all finite (a failed simulation) give +inf, a
    // failure, apart from the NaN of an undefined indicator; the values are
    // left unsorted.
    for (std::size_t k = 0; k < entries_.size(); ++k) {
      if (const auto* i = std::get_if<Indicator>(&entries_[k]); i != nullptr && is_rank_based(*i)) {
        out[k] = std::numeric_limits<double>::infinity();
      }
    }
    return false;
  }
  return true;
}

void IndicatorSet::evaluate_with_sums(std::span<double> values, const Sums& sums,
                                      std::span<double> out) const {
  const double divisor = std::max(static_cast<double>(values.size()), 1.0);
  if (!evaluate_sums(values, sums, divisor, out)) return;
  // A finite sum rules out infinities among the values.
  sort_finite_values(values);
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    if (const auto* i = std::get_if<Indicator>(&entries_[k])) {
      if (*i == Indicator::GINI) out[k] = gini_sorted(values);
      if (*i == Indicator::QSR) out[k] = qsr_sorted(values);
      if (const auto p = quantile_probability(*i)) out[k] = quantile_sorted(values, *p);
    }
  }
}

namespace {

// sort_values for values known to hold no infinity (nor NaN).
void sort_finite_values(std::span<double> values) {
  internal::vector_sort(values.data(), values.size());
}

}  // namespace

void sort_values(std::span<double> values) {
  // The vectorised sort returns +inf as the largest finite double, so arrays
  // holding an infinity (an overflowed back-transformation) take std::sort.
  constexpr std::uint64_t kMagnitude = ~(std::uint64_t{1} << 63);
  constexpr std::uint64_t kInfinity = 0x7ff0000000000000;
  std::uint64_t infinities = 0;  // an integer test, for a vectorised reduction
  for (const double v : values) {
    infinities |=
        static_cast<std::uint64_t>((std::bit_cast<std::uint64_t>(v) & kMagnitude) == kInfinity);
  }
  if (infinities != 0) {
    std::sort(values.begin(), values.end());
  } else {
    sort_finite_values(values);
  }
}

namespace {

// A record of the weighted population: a value and the units it stands for.
struct WeightedValue {
  double y;
  double w;
};

// The records of positive weight sorted by value (records of equal value in
// any order), in scratch memory of the calling thread. The vectorised sort
// orders 64-bit keys holding the high bits of the value's order key and the
// value's index in the low bits; values that share those high bits end
// adjacent, and one insertion pass on the exact values finishes the sort.
std::span<const WeightedValue> sorted_records(std::span<const double> values,
                                              std::span<const double> weights) {
  const std::size_t n = values.size();
  thread_local std::vector<WeightedValue> sorted;
  if (sorted.size() < n) sorted.resize(n);
  const auto by_value = [](const WeightedValue& a, const WeightedValue& b) { return a.y < b.y; };
  std::size_t kept = 0;  // records of positive weight, without a branch per record
  thread_local std::vector<std::uint64_t> keys;
  if (keys.size() < n) keys.resize(n);
  const std::uint64_t mask = (std::uint64_t{1} << std::bit_width(n)) - 1;
  for (std::size_t i = 0; i < n; ++i) keys[i] = (order_key(values[i]) & ~mask) | i;
  internal::vector_sort(keys.data(), n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t at = keys[i] & mask;
    sorted[kept] = {values[at], weights[at]};
    kept += weights[at] != 0.0 ? 1 : 0;
  }
  for (std::size_t i = 1; i < kept; ++i) {
    const WeightedValue r = sorted[i];
    std::size_t j = i;
    for (; j > 0 && by_value(r, sorted[j - 1]); --j) sorted[j] = sorted[j - 1];
    sorted[j] = r;
  }
  return {sorted.data(), kept};
}

// The rank-based indicators of sorted records in one pass, the cumulative
// weights C_i formed once in record order:
//   Gini  sum_i w_i y_i (2 C_i - w_i - W) / (W T): the mean absolute
//         difference over all pairs of units of the weighted population, over
//         twice its mean;
//   QSR   record i covers the ranks (C_{i-1}, C_i]; the cuts trunc(0.2 W) and
//         trunc(0.8 W) split a record that straddles them;
//   quantile p: the smallest value whose cumulative weight share reaches p
//         (the relative 1e-12 absorbs the rounding of p W), found by binary
//         search in the kept C_i.
struct WeightedRanks {
  double gini = 0.0;
  double qsr = 0.0;
  std::span<const double> cumulative;  // C_i per record

  double quantile(std::span<const WeightedValue> r, double total_weight, double p) const {
    if (r.empty()) return std::numeric_limits<double>::quiet_NaN();
    const double target = p * total_weight - 1e-12 * total_weight;
    const auto it = std::lower_bound(cumulative.begin(), cumulative.end(), target);
    return it == cumulative.end() ? r.back().y
                                  : r[static_cast<std::size_t>(it - cumulative.begin())].y;
  }
};

WeightedRanks weighted_ranks(std::span<const WeightedValue> r, double total_weight) {
  thread_local std::vector<double> cumulative;
  const std::size_t n = r.size();
  if (cumulative.size() < n) cumulative.resize(n);
  double before = 0.0, acc = 0.0, total = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto [y, w] = r[i];
    const double after = before + w;
    cumulative[i] = after;
    acc += w * y * (2.0 * after - w - total_weight);
    total += w * y;
    before = after;
  }
  // The QSR sums, over the records whose ranks reach below the lower cut or
  // above the upper one: every other record adds an exact zero (the values
  // are finite), so leaving it out changes no bit.
  const double cut_20 = std::trunc(0.2 * total_weight);
  const double cut_80 = std::trunc(0.8 * total_weight);
  double bottom = 0.0, top = 0.0;
  before = 0.0;
  for (std::size_t i = 0; i < n && before < cut_20; ++i) {
    bottom += r[i].y * std::max(std::min(cumulative[i], cut_20) - before, 0.0);
    before = cumulative[i];
  }
  const auto first_above = static_cast<std::size_t>(
      std::upper_bound(cumulative.begin(), cumulative.begin() + static_cast<std::ptrdiff_t>(n),
                       cut_80) -
      cumulative.begin());
  for (std::size_t i = first_above; i < n; ++i) {
    before = i == 0 ? 0.0 : cumulative[i - 1];
    top += r[i].y * std::max(cumulative[i] - std::max(before, cut_80), 0.0);
  }
  const double denominator = total_weight * total;
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  return {.gini = denominator > 0.0 ? acc / denominator : kNaN,
          .qsr = bottom > 0.0 ? top / bottom : kNaN,
          .cumulative = {cumulative.data(), r.size()}};
}

}  // namespace

void IndicatorSet::evaluate_weighted(std::span<const double> values,
                                     std::span<const double> weights, std::span<double> out) const {
  if (values.size() != weights.size()) {
    throw std::invalid_argument("indicators: " + std::to_string(values.size()) + " values but " +
                                std::to_string(weights.size()) + " weights");
  }
  // Records of weight 0 count for nothing (not even a NaN among them).
  Sums sums;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double w = weights[i];
    if (w == 0.0) continue;
    const double y = values[i];
    const double g = std::max(1.0 - y / threshold_, 0.0);
    sums.sum += w * y;
    sums.poor += y < threshold_ ? w : 0.0;
    sums.gap += w * g;
    sums.gap_sq += w * g * g;
    sums.weight += w;
  }
  evaluate_weighted_with_sums(values, weights, sums, out);
}

void IndicatorSet::evaluate_weighted_with_sums(std::span<const double> values,
                                               std::span<const double> weights, const Sums& sums,
                                               std::span<double> out) const {
  const double total_weight = sums.weight;
  const double divisor = total_weight > 0.0 ? total_weight : 1.0;
  if (!evaluate_sums(values, sums, divisor, out)) return;
  const std::span<const WeightedValue> records = sorted_records(values, weights);
  const WeightedRanks ranks = weighted_ranks(records, total_weight);
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    const auto* i = std::get_if<Indicator>(&entries_[k]);
    if (i == nullptr || !is_rank_based(*i)) continue;
    if (*i == Indicator::GINI) {
      out[k] = ranks.gini;
    } else if (*i == Indicator::QSR) {
      out[k] = ranks.qsr;
    } else {
      out[k] = ranks.quantile(records, total_weight, *quantile_probability(*i));
    }
  }
}

std::optional<double> quantile_probability(Indicator indicator) {
  switch (indicator) {
    case Indicator::QUANTILE_10:
      return 0.10;
    case Indicator::QUANTILE_25:
      return 0.25;
    case Indicator::MEDIAN:
      return 0.50;
    case Indicator::QUANTILE_75:
      return 0.75;
    case Indicator::QUANTILE_90:
      return 0.90;
    default:
      return std::nullopt;
  }
}

}  // namespace kelp_sae::kernels
