// Threefry2x32-20 keys and standard normal draws by inversion.
//
// Streams. Under a key K the 64-bit counter space is split into disjoint
// domains by the high counter word:
//   draws         (lo32(i), hi32(i)) for draw index i < 2^63 (high word < 2^31)
//   split child i (i, kSplitTag)     kSplitTag >= 2^31
//   fold_in v     (v, kFoldTag)      kFoldTag >= 2^31, != kSplitTag
// so no two uses of one key ever encrypt the same counter. Threefry is a
// keyed permutation of the counter whose outputs for distinct counters or
// keys pass TestU01's BigCrush from 13 rounds on (Salmon et al.); 20 rounds
// is Random123's default with a safety margin.
//
// Uniforms. The 64 output bits of draw i give k = (out >> 12), 52 bits, and
// u = (k + 1/2) * 2^-52: an odd multiple of 2^-53 in [2^-53, 1 - 2^-53].
// The grid is symmetric about 1/2 and excludes 0 and 1, so every uniform
// maps to a finite normal and 1 - u is exact.
//
// Normals. Wichura's algorithm AS 241 (PPND16, Applied Statistics 37, 1988),
// relative accuracy about 1e-16: a rational function of (u - 1/2)^2 in the
// central region |u - 1/2| <= 0.425, and rational functions of
// sqrt(-log(min(u, 1 - u))) in the tails. The logarithm is our own
// (fdlibm's algorithm), so that draws are the same on every platform.
// Polynomials are evaluated by Horner's rule with fused multiply-adds.
//
// Speed. Draws of more than two are made in vectorised blocks
// (internal/draw_blocks.h); this file holds the one-by-one path, which does
// exactly the same arithmetic, and the keys.
#include "kelp_sae/random/keys.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "kelp_sae/random/internal/draw_blocks.h"
#include "kelp_sae/random/internal/inverse_normal_coefficients.h"

namespace kelp_sae::random {
namespace {

// Counter domains (high counter word), all with the top bit set.
constexpr std::uint32_t kSplitTag = 0x9E3779B9u;
constexpr std::uint32_t kFoldTag = 0xC2B2AE35u;
// The fixed key under which a seed is encrypted into a root key.
constexpr std::uint32_t kSeedKey0 = 0x85EBCA6Bu;
constexpr std::uint32_t kSeedKey1 = 0x27D4EB2Fu;

constexpr std::uint64_t kMaxDrawIndex = std::uint64_t{1} << 63;

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && \
    !defined(__SANITIZE_ADDRESS__)
#define KELP_SAE_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define KELP_SAE_CLONES
#endif

#define KELP_SAE_INLINE inline __attribute__((always_inline))

template <int R>
KELP_SAE_INLINE std::uint32_t rotl(std::uint32_t x) {
  return (x << R) | (x >> (32 - R));
}

template <int R>
KELP_SAE_INLINE void mix(std::uint32_t& x0, std::uint32_t& x1) {
  x0 += x1;
  x1 = rotl<R>(x1);
  x1 ^= x0;
}

// Threefry2x32 with 20 rounds (Salmon et al., SC'11), rotation constants and
// key schedule of Random123's threefry2x32: (x0, x1) is the counter on entry
// and the output block on return.
KELP_SAE_INLINE void threefry2x32_20(std::uint32_t k0, std::uint32_t k1, std::uint32_t& x0,
                                     std::uint32_t& x1) {
  const std::uint32_t k2 = 0x1BD11BDAu ^ k0 ^ k1;
  x0 += k0;
  x1 += k1;
  mix<13>(x0, x1), mix<15>(x0, x1), mix<26>(x0, x1), mix<6>(x0, x1);
  x0 += k1;
  x1 += k2 + 1u;
  mix<17>(x0, x1), mix<29>(x0, x1), mix<16>(x0, x1), mix<24>(x0, x1);
  x0 += k2;
  x1 += k0 + 2u;
  mix<13>(x0, x1), mix<15>(x0, x1), mix<26>(x0, x1), mix<6>(x0, x1);
  x0 += k0;
  x1 += k1 + 3u;
  mix<17>(x0, x1), mix<29>(x0, x1), mix<16>(x0, x1), mix<24>(x0, x1);
  x0 += k1;
  x1 += k2 + 4u;
  mix<13>(x0, x1), mix<15>(x0, x1), mix<26>(x0, x1), mix<6>(x0, x1);
  x0 += k2;
  x1 += k0 + 5u;
}

KELP_SAE_INLINE Key encrypt(Key key, std::uint32_t c0, std::uint32_t c1) {
  threefry2x32_20(key.k0, key.k1, c0, c1);
  return Key{c0, c1};
}

// The uniform of one output block: an odd multiple of 2^-53 in (0, 1).
// Built from the bits as 1 + k 2^-52 (exactly representable), minus 1, plus
// 2^-53: every step is exact.
KELP_SAE_INLINE double block_to_uniform(std::uint32_t x0, std::uint32_t x1) {
  const std::uint64_t bits = ((std::uint64_t{x1} << 32) | x0) >> 12;
  const double one_plus = std::bit_cast<double>(bits | 0x3FF0000000000000ull);
  return (one_plus - 1.0) + 0x1p-53;
}

template <std::size_t N>
KELP_SAE_INLINE double horner(const double (&c)[N], double x) {
  double p = std::fma(c[0], x, c[1]);
  for (std::size_t i = 2; i < N; ++i) p = std::fma(p, x, c[i]);
  return p;
}

// AS 241 central region: z for q = u - 1/2 with |q| <= 0.425.
KELP_SAE_INLINE double central_z(double q) {
  const double r = std::fma(-q, q, internal::kCentralShift);
  return q * horner(internal::kCentralNumerator, r) / horner(internal::kCentralDenominator, r);
}

// Natural logarithm of a positive normal finite x (fdlibm's e_log.c
// algorithm, error below 1 ulp): x is reduced to 2^k m with m in
// [sqrt(2)/2, sqrt(2)), and log m = 2 atanh(s), s = (m - 1)/(m + 1), from a
// minimax polynomial in s^2. The bit manipulations are those of the
// vectorised kernel.
KELP_SAE_INLINE double log_normal_positive(double x) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  // Shift the exponent boundary from 1 to sqrt(2)/2 (high word 0x3fe6a09e).
  std::uint64_t hx = (bits >> 32) + (0x3ff00000u - 0x3fe6a09eu);
  // The exponent k = (hx >> 20) - 1023 as a double, through the bits of
  // 2^52 + (hx >> 20).
  const double dk = std::bit_cast<double>(0x4330000000000000ull | (hx >> 20)) - (0x1p52 + 1023.0);
  hx = (hx & 0x000fffffu) + 0x3fe6a09eu;
  bits = (hx << 32) | (bits & 0xffffffffu);
  const double f = std::bit_cast<double>(bits) - 1.0;
  const double hfsq = 0.5 * f * f;
  const double s = f / (2.0 + f);
  const double z = s * s;
  const double w = z * z;
  const double r = z * horner(internal::kLogOdd, w) + w * horner(internal::kLogEven, w);
  return s * (hfsq + r) + dk * internal::kLn2Low - hfsq + f + dk * internal::kLn2High;
}

// z for q = u - 1/2 with |q| > 0.425, given neg_log_r = -log(min(u, 1 - u)).
KELP_SAE_INLINE double tail_z(double q, double neg_log_r) {
  const double t = std::sqrt(neg_log_r);
  double magnitude;
  if (t <= internal::kFarTailStart) {
    const double a = t - internal::kNearTailShift;
    magnitude = horner(internal::kNearTailNumerator, a) / horner(internal::kNearTailDenominator, a);
  } else {
    const double b = t - internal::kFarTailStart;
    magnitude = horner(internal::kFarTailNumerator, b) / horner(internal::kFarTailDenominator, b);
  }
  return std::copysign(magnitude, q);
}

// Draws are produced in blocks of at most internal::kDrawBlock consecutive
// indices that do not cross a multiple of 2^32, so that the high counter
// word is constant within a block. A block's working set fits the
// first-level cache.
std::size_t block_length(std::uint64_t first, std::size_t remaining) {
  const std::uint64_t to_boundary = (std::uint64_t{1} << 32) - (first & 0xffffffffu);
  return static_cast<std::size_t>(
      std::min<std::uint64_t>({internal::kDrawBlock, remaining, to_boundary}));
}

// Up to this many draws are made one by one, with the same arithmetic.
constexpr std::size_t kScalarMax = 2;

KELP_SAE_CLONES void split_block(Key key, std::uint32_t first, Key* out, std::size_t len) {
  const std::uint32_t k0 = key.k0;
  const std::uint32_t k1 = key.k1;
  for (std::size_t j = 0; j < len; ++j) {
    std::uint32_t x0 = first + static_cast<std::uint32_t>(j);
    std::uint32_t x1 = kSplitTag;
    threefry2x32_20(k0, k1, x0, x1);
    out[j].k0 = x0;
    out[j].k1 = x1;
  }
}

void check_draw_range(const char* function, std::uint64_t offset, std::size_t n) {
  if (offset > kMaxDrawIndex || n > kMaxDrawIndex - offset) {
    throw std::invalid_argument(std::string(function) +
                                ": draw indices offset + n must not exceed 2^63");
  }
}

}  // namespace

Key key_from_seed(std::uint64_t seed) {
  return encrypt(Key{kSeedKey0, kSeedKey1}, static_cast<std::uint32_t>(seed),
                 static_cast<std::uint32_t>(seed >> 32));
}

std::vector<Key> split(Key key, std::size_t n) {
  if (n > (std::size_t{1} << 32)) {
    throw std::invalid_argument("split: n must be at most 2^32, got " + std::to_string(n));
  }
  std::vector<Key> children(n);
  for (std::size_t start = 0; start < n; start += internal::kDrawBlock) {
    split_block(key, static_cast<std::uint32_t>(start), children.data() + start,
                std::min(internal::kDrawBlock, n - start));
  }
  return children;
}

void split(Key key, std::uint64_t first, std::span<Key> out) {
  constexpr std::uint64_t kMaxChildren = std::uint64_t{1} << 32;
  if (first > kMaxChildren || out.size() > kMaxChildren - first) {
    throw std::invalid_argument("split: first + count must be at most 2^32, got first " +
                                std::to_string(first) + " and count " + std::to_string(out.size()));
  }
  for (std::size_t start = 0; start < out.size(); start += internal::kDrawBlock) {
    split_block(key, static_cast<std::uint32_t>(first + start), out.data() + start,
                std::min(internal::kDrawBlock, out.size() - start));
  }
}

std::pair<Key, Key> split2(Key key) {
  return {encrypt(key, 0, kSplitTag), encrypt(key, 1, kSplitTag)};
}

Key fold_in(Key key, std::uint32_t value) { return encrypt(key, value, kFoldTag); }

void normal(Key key, std::span<double> out, std::uint64_t offset) {
  check_draw_range("normal", offset, out.size());
  const std::size_t n = out.size();
  if (n <= kScalarMax) {
    // A few draws (an area effect) cost less one by one than a vector block.
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = internal::normal_at(key, offset + i);
    }
    return;
  }
  for (std::size_t start = 0, len = 0; start < n; start += len) {
    len = block_length(offset + start, n - start);
    internal::normal_block(key, offset + start, out.data() + start, len);
  }
}

std::vector<double> normal(Key key, std::size_t n) {
  std::vector<double> out(n);
  normal(key, out);
  return out;
}

void uniform(Key key, std::span<double> out, std::uint64_t offset) {
  check_draw_range("uniform", offset, out.size());
  const std::size_t n = out.size();
  for (std::size_t start = 0, len = 0; start < n; start += len) {
    len = block_length(offset + start, n - start);
    internal::uniform_block(key, offset + start, out.data() + start, len);
  }
}

namespace internal {

double uniform_at(Key key, std::uint64_t index) {
  const Key block =
      encrypt(key, static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32));
  return block_to_uniform(block.k0, block.k1);
}

double normal_at(Key key, std::uint64_t index) {
  return inverse_normal_cdf(uniform_at(key, index));
}

}  // namespace internal

// Cloned for processors with fused multiply-add instructions, which the
// baseline build reaches only through a library call.
KELP_SAE_CLONES double inverse_normal_cdf(double p) {
  if (!(p > 0.0 && p < 1.0)) {
    if (p == 0.0) return -std::numeric_limits<double>::infinity();
    if (p == 1.0) return std::numeric_limits<double>::infinity();
    return std::numeric_limits<double>::quiet_NaN();
  }
  const double q = p - 0.5;
  if (std::fabs(q) <= 0.425) return central_z(q);
  const double r = std::min(p, 1.0 - p);
  if (r >= std::numeric_limits<double>::min()) return tail_z(q, -log_normal_positive(r));
  // A subnormal r is scaled into the normal range first: log r = log(r 2^64)
  // - 64 log 2.
  return tail_z(q, 64.0 * 0.69314718055994530942 - log_normal_positive(r * 0x1p64));
}

}  // namespace kelp_sae::random
