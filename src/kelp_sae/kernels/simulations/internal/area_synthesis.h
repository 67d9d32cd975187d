// The vectorised inner loop of the Monte Carlo kernels: one area's synthetic
// values on the data scale and the sums of the mean and poverty measures.
#pragma once

#include <cstddef>

#include "kelp_sae/kernels/simulations/indicators.h"
#include "kelp_sae/kernels/transformations/boxcox.h"

namespace kelp_sae::kernels::internal {

// y[j] = g^-1(xb[j] + u + sigma_e e[j]) - shift for j < n (y may alias e),
// and over the y[j]: sum, count below threshold, sum of gaps
// max(1 - y (1/threshold), 0) and of squared gaps; with Box-Cox, the count of
// values whose base lambda y* + 1 was floored. With population weights w
// (non-null, w[j] >= 0) the sums are weighted, units of weight 0 counting
// for nothing, and Sums::weight is their total. The lanes of the running
// sums are combined in a fixed order, so equal inputs give equal results on
// one machine whatever the thread; run-time dispatch picks the widest SIMD
// target of the CPU, and results may differ in the last bits between CPUs of
// different SIMD widths. Inputs outside the vectorised exp/log range are
// recomputed with the scalar functions.
IndicatorSet::Sums synthesize_area(const double* xb, const double* e, std::size_t n, double u,
                                   double sigma_e, const BackTransformation& g, double shift,
                                   double threshold, double* y, const double* w = nullptr);

}  // namespace kelp_sae::kernels::internal
