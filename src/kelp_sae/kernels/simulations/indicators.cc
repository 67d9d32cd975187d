#include "kelp_sae/kernels/simulations/indicators.h"

#include <hwy/contrib/sort/vqsort.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace kelp_sae::kernels {
namespace {

// Below this many values std::sort beats the vectorised sort.
constexpr std::size_t kVectorSortMin = 256;

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

double gini_sorted(std::span<const double> y) {
  const auto n = static_cast<double>(y.size());
  double weighted = 0.0, total = 0.0;
  for (std::size_t r = 0; r < y.size(); ++r) {
    weighted += static_cast<double>(r + 1) * y[r];
    total += y[r];
  }
  const double denominator = n * total;
  return denominator > 1e-10 ? 2.0 * weighted / denominator - (n + 1.0) / n : 0.0;
}

double qsr_sorted(std::span<const double> y) {
  const auto n = static_cast<double>(y.size());
  const auto cut_20 = static_cast<std::size_t>(static_cast<std::int32_t>(0.2 * n));
  const auto cut_80 = static_cast<std::size_t>(static_cast<std::int32_t>(0.8 * n));
  double bottom = 0.0, top = 0.0;
  for (std::size_t r = 0; r < cut_20; ++r) bottom += y[r];
  for (std::size_t r = cut_80; r < y.size(); ++r) top += y[r];
  return bottom > 1e-6 ? top / bottom : 0.0;
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
    if (i == Indicator::MEDIAN) {
      throw std::invalid_argument(
          "indicators: 'Median' is not supported; accepted: Mean, Poverty Headcount, Poverty "
          "Gap, Poverty Severity, Gini Coefficient, Quintile Share Ratio or a function");
    }
    poverty = poverty || is_poverty_measure(i);
    needs_sort_ = needs_sort_ || i == Indicator::GINI || i == Indicator::QSR;
  }
  if (poverty && !(std::isfinite(threshold) && threshold > 0.0)) {
    throw std::invalid_argument("threshold: the poverty line must be finite and positive, got " +
                                std::to_string(threshold));
  }
}

void IndicatorSet::evaluate(std::span<double> values, std::span<double> out) const {
  evaluate_with_sums(values, plain_sums(values, threshold_), out);
}

void IndicatorSet::evaluate_with_sums(std::span<double> values, const Sums& sums,
                                      std::span<double> out) const {
  const double divisor = std::max(static_cast<double>(values.size()), 1.0);
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
        break;  // sorted indicators below
    }
  }
  if (!needs_sort_) return;
  if (std::isnan(sums.sum)) {
    // A NaN among the values (a failed replicate) has no rank: the sorted
    // indicators are NaN too, and the values are left unsorted.
    for (std::size_t k = 0; k < entries_.size(); ++k) {
      if (const auto* i = std::get_if<Indicator>(&entries_[k]);
          i != nullptr && (*i == Indicator::GINI || *i == Indicator::QSR)) {
        out[k] = std::numeric_limits<double>::quiet_NaN();
      }
    }
    return;
  }
  sort_values(values);
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    if (const auto* i = std::get_if<Indicator>(&entries_[k])) {
      if (*i == Indicator::GINI) out[k] = gini_sorted(values);
      if (*i == Indicator::QSR) out[k] = qsr_sorted(values);
    }
  }
}

void sort_values(std::span<double> values) {
  if (values.size() < kVectorSortMin) {
    std::sort(values.begin(), values.end());
    return;
  }
  // A Sorter owns scratch memory and is not shared between threads.
  thread_local const hwy::Sorter sorter;
  sorter(values.data(), values.size(), hwy::SortAscending());
}

}  // namespace kelp_sae::kernels
