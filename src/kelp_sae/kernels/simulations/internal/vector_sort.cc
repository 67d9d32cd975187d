#include "kelp_sae/kernels/simulations/internal/vector_sort.h"

#if defined(__clang__)

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kelp_sae/kernels/simulations/internal/vector_sort.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/contrib/sort/traits-inl.h>
#include <hwy/contrib/sort/vqsort-inl.h>
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace kelp_sae::kernels::internal {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// VQSort as Highway's own entry point runs it, with the pivot sampler seeded
// from the count instead of the operating system: the result is the sorted
// array whatever the seed; the seed only steers the pivots (and a run that
// goes too deep ends in heapsort, so no input is quadratic).
template <typename T>
void SeededSort(T* HWY_RESTRICT keys, std::size_t n) {
  using Traits = hn::detail::SharedTraits<hn::detail::TraitsLane<hn::detail::OrderAscending<T>>>;
  const hn::SortTag<T> d;
  const Traits st;
  HWY_ALIGN T buf[hwy::SortConstants::BufNum<T>(HWY_LANES(T))];
  if (hn::detail::HandleSpecialCases(d, st, keys, n)) return;
  hn::detail::Generator rng(static_cast<std::uint64_t>(n) * 0x9E3779B97F4A7C15ull + 1);
  const std::size_t max_levels = 2 * hwy::CeilLog2(n) + 4;
  hn::detail::Recurse(d, st, keys, keys + n, n, buf, rng, max_levels);
}

void SortDoubles(double* HWY_RESTRICT values, std::size_t n) { SeededSort(values, n); }
void SortKeys(std::uint64_t* HWY_RESTRICT keys, std::size_t n) { SeededSort(keys, n); }

}  // namespace HWY_NAMESPACE
}  // namespace kelp_sae::kernels::internal
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace kelp_sae::kernels::internal {

HWY_EXPORT(SortDoubles);
HWY_EXPORT(SortKeys);

void vector_sort(double* values, std::size_t n) {
  if (n > 1) HWY_DYNAMIC_DISPATCH(SortDoubles)(values, n);
}

void vector_sort(std::uint64_t* keys, std::size_t n) {
  if (n > 1) HWY_DYNAMIC_DISPATCH(SortKeys)(keys, n);
}

}  // namespace kelp_sae::kernels::internal
#endif  // HWY_ONCE

#else  // not clang: std::sort, and the precompiled sorter from 256 values on

#include <hwy/contrib/sort/vqsort.h>

#include <algorithm>

namespace kelp_sae::kernels::internal {
namespace {

constexpr std::size_t kPrecompiledMin = 256;

template <typename T>
void sort(T* v, std::size_t n) {
  if (n < kPrecompiledMin) {
    std::sort(v, v + n);
    return;
  }
  // A Sorter owns scratch memory and is not shared between threads.
  thread_local const hwy::Sorter sorter;
  sorter(v, n, hwy::SortAscending());
}

}  // namespace

void vector_sort(double* values, std::size_t n) { sort(values, n); }
void vector_sort(std::uint64_t* keys, std::size_t n) { sort(keys, n); }

}  // namespace kelp_sae::kernels::internal

#endif
