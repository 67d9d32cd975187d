// Block kernels: Threefry2x32-20 over whole vectors of 32-bit counters, the
// uniform conversion, and the inverse normal distribution function with its
// tail cases gathered into a second pass.
//
// Layout. A vector of 32-bit lanes encrypts one counter per lane; the two
// output words of each counter are interleaved into 64-bit lanes. Highway's
// interleave works within 128-bit blocks, so the counters are assigned to
// lanes such that the lower interleave holds draws j .. j + L - 1 and the
// upper one draws j + L .. j + 2L - 1 (L 64-bit lanes per vector): the
// results come out in draw order without a shuffle.
//
// Normals. The central rational function is evaluated for every draw and
// stored in place; the draws in the tails (|u - 1/2| > 0.425, about 15%) are
// compressed into a short list with their positions, evaluated a vector at
// a time and scattered back.
//
// Bits. Polynomials use fused multiply-adds; on instruction sets without
// them each lane calls std::fma, so every target computes the same bits.
// Floating-point contraction is disabled for this library (CMakeLists.txt).
#include "kelp_sae/random/internal/draw_blocks.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "kelp_sae/random/internal/inverse_normal_coefficients.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kelp_sae/random/internal/draw_blocks.cc"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace kelp_sae::random::internal {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR

void UniformBlock(Key key, std::uint64_t first, double* HWY_RESTRICT out, std::size_t len) {
  for (std::size_t j = 0; j < len; ++j) out[j] = uniform_at(key, first + j);
}

void NormalBlock(Key key, std::uint64_t first, double* HWY_RESTRICT out, std::size_t len) {
  for (std::size_t j = 0; j < len; ++j) out[j] = normal_at(key, first + j);
}

#else

using DF = hn::ScalableTag<double>;
using DU = hn::RebindToUnsigned<DF>;
using DW = hn::Repartition<std::uint32_t, DF>;
using VF = hn::Vec<DF>;
using VU = hn::Vec<DU>;
using VW = hn::Vec<DW>;
using MF = hn::Mask<DF>;

// Room for the widest vector of doubles beyond a block's end.
constexpr std::size_t kPad = 16;

// a * b + c, rounded once.
HWY_INLINE VF fused_multiply_add(VF a, VF b, VF c) {
#if HWY_NATIVE_FMA
  return hn::MulAdd(a, b, c);
#else
  const DF df;
  HWY_ALIGN double av[kPad], bv[kPad], cv[kPad];
  hn::Store(a, df, av), hn::Store(b, df, bv), hn::Store(c, df, cv);
  for (std::size_t i = 0; i < hn::Lanes(df); ++i) av[i] = std::fma(av[i], bv[i], cv[i]);
  return hn::Load(df, av);
#endif
}

template <std::size_t N>
HWY_INLINE VF horner(const double (&c)[N], VF x) {
  const DF df;
  VF p = fused_multiply_add(hn::Set(df, c[0]), x, hn::Set(df, c[1]));
  for (std::size_t i = 2; i < N; ++i) p = fused_multiply_add(p, x, hn::Set(df, c[i]));
  return p;
}

// One Threefry round on K independent vectors of counters, interleaved so
// that the processor has K dependency chains to overlap.
template <int R, std::size_t K>
HWY_INLINE void mix(VW (&x0)[K], VW (&x1)[K]) {
  for (std::size_t k = 0; k < K; ++k) x0[k] = hn::Add(x0[k], x1[k]);
  for (std::size_t k = 0; k < K; ++k) x1[k] = hn::RotateRight<32 - R>(x1[k]);
  for (std::size_t k = 0; k < K; ++k) x1[k] = hn::Xor(x1[k], x0[k]);
}

// The 32-bit counter offsets of the lanes (see the layout note above).
HWY_INLINE VW lane_offsets() {
  const DW dw;
  const std::size_t lanes = hn::Lanes(dw);
  HWY_ALIGN std::uint32_t offsets[2 * kPad];
  for (std::size_t lane = 0; lane < lanes; ++lane) {
    const std::size_t block = lane / 4, position = lane % 4;
    offsets[lane] = static_cast<std::uint32_t>(position < 2 ? 2 * block + position
                                                            : lanes / 2 + 2 * block + position - 2);
  }
  return hn::Load(dw, offsets);
}

// Threefry2x32-20 of the counters (x0, x1), as Random123's threefry2x32.
struct Threefry {
  std::uint32_t k0, k1, k2;
  explicit Threefry(Key key) : k0(key.k0), k1(key.k1), k2(0x1BD11BDAu ^ key.k0 ^ key.k1) {}

  template <std::size_t K>
  HWY_INLINE void operator()(VW (&x0)[K], VW (&x1)[K]) const {
    const DW dw;
    const auto inject = [&](std::uint32_t a, std::uint32_t b) {
      for (std::size_t k = 0; k < K; ++k) {
        x0[k] = hn::Add(x0[k], hn::Set(dw, a));
        x1[k] = hn::Add(x1[k], hn::Set(dw, b));
      }
    };
    inject(k0, k1);
    mix<13>(x0, x1), mix<15>(x0, x1), mix<26>(x0, x1), mix<6>(x0, x1);
    inject(k1, k2 + 1u);
    mix<17>(x0, x1), mix<29>(x0, x1), mix<16>(x0, x1), mix<24>(x0, x1);
    inject(k2, k0 + 2u);
    mix<13>(x0, x1), mix<15>(x0, x1), mix<26>(x0, x1), mix<6>(x0, x1);
    inject(k0, k1 + 3u);
    mix<17>(x0, x1), mix<29>(x0, x1), mix<16>(x0, x1), mix<24>(x0, x1);
    inject(k1, k2 + 4u);
    mix<13>(x0, x1), mix<15>(x0, x1), mix<26>(x0, x1), mix<6>(x0, x1);
    inject(k2, k0 + 5u);
  }
};

// The uniform of a 64-bit output block: (k + 1/2) 2^-52 with k its top 52
// bits, built exactly as 1 + k 2^-52, minus 1, plus 2^-53.
HWY_INLINE VF to_uniform(VU bits) {
  const DF df;
  const DU du;
  const VU mantissa = hn::Or(hn::ShiftRight<12>(bits), hn::Set(du, 0x3FF0000000000000ull));
  return hn::Add(hn::Sub(hn::BitCast(df, mantissa), hn::Set(df, 1.0)), hn::Set(df, 0x1p-53));
}

// The uniforms of one block: draws first + j of a key's stream.
class BlockUniforms {
 public:
  BlockUniforms(Key key, std::uint64_t first)
      : threefry_(key),
        offsets_(lane_offsets()),
        lo_(static_cast<std::uint32_t>(first)),
        hi_(static_cast<std::uint32_t>(first >> 32)) {}

  // Draws j .. j + 2KL - 1 as 2K vectors, in order.
  template <std::size_t K>
  HWY_INLINE void get(std::size_t j, VF (&u)[2 * K]) const {
    const DW dw;
    const DU du;
    const auto step = static_cast<std::uint32_t>(hn::Lanes(dw));
    const auto start = lo_ + static_cast<std::uint32_t>(j);
    VW x0[K], x1[K];
    for (std::size_t k = 0; k < K; ++k) {
      x0[k] = hn::Add(offsets_, hn::Set(dw, start + static_cast<std::uint32_t>(k) * step));
      x1[k] = hn::Set(dw, hi_);
    }
    threefry_(x0, x1);
    for (std::size_t k = 0; k < K; ++k) {
      u[2 * k] = to_uniform(hn::BitCast(du, hn::InterleaveLower(dw, x0[k], x1[k])));
      u[2 * k + 1] = to_uniform(hn::BitCast(du, hn::InterleaveUpper(dw, x0[k], x1[k])));
    }
  }

 private:
  Threefry threefry_;
  VW offsets_;
  std::uint32_t lo_, hi_;
};

// log x for positive normal finite x (fdlibm's e_log.c, error below 1 ulp):
// x = 2^k m with m in [sqrt(2)/2, sqrt(2)), log m = 2 atanh(s).
HWY_INLINE VF log_positive(VF x) {
  const DF df;
  const DU du;
  VU bits = hn::BitCast(du, x);
  // Shift the exponent boundary from 1 to sqrt(2)/2 (high word 0x3fe6a09e).
  VU hx = hn::Add(hn::ShiftRight<32>(bits), hn::Set(du, 0x3ff00000u - 0x3fe6a09eu));
  // k = (hx >> 20) - 1023 as a double, exactly, through the bits of 2^52 + (hx >> 20).
  const VF dk =
      hn::Sub(hn::BitCast(df, hn::Or(hn::Set(du, 0x4330000000000000ull), hn::ShiftRight<20>(hx))),
              hn::Set(df, 0x1p52 + 1023.0));
  hx = hn::Add(hn::And(hx, hn::Set(du, 0x000fffffu)), hn::Set(du, 0x3fe6a09eu));
  bits = hn::Or(hn::ShiftLeft<32>(hx), hn::And(bits, hn::Set(du, 0xffffffffu)));
  const VF f = hn::Sub(hn::BitCast(df, bits), hn::Set(df, 1.0));
  const VF hfsq = hn::Mul(hn::Mul(hn::Set(df, 0.5), f), f);
  const VF s = hn::Div(f, hn::Add(hn::Set(df, 2.0), f));
  const VF z = hn::Mul(s, s);
  const VF w = hn::Mul(z, z);
  const VF r = hn::Add(hn::Mul(z, horner(kLogOdd, w)), hn::Mul(w, horner(kLogEven, w)));
  VF result = hn::Add(hn::Mul(s, hn::Add(hfsq, r)), hn::Mul(dk, hn::Set(df, kLn2Low)));
  result = hn::Add(hn::Sub(result, hfsq), f);
  return hn::Add(result, hn::Mul(dk, hn::Set(df, kLn2High)));
}

// z for uniforms u in the tails.
HWY_INLINE VF tail_z(VF u) {
  const DF df;
  const VF q = hn::Sub(u, hn::Set(df, 0.5));
  const VF r = hn::Min(u, hn::Sub(hn::Set(df, 1.0), u));
  const VF t = hn::Sqrt(hn::Neg(log_positive(r)));
  const VF a = hn::Sub(t, hn::Set(df, kNearTailShift));
  VF magnitude = hn::Div(horner(kNearTailNumerator, a), horner(kNearTailDenominator, a));
  const MF far = hn::Gt(t, hn::Set(df, kFarTailStart));
  if (HWY_UNLIKELY(!hn::AllFalse(df, far))) {
    const VF b = hn::Sub(t, hn::Set(df, kFarTailStart));
    magnitude = hn::IfThenElse(
        far, hn::Div(horner(kFarTailNumerator, b), horner(kFarTailDenominator, b)), magnitude);
  }
  return hn::CopySign(magnitude, q);
}

// Stores the lanes of v selected by mask contiguously at out (which has
// room for a whole vector) and returns their number.
template <class D>
HWY_INLINE std::size_t compress_store(D d, hn::Vec<D> v, hn::Mask<D> mask,
                                      hn::TFromD<D>* HWY_RESTRICT out) {
#if HWY_TARGET <= HWY_AVX3
  // The instruction itself, into a register: Highway's emulation for 64-bit
  // lanes costs several times more here.
  if constexpr (sizeof(hn::TFromD<D>) == 8 && hn::MaxLanes(D()) == 8) {
    const hn::RebindToUnsigned<D> du;
    const __m512i packed =
        _mm512_maskz_compress_epi64(hn::RebindMask(du, mask).raw, hn::BitCast(du, v).raw);
    hn::StoreU(hn::BitCast(d, hn::Vec<decltype(du)>{packed}), d, out);
    return hn::CountTrue(d, mask);
  }
#endif
  hn::StoreU(hn::Compress(v, mask), d, out);
  return hn::CountTrue(d, mask);
}

// Counter vectors encrypted together in the main loops: eight independent
// dependency chains keep the vector units busy (measured: the draws take
// 0.6 of the time they take one vector at a time). A block's last draws go
// two and one counter vectors at a time, so that short blocks do not pay
// for more than they use.
constexpr std::size_t kInterleave = 8;
constexpr std::size_t kVectors = 2 * kInterleave;

void UniformBlock(Key key, std::uint64_t first, double* HWY_RESTRICT out, std::size_t len) {
  const DF df;
  const std::size_t lanes = hn::Lanes(df);
  const BlockUniforms uniforms(key, first);
  std::size_t j = 0;
  for (VF u[kVectors]; j + kVectors * lanes <= len; j += kVectors * lanes) {
    uniforms.get<kInterleave>(j, u);
    for (std::size_t v = 0; v < kVectors; ++v) hn::StoreU(u[v], df, out + j + v * lanes);
  }
  VF u[2];
  for (; j + 2 * lanes <= len; j += 2 * lanes) {
    uniforms.get<1>(j, u);
    hn::StoreU(u[0], df, out + j);
    hn::StoreU(u[1], df, out + j + lanes);
  }
  if (j < len) {
    HWY_ALIGN double rest[2 * kPad];
    uniforms.get<1>(j, u);
    hn::Store(u[0], df, rest);
    hn::Store(u[1], df, rest + lanes);
    std::memcpy(out + j, rest, (len - j) * sizeof(double));
  }
}

void NormalBlock(Key key, std::uint64_t first, double* HWY_RESTRICT out, std::size_t len) {
  const DF df;
  const DU du;
  const std::size_t lanes = hn::Lanes(df);
  const BlockUniforms uniforms(key, first);
  HWY_ALIGN double tail_u[kDrawBlock + kPad];
  HWY_ALIGN std::uint64_t tail_at[kDrawBlock + kPad];
  std::size_t n_tail = 0;
  // Lane numbers, made once: Highway builds an Iota through memory.
  const VU lane_numbers = hn::Iota(du, 0);

  // Central values of the `valid` lanes of u (draws j ..) into z; tail
  // uniforms and their positions onto the lists.
  const auto central = [&](VF u, std::size_t j, double* HWY_RESTRICT z, std::size_t valid) {
    const VF q = hn::Sub(u, hn::Set(df, 0.5));
    const VF r = fused_multiply_add(hn::Neg(q), q, hn::Set(df, kCentralShift));
    const VF num = horner(kCentralNumerator, r);
    const VF den = horner(kCentralDenominator, r);
    hn::StoreU(hn::Div(hn::Mul(q, num), den), df, z);
    MF tail = hn::Gt(hn::Abs(q), hn::Set(df, kCentralSplit));
    if (valid < lanes) tail = hn::And(tail, hn::FirstN(df, valid));
    // Without a branch: whether a vector holds a tail draw is a coin toss.
    compress_store(df, u, tail, tail_u + n_tail);
    const VU at = hn::Add(lane_numbers, hn::Set(du, j));
    n_tail += compress_store(du, at, hn::RebindMask(du, tail), tail_at + n_tail);
  };

  std::size_t j = 0;
  for (VF u[kVectors]; j + kVectors * lanes <= len; j += kVectors * lanes) {
    uniforms.get<kInterleave>(j, u);
    for (std::size_t v = 0; v < kVectors; ++v) {
      central(u[v], j + v * lanes, out + j + v * lanes, lanes);
    }
  }
  for (VF u[4]; j + 4 * lanes <= len; j += 4 * lanes) {
    uniforms.get<2>(j, u);
    for (std::size_t v = 0; v < 4; ++v) central(u[v], j + v * lanes, out + j + v * lanes, lanes);
  }
  VF u[2];
  for (; j + 2 * lanes <= len; j += 2 * lanes) {
    uniforms.get<1>(j, u);
    central(u[0], j, out + j, lanes);
    central(u[1], j + lanes, out + j + lanes, lanes);
  }
  if (j < len) {
    HWY_ALIGN double rest[2 * kPad];
    uniforms.get<1>(j, u);
    const std::size_t remaining = len - j;
    central(u[0], j, rest, std::min(lanes, remaining));
    if (remaining > lanes) central(u[1], j + lanes, rest + lanes, remaining - lanes);
    std::memcpy(out + j, rest, remaining * sizeof(double));
  }

  // The tails, a whole vector at a time; the filler is a tail uniform whose
  // result is not used.
  for (std::size_t t = n_tail; t % lanes != 0; ++t) tail_u[t] = 0.01;
  for (std::size_t t = 0; t < n_tail; t += lanes) {
    hn::Store(tail_z(hn::Load(df, tail_u + t)), df, tail_u + t);
  }
  for (std::size_t t = 0; t < n_tail; ++t) out[tail_at[t]] = tail_u[t];
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace HWY_NAMESPACE
}  // namespace kelp_sae::random::internal
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace kelp_sae::random::internal {

HWY_EXPORT(UniformBlock);
HWY_EXPORT(NormalBlock);

void uniform_block(Key key, std::uint64_t first, double* out, std::size_t len) {
  HWY_DYNAMIC_DISPATCH(UniformBlock)(key, first, out, len);
}

void normal_block(Key key, std::uint64_t first, double* out, std::size_t len) {
  HWY_DYNAMIC_DISPATCH(NormalBlock)(key, first, out, len);
}

}  // namespace kelp_sae::random::internal
#endif  // HWY_ONCE
