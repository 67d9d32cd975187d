// Compiled once per SIMD target by Highway's foreach_target; the best target
// of the CPU is chosen at run time.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kelp_sae/kernels/simulations/internal/area_synthesis.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
// Highway requires these after foreach_target.
#include <hwy/contrib/math/math-inl.h>
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>

#include "kelp_sae/kernels/simulations/internal/area_synthesis.h"

#ifndef KELP_SAE_AREA_SYNTHESIS_PARAMS
#define KELP_SAE_AREA_SYNTHESIS_PARAMS
namespace kelp_sae::kernels::internal {
// The arguments of one area, shared by every SIMD target.
struct SynthesisParams {
  const double* xb;
  const double* e;
  const double* w;  // population weights, or null
  double* y;
  double u;
  double sigma_e;
  BackTransformation::Kind kind;
  double lambda_safe;
  double shift;
  double threshold;
  const BackTransformation* g;
};

}  // namespace kelp_sae::kernels::internal
#endif

HWY_BEFORE_NAMESPACE();
namespace kelp_sae::kernels::internal {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using Kind = BackTransformation::Kind;
using Params = SynthesisParams;

// Largest magnitude of an argument of exp_bounded; others take the scalar
// back-transformation.
constexpr double kExpMax = 700.0;
constexpr std::size_t kMaxLanes = HWY_MAX_BYTES / sizeof(double);

// 2^(j/8), j = 0..7, rounded, and the relative error of each rounding.
alignas(64) constexpr double kPow2Eighths[8] = {1.0,
                                                1.0905077326652577,
                                                1.189207115002721,
                                                1.2968395546510096,
                                                1.4142135623730951,
                                                1.5422108254079407,
                                                1.681792830507429,
                                                1.8340080864093424};
alignas(64) constexpr double kPow2EighthsError[8] = {0.0,
                                                     -2.7939114859515733e-17,
                                                     3.3484623336251524e-17,
                                                     1.9572585293112036e-17,
                                                     -6.835808657661922e-17,
                                                     5.1548301170786783e-17,
                                                     4.875160526227062e-17,
                                                     1.790126907604513e-17};
// 1/n!, n = 9 down to 2.
constexpr double kExpTaylor[8] = {
    2.7557319223985893e-06, 2.48015873015873e-05, 0.0001984126984126984, 0.001388888888888889,
    0.008333333333333333,   0.041666666666666664, 0.16666666666666666,   0.5};

// e^x for |x| <= kExpMax (about 1 ulp): x = k ln2/8 + r with |r| <= ln2/16,
// e^x = 2^(k >> 3) 2^((k & 7)/8) e^r. The power 2^((k & 7)/8) is looked up
// (with the error of its rounding), e^r - 1 is its Taylor polynomial of
// degree 9 (truncation below 2e-18), and 2^(k >> 3) goes into the exponent
// bits. Every step is exact or rounded once (where the processor has fused
// multiply-adds; without them the last bit may differ).
template <class D>
HWY_INLINE hn::Vec<D> exp_bounded(D d, hn::Vec<D> x) {
  using V = hn::Vec<D>;
  const hn::RebindToUnsigned<D> du;
  const hn::RebindToSigned<D> di;
  // k = round(8 x / ln 2), in the low bits of kf's mantissa.
  const V shifter = hn::Set(d, 0x1.8p52);
  const V kf = hn::MulAdd(x, hn::Set(d, 11.541560327111707), shifter);
  const V k = hn::Sub(kf, shifter);
  V r = hn::NegMulAdd(k, hn::Set(d, 0.08664339756999316), x);
  r = hn::NegMulAdd(k, hn::Set(d, 2.8988085173078744e-18), r);
  const auto bits = hn::BitCast(du, kf);
  const auto j = hn::BitCast(di, hn::And(bits, hn::Set(du, 7)));
  V power, error;
#if HWY_TARGET <= HWY_AVX3
  if constexpr (hn::MaxLanes(D()) == 8) {
    const auto at = hn::IndicesFromVec(d, j);
    power = hn::TableLookupLanes(hn::Load(d, kPow2Eighths), at);
    error = hn::TableLookupLanes(hn::Load(d, kPow2EighthsError), at);
  } else
#endif
  {
    power = hn::GatherIndex(d, kPow2Eighths, j);
    error = hn::GatherIndex(d, kPow2EighthsError, j);
  }
  // 2^(k >> 3) 2^(j/8): (k - j) << 49 adds k >> 3 to the exponent (the
  // shift drops the shifter's bits; k is far below 2^14 in magnitude).
  const V scale = hn::BitCast(
      d, hn::Add(hn::BitCast(du, power), hn::ShiftLeft<49>(hn::Sub(bits, hn::BitCast(du, j)))));
  V p = hn::MulAdd(hn::Set(d, kExpTaylor[0]), r, hn::Set(d, kExpTaylor[1]));
  for (std::size_t i = 2; i < 8; ++i) p = hn::MulAdd(p, r, hn::Set(d, kExpTaylor[i]));
  const V expm1_r = hn::MulAdd(p, hn::Mul(r, r), r);
  return hn::MulAdd(scale, hn::Add(expm1_r, error), scale);
}

template <Kind kKind, bool kWeighted>
HWY_INLINE void run(const Params& p, std::size_t n, IndicatorSet::Sums& out) {
  const hn::ScalableTag<double> d;
  using V = hn::Vec<decltype(d)>;
  const std::size_t L = hn::Lanes(d);
  const V v_u = hn::Set(d, p.u);
  const V v_se = hn::Set(d, p.sigma_e);
  const V v_shift = hn::Set(d, p.shift);
  const V v_z = hn::Set(d, p.threshold);
  const V v_inv_z = hn::Set(d, 1.0 / p.threshold);
  const V one = hn::Set(d, 1.0);
  const V zero = hn::Zero(d);
  const V v_lambda = hn::Set(d, p.lambda_safe);
  const V v_inv_lambda = hn::Set(d, 1.0 / p.lambda_safe);
  const V v_floor = hn::Set(d, kBoxCoxInverseFloor);
  const V v_exp_max = hn::Set(d, kExpMax);
  const V v_finite = hn::Set(d, 1e300);
  V acc_sum = zero, acc_poor = zero, acc_gap = zero, acc_gap_sq = zero, acc_floored = zero;
  V acc_weight = zero;

  HWY_ALIGN double xb_tail[kMaxLanes];
  HWY_ALIGN double e_tail[kMaxLanes];
  HWY_ALIGN double w_tail[kMaxLanes];
  HWY_ALIGN double y_lanes[kMaxLanes];

  for (std::size_t j = 0; j < n; j += L) {
    const std::size_t count = std::min(L, n - j);
    V xb, e;
    V w = one;
    if (count == L) {
      xb = hn::LoadU(d, p.xb + j);
      e = hn::LoadU(d, p.e + j);
      if constexpr (kWeighted) w = hn::LoadU(d, p.w + j);
    } else {
      if constexpr (kWeighted) {
        std::fill(w_tail, w_tail + L, 0.0);
        std::copy(p.w + j, p.w + j + count, w_tail);
        w = hn::Load(d, w_tail);
      }
      std::fill(xb_tail, xb_tail + L, 0.0);
      std::fill(e_tail, e_tail + L, 0.0);
      std::copy(p.xb + j, p.xb + j + count, xb_tail);
      std::copy(p.e + j, p.e + j + count, e_tail);
      xb = hn::Load(d, xb_tail);
      e = hn::Load(d, e_tail);
    }
    const V y_star = hn::MulAdd(v_se, e, hn::Add(xb, v_u));
    V y;
    bool scalar_fallback = false;
    if constexpr (kKind == Kind::NONE) {
      y = y_star;
    } else if constexpr (kKind == Kind::LOG) {
      scalar_fallback = !hn::AllTrue(d, hn::Abs(y_star) <= v_exp_max);
      y = exp_bounded(d, y_star);
    } else {
      const V base = hn::MulAdd(v_lambda, y_star, one);
      V floored = hn::IfThenElseZero(base < v_floor, one);
      if (count != L) floored = hn::IfThenElseZero(hn::FirstN(d, count), floored);
      acc_floored = hn::Add(acc_floored, floored);
      const V inner = hn::Max(base, v_floor);
      const V arg = hn::Mul(hn::Log(d, inner), v_inv_lambda);
      scalar_fallback =
          !hn::AllTrue(d, hn::And(hn::Abs(y_star) < v_finite, hn::Abs(arg) <= v_exp_max));
      y = exp_bounded(d, arg);
    }
    if (HWY_UNLIKELY(scalar_fallback)) {
      hn::Store(y_star, d, y_lanes);
      for (std::size_t k = 0; k < L; ++k) y_lanes[k] = p.g->apply(y_lanes[k]);
      y = hn::Load(d, y_lanes);
    }
    y = hn::Sub(y, v_shift);
    const V gap = hn::Max(hn::NegMulAdd(y, v_inv_z, one), zero);
    V poor = hn::IfThenElseZero(y < v_z, one);
    V y_acc = y;
    V gap_acc = gap;
    if (count != L) {
      const auto valid = hn::FirstN(d, count);
      y_acc = hn::IfThenElseZero(valid, y);
      gap_acc = hn::IfThenElseZero(valid, gap);
      poor = hn::IfThenElseZero(valid, poor);
      hn::Store(y, d, y_lanes);
      std::copy(y_lanes, y_lanes + count, p.y + j);
    } else {
      hn::StoreU(y, d, p.y + j);
    }
    if constexpr (kWeighted) {
      // Units of weight 0 count for nothing, even with a non-finite value.
      const auto counted = w != zero;
      acc_sum = hn::Add(acc_sum, hn::IfThenElseZero(counted, hn::Mul(w, y_acc)));
      acc_poor = hn::Add(acc_poor, hn::Mul(w, poor));
      const V w_gap = hn::Mul(w, gap_acc);
      acc_gap = hn::Add(acc_gap, w_gap);
      acc_gap_sq = hn::MulAdd(w_gap, gap_acc, acc_gap_sq);
      acc_weight = hn::Add(acc_weight, w);
    } else {
      acc_sum = hn::Add(acc_sum, y_acc);
      acc_poor = hn::Add(acc_poor, poor);
      acc_gap = hn::Add(acc_gap, gap_acc);
      acc_gap_sq = hn::MulAdd(gap_acc, gap_acc, acc_gap_sq);
    }
  }
  out.sum = hn::GetLane(hn::SumOfLanes(d, acc_sum));
  out.poor = hn::GetLane(hn::SumOfLanes(d, acc_poor));
  out.gap = hn::GetLane(hn::SumOfLanes(d, acc_gap));
  out.gap_sq = hn::GetLane(hn::SumOfLanes(d, acc_gap_sq));
  out.floored = hn::GetLane(hn::SumOfLanes(d, acc_floored));
  if constexpr (kWeighted) out.weight = hn::GetLane(hn::SumOfLanes(d, acc_weight));
}

IndicatorSet::Sums SynthesizeArea(const Params& p, std::size_t n) {
  IndicatorSet::Sums sums;
  if (p.w != nullptr) {
    switch (p.kind) {
      case Kind::NONE:
        run<Kind::NONE, true>(p, n, sums);
        break;
      case Kind::LOG:
        run<Kind::LOG, true>(p, n, sums);
        break;
      case Kind::BOX_COX:
        run<Kind::BOX_COX, true>(p, n, sums);
        break;
    }
    return sums;
  }
  switch (p.kind) {
    case Kind::NONE:
      run<Kind::NONE, false>(p, n, sums);
      break;
    case Kind::LOG:
      run<Kind::LOG, false>(p, n, sums);
      break;
    case Kind::BOX_COX:
      run<Kind::BOX_COX, false>(p, n, sums);
      break;
  }
  return sums;
}

}  // namespace HWY_NAMESPACE
}  // namespace kelp_sae::kernels::internal
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace kelp_sae::kernels::internal {

HWY_EXPORT(SynthesizeArea);

IndicatorSet::Sums synthesize_area(const double* xb, const double* e, std::size_t n, double u,
                                   double sigma_e, const BackTransformation& g, double shift,
                                   double threshold, double* y, const double* w) {
  // The Box-Cox parameter close to 0 takes the exponential branch.
  using Kind = BackTransformation::Kind;
  Kind kind = g.kind;
  if (kind == Kind::BOX_COX && std::fabs(g.lambda) < kBoxCoxLogBranch) kind = Kind::LOG;
  const double lambda_safe = std::fabs(g.lambda) < kBoxCoxValueFloor ? kBoxCoxValueFloor : g.lambda;
  const SynthesisParams params{xb, e, w, y, u, sigma_e, kind, lambda_safe, shift, threshold, &g};
  return HWY_DYNAMIC_DISPATCH(SynthesizeArea)(params, n);
}

}  // namespace kelp_sae::kernels::internal
#endif
