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
// branch-free implementation (fdlibm's algorithm), so that draws are the
// same on every platform and the tail pass vectorises.
//
// Speed. Draws are produced in blocks: one loop runs the 20 Threefry rounds
// over 32-bit words only (sixteen counters per AVX-512 vector), a second
// the uniform conversion and the central rational function, written so that
// GCC vectorises them; the tail cases (about 15% of draws) are gathered
// without branches into a third vectorised loop. The block kernels are
// compiled for x86-64-v4 (AVX-512), x86-64-v3 (AVX2) and baseline x86-64 and
// chosen at run time.
// Floating-point contraction is disabled for this file (see CMakeLists.txt)
// so that every variant computes bit-identical results.
#include "kelp_sae/random/keys.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

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

// AS 241 central region: z for q = u - 1/2 with |q| <= 0.425.
KELP_SAE_INLINE double central_z(double q) {
  const double r = 0.180625 - q * q;
  const double num = (((((((2.5090809287301226727e+3 * r + 3.3430575583588128105e+4) * r +
                           6.7265770927008700853e+4) *
                              r +
                          4.5921953931549871457e+4) *
                             r +
                         1.3731693765509461125e+4) *
                            r +
                        1.9715909503065514427e+3) *
                           r +
                       1.3314166789178437745e+2) *
                          r +
                      3.3871328727963666080e+0);
  const double den = (((((((5.2264952788528545610e+3 * r + 2.8729085735721942674e+4) * r +
                           3.9307895800092710610e+4) *
                              r +
                          2.1213794301586595867e+4) *
                             r +
                         5.3941960214247511077e+3) *
                            r +
                        6.8718700749205790830e+2) *
                           r +
                       4.2313330701600911252e+1) *
                          r +
                      1.0);
  return q * num / den;
}

// Natural logarithm of a positive normal finite x (fdlibm's e_log.c
// algorithm, error below 1 ulp), branch-free so that it vectorises: x is
// reduced to 2^k m with m in [sqrt(2)/2, sqrt(2)), and log m = 2 atanh(s),
// s = (m - 1)/(m + 1), from a minimax polynomial in s^2.
KELP_SAE_INLINE double log_normal_positive(double x) {
  std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  // Shift the exponent boundary from 1 to sqrt(2)/2 (high word 0x3fe6a09e).
  std::uint64_t hx = (bits >> 32) + (0x3ff00000u - 0x3fe6a09eu);
  // The exponent k = (hx >> 20) - 1023 as a double, through the bits of
  // 2^52 + (hx >> 20): exact, and vectorisable without 64-bit integer
  // conversions.
  const double dk = std::bit_cast<double>(0x4330000000000000ull | (hx >> 20)) - (0x1p52 + 1023.0);
  hx = (hx & 0x000fffffu) + 0x3fe6a09eu;
  bits = (hx << 32) | (bits & 0xffffffffu);
  const double f = std::bit_cast<double>(bits) - 1.0;
  const double hfsq = 0.5 * f * f;
  const double s = f / (2.0 + f);
  const double z = s * s;
  const double w = z * z;
  const double t1 = w * (3.999999999940941908e-01 +
                         w * (2.222219843214978396e-01 + w * 1.531383769920937332e-01));
  const double t2 = z * (6.666666666666735130e-01 +
                         w * (2.857142874366239149e-01 +
                              w * (1.818357216161805012e-01 + w * 1.479819860511658591e-01)));
  const double rr = t2 + t1;
  return s * (hfsq + rr) + dk * 1.90821492927058770002e-10 - hfsq + f +
         dk * 6.93147180369123816490e-01;
}

// AS 241 tails, in t = sqrt(-log r) with r = min(u, 1 - u): |z| for t <= 5
// (r >= 1.4e-11) ...
KELP_SAE_INLINE double near_tail_magnitude(double t) {
  const double a = t - 1.6;
  const double num = (((((((7.74545014278341407640e-4 * a + 2.27238449892691845833e-2) * a +
                           2.41780725177450611770e-1) *
                              a +
                          1.27045825245236838258e+0) *
                             a +
                         3.64784832476320460504e+0) *
                            a +
                        5.76949722146069140550e+0) *
                           a +
                       4.63033784615654529590e+0) *
                          a +
                      1.42343711074968357734e+0);
  const double den = (((((((1.05075007164441684324e-9 * a + 5.47593808499534494600e-4) * a +
                           1.51986665636164571966e-2) *
                              a +
                          1.48103976427480074590e-1) *
                             a +
                         6.89767334985100004550e-1) *
                            a +
                        1.67638483018380384940e+0) *
                           a +
                       2.05319162663775882187e+0) *
                          a +
                      1.0);
  return num / den;
}

// ... and for t > 5.
KELP_SAE_INLINE double far_tail_magnitude(double t) {
  const double b = t - 5.0;
  const double num = (((((((2.01033439929228813265e-7 * b + 2.71155556874348757815e-5) * b +
                           1.24266094738807843860e-3) *
                              b +
                          2.65321895265761230930e-2) *
                             b +
                         2.96560571828504891230e-1) *
                            b +
                        1.78482653991729133580e+0) *
                           b +
                       5.46378491116411436990e+0) *
                          b +
                      6.65790464350110377720e+0);
  const double den = (((((((2.04426310338993978564e-15 * b + 1.42151175831644588870e-7) * b +
                           1.84631831751005468180e-5) *
                              b +
                          7.86869131145613259100e-4) *
                             b +
                         1.48753612908506148525e-2) *
                            b +
                        1.36929880922735805310e-1) *
                           b +
                       5.99832206555887937690e-1) *
                          b +
                      1.0);
  return num / den;
}

// z for q = u - 1/2 with |q| > 0.425, given neg_log_r = -log(min(u, 1 - u)).
double tail_z(double q, double neg_log_r) {
  const double t = std::sqrt(neg_log_r);
  return std::copysign(t <= 5.0 ? near_tail_magnitude(t) : far_tail_magnitude(t), q);
}

// For each 8-bit mask, the positions of its set bits in ascending order, one
// per byte (unused bytes 0).
constexpr std::array<std::uint64_t, 256> kSetBitPositions = [] {
  std::array<std::uint64_t, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    unsigned n = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if ((mask >> bit) & 1u) table[mask] |= std::uint64_t{bit} << (8 * n++);
    }
  }
  return table;
}();

// Draws are produced in blocks of at most kBlock consecutive indices that do
// not cross a multiple of 2^32, so that the high counter word is constant
// within a block. A block's working set fits the first-level cache.
constexpr std::size_t kBlock = 512;

// Up to this many draws are made one by one, with the same arithmetic.
constexpr std::size_t kScalarMax = 2;

std::size_t block_length(std::uint64_t first, std::size_t remaining) {
  const std::uint64_t to_boundary = (std::uint64_t{1} << 32) - (first & 0xffffffffu);
  return static_cast<std::size_t>(std::min<std::uint64_t>({kBlock, remaining, to_boundary}));
}

// The vector loops below run over whole groups of kGroup draws (one AVX-512
// vector of 32-bit words), so that no draw takes a slower scalar remainder
// loop; draws computed beyond the requested ones are discarded.
constexpr std::size_t kGroup = 16;

std::size_t whole_groups(std::size_t len) { return (len + kGroup - 1) / kGroup; }

// The two output words of draws first + j for the n_groups groups from j =
// 0, over 32-bit words only so that they vectorise at full width. The low
// counter word wraps past the end of a block's range; those draws are
// discarded.
KELP_SAE_INLINE void threefry_groups(Key key, std::uint64_t first, std::uint32_t* y0,
                                     std::uint32_t* y1, std::size_t n_groups) {
  const std::uint32_t k0 = key.k0;
  const std::uint32_t k1 = key.k1;
  const auto lo = static_cast<std::uint32_t>(first);
  const auto hi = static_cast<std::uint32_t>(first >> 32);
  const auto n = static_cast<std::uint32_t>(n_groups * kGroup);
  for (std::uint32_t j = 0; j < n; ++j) {
    std::uint32_t x0 = lo + j;
    std::uint32_t x1 = hi;
    threefry2x32_20(k0, k1, x0, x1);
    y0[j] = x0;
    y1[j] = x1;
  }
}

// Uniforms u[j] of draws first + j, j < len (a block as above).
KELP_SAE_CLONES void uniform_block(Key key, std::uint64_t first, double* u, std::size_t len) {
  alignas(64) std::uint32_t y0[kBlock];
  alignas(64) std::uint32_t y1[kBlock];
  alignas(64) double v[kBlock];
  const std::size_t n_groups = whole_groups(len);
  threefry_groups(key, first, y0, y1, n_groups);
  for (std::size_t j = 0; j < n_groups * kGroup; ++j) v[j] = block_to_uniform(y0[j], y1[j]);
  std::memcpy(u, v, len * sizeof(double));
}

// Normals of draws first + j into out[j], j < len (a block as above).
KELP_SAE_CLONES void normal_block(Key key, std::uint64_t first, double* out, std::size_t len) {
  alignas(64) std::uint32_t y0[kBlock];
  alignas(64) std::uint32_t y1[kBlock];
  alignas(64) double z[kBlock];
  alignas(64) std::uint8_t is_tail[kBlock];
  alignas(64) std::uint32_t tail_index[kBlock + 8];
  alignas(64) double tail_value[kBlock + 8];
  const std::size_t n_groups = whole_groups(len);
  threefry_groups(key, first, y0, y1, n_groups);
  // Pass 1 (vectorised): uniforms -> central-region normals for every draw,
  // and a flag for the draws in the tails.
  for (std::size_t j = 0; j < n_groups * kGroup; ++j) {
    const double uj = block_to_uniform(y0[j], y1[j]);
    const double q = uj - 0.5;
    z[j] = central_z(q);
    is_tail[j] = std::fabs(q) > 0.425 ? 1 : 0;
  }
  // Gather the indices of the tail draws (about 15%) without branches:
  // eight flags at a time become a bit mask, whose set bits a table lists.
  const std::size_t padded = (len + 7) & ~std::size_t{7};
  for (std::size_t j = len; j < padded; ++j) is_tail[j] = 0;
  std::size_t n_tail = 0;
  for (std::size_t w = 0; w < padded; w += 8) {
    std::uint64_t flags;
    std::memcpy(&flags, is_tail + w, sizeof flags);
    // Byte i (0 or 1) of flags becomes bit i of the mask.
    const auto mask = static_cast<unsigned>((flags * 0x0102040810204080ull) >> 56);
    const std::uint64_t positions = kSetBitPositions[mask];
    for (unsigned k = 0; k < 8; ++k) {
      tail_index[n_tail + k] = static_cast<std::uint32_t>(w + ((positions >> (8 * k)) & 0xff));
    }
    n_tail += static_cast<std::size_t>(std::popcount(mask));
  }
  for (std::size_t t = 0; t < n_tail; ++t)
    tail_value[t] = block_to_uniform(y0[tail_index[t]], y1[tail_index[t]]);
  // Whole groups of eight: the filler is a tail uniform whose result is
  // discarded.
  const std::size_t n_tail_groups = (n_tail + 7) / 8;
  for (std::size_t t = n_tail; t < 8 * n_tail_groups; ++t) tail_value[t] = 0.01;
  // Pass 2 (vectorised): the tail draws with t <= 5; the far tail (r below
  // 1.4e-11, about one draw in 3.6e10) is redone in a scalar pass.
  int n_far = 0;
  for (std::size_t t = 0; t < 8 * n_tail_groups; ++t) {
    const double uj = tail_value[t];
    const double root = std::sqrt(-log_normal_positive(std::min(uj, 1.0 - uj)));
    n_far += root > 5.0 ? 1 : 0;
    tail_value[t] = std::copysign(near_tail_magnitude(root), uj - 0.5);
  }
  if (n_far > 0) {
    for (std::size_t t = 0; t < n_tail; ++t) {
      const double uj = block_to_uniform(y0[tail_index[t]], y1[tail_index[t]]);
      tail_value[t] = tail_z(uj - 0.5, -log_normal_positive(std::min(uj, 1.0 - uj)));
    }
  }
  for (std::size_t t = 0; t < n_tail; ++t) z[tail_index[t]] = tail_value[t];
  std::memcpy(out, z, len * sizeof(double));
}

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
  for (std::size_t start = 0; start < n; start += kBlock) {
    split_block(key, static_cast<std::uint32_t>(start), children.data() + start,
                std::min(kBlock, n - start));
  }
  return children;
}

void split(Key key, std::uint64_t first, std::span<Key> out) {
  constexpr std::uint64_t kMaxChildren = std::uint64_t{1} << 32;
  if (first > kMaxChildren || out.size() > kMaxChildren - first) {
    throw std::invalid_argument("split: first + count must be at most 2^32, got first " +
                                std::to_string(first) + " and count " + std::to_string(out.size()));
  }
  for (std::size_t start = 0; start < out.size(); start += kBlock) {
    split_block(key, static_cast<std::uint32_t>(first + start), out.data() + start,
                std::min(kBlock, out.size() - start));
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
      const std::uint64_t index = offset + i;
      const Key block =
          encrypt(key, static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32));
      out[i] = inverse_normal_cdf(block_to_uniform(block.k0, block.k1));
    }
    return;
  }
  for (std::size_t start = 0, len = 0; start < n; start += len) {
    len = block_length(offset + start, n - start);
    normal_block(key, offset + start, out.data() + start, len);
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
    uniform_block(key, offset + start, out.data() + start, len);
  }
}

double inverse_normal_cdf(double p) {
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
