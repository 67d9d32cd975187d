#include "kelp_sae/random/keys.h"

#include <Random123/threefry.h>
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kelp_sae::random {
namespace {

// The documented stream layout (keys.cc): split children and fold_in use the
// high counter words below; a root key is the seed encrypted under a fixed key.
constexpr std::uint32_t kSplitTag = 0x9E3779B9u;
constexpr std::uint32_t kFoldTag = 0xC2B2AE35u;

Key reference_block(Key key, std::uint32_t c0, std::uint32_t c1) {
  const threefry2x32_ctr_t ctr = {{c0, c1}};
  const threefry2x32_key_t k = {{key.k0, key.k1}};
  const threefry2x32_ctr_t out = threefry2x32(ctr, k);
  return Key{out.v[0], out.v[1]};
}

double reference_uniform(Key key, std::uint64_t index) {
  const Key out = reference_block(key, static_cast<std::uint32_t>(index),
                                  static_cast<std::uint32_t>(index >> 32));
  const std::uint64_t bits = ((std::uint64_t{out.k1} << 32) | out.k0) >> 12;
  return (static_cast<double>(bits) + 0.5) * 0x1p-52;
}

double normal_cdf(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  const double n = static_cast<double>(a.size());
  const double ma = std::accumulate(a.begin(), a.end(), 0.0) / n;
  const double mb = std::accumulate(b.begin(), b.end(), 0.0) / n;
  double sab = 0.0, saa = 0.0, sbb = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    saa += (a[i] - ma) * (a[i] - ma);
    sbb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(saa * sbb);
}

TEST(KeysTest, StreamsFollowRandom123Threefry2x32) {
  const Key key{0x01234567u, 0x89ABCDEFu};
  // Known-answer vectors of Threefry2x32-20 (Random123's kat_vectors).
  EXPECT_EQ(reference_block(Key{0, 0}, 0, 0), (Key{0x6b200159u, 0x99ba4efeu}));
  EXPECT_EQ(reference_block(Key{0xffffffffu, 0xffffffffu}, 0xffffffffu, 0xffffffffu),
            (Key{0x1cb996fcu, 0xbb002be7u}));
  EXPECT_EQ(reference_block(Key{0x13198a2eu, 0x03707344u}, 0x243f6a88u, 0x85a308d3u),
            (Key{0xc4923a9cu, 0x483df7a0u}));

  const std::pair<std::uint64_t, std::size_t> cases[] = {
      {0, 1000}, {(std::uint64_t{1} << 32) - 300, 700}, {std::uint64_t{1} << 40, 300}};
  for (const auto& [offset, n] : cases) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    std::vector<double> u(n);
    uniform(key, u, offset);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(u[i], reference_uniform(key, offset + i)) << "draw " << i;
    }
  }

  const std::uint64_t seed = 0x0000002A0000BEEFull;
  EXPECT_EQ(key_from_seed(seed),
            reference_block(Key{0x85EBCA6Bu, 0x27D4EB2Fu}, 0x0000BEEFu, 0x2Au));
  const std::vector<Key> children = split(key, 1000);
  for (std::uint32_t i = 0; i < children.size(); ++i) {
    ASSERT_EQ(children[i], reference_block(key, i, kSplitTag)) << "child " << i;
  }
  EXPECT_EQ(fold_in(key, 77), reference_block(key, 77, kFoldTag));
}

TEST(KeysTest, GoldenValuesOfSeed42) {
  // Guards "same seed, same numbers". The uniforms were computed by an
  // independent implementation of Threefry2x32-20; the normals agree with
  // the exact quantiles of those uniforms (50-digit arithmetic) to 3e-16:
  // -0.77415371627878025, 1.5920764592283442, 1.3673106673429262,
  // -1.2836521008165247, -0.11110925992565742, -1.1769332081344953.
  const Key root = key_from_seed(42);
  EXPECT_EQ(root, (Key{0x61146417u, 0x97df6c11u}));
  const std::vector<double> z = normal(root, 6);
  const double golden[] = {-0.77415371627878027, 1.5920764592283441,   1.3673106673429263,
                           -1.2836521008165245,  -0.11110925992565739, -1.1769332081344952};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(z[i], golden[i]) << "draw " << i;
  }
}

TEST(KeysTest, DrawDependsOnlyOnKeyAndIndex) {
  // Sizes and offsets straddle the generator's internal blocks (512 draws)
  // and its one-by-one path for one or two draws.
  const Key key = key_from_seed(7);
  const std::vector<double> full = normal(key, 3000);
  for (std::size_t k : {0u, 1u, 2u, 3u, 17u, 511u, 512u, 513u, 1024u, 1025u, 2049u, 2999u}) {
    SCOPED_TRACE("prefix " + std::to_string(k));
    const std::vector<double> prefix = normal(key, k);
    ASSERT_TRUE(std::equal(prefix.begin(), prefix.end(), full.begin()));
  }
  for (std::size_t offset : {1u, 100u, 1023u, 1024u, 1600u}) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    std::vector<double> part(full.size() - offset);
    normal(key, part, offset);
    ASSERT_TRUE(std::equal(part.begin(), part.end(), full.begin() + offset));
    std::vector<double> pair(2);
    normal(key, pair, offset);
    ASSERT_TRUE(std::equal(pair.begin(), pair.end(), full.begin() + offset));
  }
  // The same key gives the same numbers on every call.
  EXPECT_EQ(normal(key, 3000), full);
}

TEST(KeysTest, NormalIsInverseCdfOfUniform) {
  // The block kernel (vectorised, tail cases in a second pass) must give the
  // same bits as the scalar inverse applied to the same uniforms, also across
  // a change of the high counter word.
  const Key key = key_from_seed(2024);
  for (std::uint64_t offset : {std::uint64_t{12345}, (std::uint64_t{1} << 32) - 100001}) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    const std::size_t n = 200000;
    std::vector<double> u(n), z(n);
    uniform(key, u, offset);
    normal(key, z, offset);
    std::size_t tails = 0;
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_GT(u[i], 0.0);
      ASSERT_LT(u[i], 1.0);
      ASSERT_EQ(z[i], inverse_normal_cdf(u[i])) << "draw " << i << " u " << u[i];
      tails += std::fabs(u[i] - 0.5) > 0.425 ? 1 : 0;
    }
    EXPECT_GT(tails, n / 10);  // about 15% of draws exercise the tail pass
  }
}

TEST(KeysTest, FarTailDrawMatchesTheOneByOnePath) {
  // Draw 5233028865 of key_from_seed(0) has u = 1 - 9.6059826759642419e-12,
  // beyond the near-tail formula (found by a one-off search).
  // Reference: R's qnorm(9.6059826759642419e-12, lower.tail = FALSE).
  const Key key = key_from_seed(0);
  const std::uint64_t index = 5233028865;
  std::vector<double> u(300), z(300);
  uniform(key, u, index - 150);
  normal(key, z, index - 150);
  EXPECT_EQ(1.0 - u[150], 9.6059826759642419e-12);
  EXPECT_NEAR(z[150], 6.7118898889011982, 4e-15);
  for (std::size_t i = 0; i < z.size(); ++i) {
    ASSERT_EQ(z[i], inverse_normal_cdf(u[i])) << "draw " << i;
  }
}

TEST(KeysTest, EveryInstructionSetGivesTheSameBits) {
  // The block kernels are compiled for several instruction sets (with and
  // without fused multiply-add instructions, 128 to 512 bits) and one is
  // chosen at run time: each must give the draws of the best one. The
  // range crosses a change of the high counter word.
  const Key key = key_from_seed(99);
  const std::uint64_t offset = (std::uint64_t{1} << 32) - 5000;
  std::vector<double> best_z(20011), best_u(20011);
  normal(key, best_z, offset);
  uniform(key, best_u, offset);
  const std::vector<std::int64_t> targets = hwy::SupportedAndGeneratedTargets();
  EXPECT_GE(targets.size(), 2u);
  for (const std::int64_t target : targets) {
    SCOPED_TRACE(hwy::TargetName(target));
    hwy::SetSupportedTargetsForTest(target);
    std::vector<double> z(best_z.size()), u(best_u.size());
    normal(key, z, offset);
    uniform(key, u, offset);
    EXPECT_EQ(z, best_z);
    EXPECT_EQ(u, best_u);
  }
  hwy::SetSupportedTargetsForTest(0);
}

TEST(KeysTest, SeedsAndChildrenGiveDistinctKeys) {
  std::set<std::pair<std::uint32_t, std::uint32_t>> seen;
  for (std::uint64_t seed = 0; seed < 1000; ++seed) {
    const Key k = key_from_seed(seed);
    seen.insert({k.k0, k.k1});
  }
  EXPECT_EQ(seen.size(), 1000u);

  const Key parent = key_from_seed(1);
  const std::vector<Key> children = split(parent, 100000);
  std::set<std::pair<std::uint32_t, std::uint32_t>> kids;
  for (const Key& k : children) kids.insert({k.k0, k.k1});
  kids.insert({parent.k0, parent.k1});
  for (std::uint32_t v = 0; v < 1000; ++v) {
    const Key f = fold_in(parent, v);
    kids.insert({f.k0, f.k1});
  }
  EXPECT_EQ(kids.size(), 100000u + 1u + 1000u);

  // Children do not depend on how many are asked for.
  const std::vector<Key> few = split(parent, 3);
  EXPECT_TRUE(std::equal(few.begin(), few.end(), children.begin()));
  const auto [first, second] = split2(parent);
  EXPECT_EQ(first, children[0]);
  EXPECT_EQ(second, children[1]);
  // A range of children, across a block boundary, equals that slice.
  std::vector<Key> range(300);
  split(parent, 99000, range);
  EXPECT_TRUE(std::equal(range.begin(), range.end(), children.begin() + 99000));
  // The last child of the 2^32 and one beyond.
  std::vector<Key> last(1);
  EXPECT_NO_THROW(split(parent, (std::uint64_t{1} << 32) - 1, last));
  EXPECT_THROW(split(parent, std::uint64_t{1} << 32, last), std::invalid_argument);
}

TEST(KeysTest, RelatedKeysGiveUncorrelatedDraws) {
  // Streams of nearby seeds, split children and fold_in keys are compared
  // pairwise. Under independence the sample correlation of n pairs is about
  // N(0, 1/n); the bound 5/sqrt(n) has a false-alarm rate of 6e-7 per pair,
  // below 1e-4 over all pairs here.
  const std::size_t n = 50000;
  const Key root = key_from_seed(0);
  std::vector<Key> keys = {root, key_from_seed(1), key_from_seed(2)};
  for (const Key& k : split(root, 8)) keys.push_back(k);
  for (std::uint32_t v = 0; v < 4; ++v) keys.push_back(fold_in(root, v));
  std::vector<std::vector<double>> draws;
  for (const Key& k : keys) draws.push_back(normal(k, n));
  const double bound = 5.0 / std::sqrt(static_cast<double>(n));
  for (std::size_t a = 0; a < keys.size(); ++a) {
    for (std::size_t b = a + 1; b < keys.size(); ++b) {
      SCOPED_TRACE("keys " + std::to_string(a) + ", " + std::to_string(b));
      EXPECT_LT(std::fabs(correlation(draws[a], draws[b])), bound);
    }
  }
  // Serial correlation within one stream (lag 1).
  std::vector<double> lead(n - 1), lag(n - 1);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    lag[i] = draws[0][i];
    lead[i] = draws[0][i + 1];
  }
  EXPECT_LT(std::fabs(correlation(lead, lag)), bound);
}

TEST(KeysTest, MomentsOfOneMillionDraws) {
  // Standard errors under N(0, 1) for n draws: mean 1/sqrt(n), variance
  // sqrt(2/n), skewness sqrt(6/n), excess kurtosis sqrt(24/n). Each moment is
  // checked within 5 standard errors (false-alarm rate 6e-7 per check).
  const std::size_t n = 1000000;
  const std::vector<double> z = normal(key_from_seed(99), n);
  double s1 = 0, s2 = 0, s3 = 0, s4 = 0;
  for (double v : z) {
    s1 += v;
    s2 += v * v;
    s3 += v * v * v;
    s4 += v * v * v * v;
  }
  const double dn = static_cast<double>(n);
  const double mean = s1 / dn;
  const double m2 = s2 / dn - mean * mean;
  const double m3 = s3 / dn - 3 * mean * s2 / dn + 2 * mean * mean * mean;
  const double m4 =
      s4 / dn - 4 * mean * s3 / dn + 6 * mean * mean * s2 / dn - 3 * std::pow(mean, 4);
  EXPECT_NEAR(mean, 0.0, 5.0 / std::sqrt(dn));
  EXPECT_NEAR(m2, 1.0, 5.0 * std::sqrt(2.0 / dn));
  EXPECT_NEAR(m3 / std::pow(m2, 1.5), 0.0, 5.0 * std::sqrt(6.0 / dn));
  EXPECT_NEAR(m4 / (m2 * m2) - 3.0, 0.0, 5.0 * std::sqrt(24.0 / dn));
}

TEST(KeysTest, ChiSquareOnEquiprobableBins) {
  // 1e6 draws binned by 100 equiprobable intervals of N(0, 1), located with
  // the erfc-based distribution function (independent of the generator's
  // inverse). Critical value: the 1 - 1e-4 quantile of chi-square with 99
  // degrees of freedom, 160.0557 (R: qchisq(1 - 1e-4, 99)).
  const std::size_t n = 1000000, bins = 100;
  const std::vector<double> z = normal(key_from_seed(5), n);
  std::vector<double> count(bins, 0.0);
  std::size_t below3 = 0, above3 = 0;
  for (double v : z) {
    const auto b = static_cast<std::size_t>(normal_cdf(v) * static_cast<double>(bins));
    count[std::min(b, bins - 1)] += 1.0;
    below3 += v < -3.0 ? 1 : 0;
    above3 += v > 3.0 ? 1 : 0;
  }
  const double expected = static_cast<double>(n) / static_cast<double>(bins);
  double chi2 = 0.0;
  for (double c : count) chi2 += (c - expected) * (c - expected) / expected;
  EXPECT_LT(chi2, 160.0557);
  // The far tails, which the equiprobable bins barely see: counts beyond 3
  // have mean n Phi(-3) = 1349.9 and a Poisson standard deviation of 36.7;
  // bound 5 standard deviations.
  const double tail_mean = static_cast<double>(n) * normal_cdf(-3.0);
  EXPECT_NEAR(static_cast<double>(below3), tail_mean, 5.0 * std::sqrt(tail_mean));
  EXPECT_NEAR(static_cast<double>(above3), tail_mean, 5.0 * std::sqrt(tail_mean));
}

TEST(InverseNormalCdfTest, KnownValues) {
  // References: the exact quantiles of the double p, from 50-digit
  // arithmetic, rounded to 20 digits.
  const std::pair<double, double> cases[] = {
      {0.975, 1.9599639845400538556},
      {1e-10, -6.3613409024040561991},
      {0.5, 0.0},
      {0.3, -0.52440051270804081597},
      {0.075, -1.4395314709384559349},
      {0.925, 1.4395314709384562291},
      {0.07, -1.4757910281791706856},
      {1e-5, -4.2648907939228246102},
      {1e-20, -9.2623400897984075796},
      {1e-100, -21.273453560965324294},
      {1e-300, -37.047096299361199237},
      {0.999999, 4.7534243088170877657},
      {1e-310, -37.663060331949523732},
  };
  for (const auto& [p, z] : cases) {
    SCOPED_TRACE("p = " + std::to_string(p));
    EXPECT_NEAR(inverse_normal_cdf(p), z, 4e-16 * std::max(1.0, std::fabs(z)));
  }
  EXPECT_EQ(inverse_normal_cdf(0.0), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(inverse_normal_cdf(1.0), std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(inverse_normal_cdf(-0.1)));
  EXPECT_TRUE(std::isnan(inverse_normal_cdf(1.5)));
  EXPECT_TRUE(std::isnan(inverse_normal_cdf(std::numeric_limits<double>::quiet_NaN())));
}

TEST(InverseNormalCdfTest, RoundTripThroughErfc) {
  // Phi(Phi^-1(p)) = p. A relative error e in z moves Phi by about
  // z phi(z) / Phi(z) * e <= (z^2 + 1) e relative, so the tolerance grows
  // with z^2 (erfc itself is accurate to a few ulp).
  std::vector<double> ps;
  for (double p = 1e-300; p < 0.5; p *= 3.7) ps.push_back(p);
  for (int i = 1; i < 1000; ++i) ps.push_back(i / 1000.0);
  for (double p : ps) {
    SCOPED_TRACE("p = " + std::to_string(p));
    const double z = inverse_normal_cdf(p);
    const double back = p < 0.5 ? normal_cdf(z) : 0.5 * std::erfc(z / std::sqrt(2.0));
    const double target = p < 0.5 ? p : 1.0 - p;
    EXPECT_NEAR(back / target, 1.0, 2e-15 * (1.0 + z * z));
  }
}

TEST(InverseNormalCdfTest, SymmetricOnTheUniformGrid) {
  // For the generator's uniforms 1 - u is exact, so the draws of u and 1 - u
  // are exact negatives.
  std::vector<double> u(100000);
  uniform(key_from_seed(3), u);
  u.push_back(0x1p-53);
  for (double v : u) {
    ASSERT_EQ(inverse_normal_cdf(1.0 - v), -inverse_normal_cdf(v)) << v;
  }
}

TEST(KeysTest, RejectsIndexRangesBeyondTheDrawDomain) {
  const Key key = key_from_seed(1);
  std::vector<double> out(4);
  const std::uint64_t limit = std::uint64_t{1} << 63;
  EXPECT_THROW(normal(key, out, limit - 3), std::invalid_argument);
  EXPECT_NO_THROW(normal(key, out, limit - 4));
  EXPECT_THROW(uniform(key, out, std::numeric_limits<std::uint64_t>::max()), std::invalid_argument);
}

}  // namespace
}  // namespace kelp_sae::random
