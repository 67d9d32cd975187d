// Ascending sorts of the Monte Carlo's populations by Highway's vectorised
// quicksort (VQSort), its pivot sampler seeded from the count.
//
// Highway's precompiled sorter seeds that sampler from the operating system
// on every call: one system call per sort, about a microsecond, as long as
// sorting a few hundred values. Compiled here, the sort needs no system call
// and runs from a handful of values on. GCC 12 compiles Highway's 64-bit
// AVX-512 compress with its lookup table copied to the stack at every use
// (several times slower), so the build compiles this source with clang++
// when it is installed; compiled by any other compiler, it falls back to
// std::sort for short arrays and the precompiled sorter above.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelp_sae::kernels::internal {

// Sorts values[0..n) ascending. The values hold no NaN and no infinity
// (VQSort treats infinity as the largest finite double); -0.0 and +0.0 may
// end in either order.
void vector_sort(double* values, std::size_t n);

// Sorts keys[0..n) ascending.
void vector_sort(std::uint64_t* keys, std::size_t n);

}  // namespace kelp_sae::kernels::internal
