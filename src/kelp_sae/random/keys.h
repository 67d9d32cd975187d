// Counter-based random keys on Threefry2x32-20.
//
// A Key is two 32-bit words. Keys are never advanced in place: new keys come
// from split() and fold_in(), and draws are pure functions of (key, index).
// Element i of a draw depends only on the key and i, so the first k of n
// draws equal a draw of k, and results never depend on thread count, call
// order or platform.
//
//   Key root = key_from_seed(42);
//   std::vector<Key> reps = split(root, 1000);   // one key per replicate
//   auto [k_u, k_e] = split2(reps[7]);
//   std::vector<double> z(n);
//   normal(k_u, z);                               // z[i] ~ N(0, 1)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace kelp_sae::random {

struct Key {
  std::uint32_t k0 = 0;
  std::uint32_t k1 = 0;
  friend bool operator==(const Key&, const Key&) = default;
};

// The root key of a 64-bit seed (high and low words).
Key key_from_seed(std::uint64_t seed);

// n independent child keys; child i depends only on (key, i). At most 2^32
// children (std::invalid_argument otherwise).
std::vector<Key> split(Key key, std::size_t n);
// Children first .. first + out.size() - 1 of split(key, n) for any n beyond
// them: out[j] is child first + j. Lets a caller derive the keys of a range
// of replicates without holding all n. first + out.size() must not exceed
// 2^32 (std::invalid_argument otherwise).
void split(Key key, std::uint64_t first, std::span<Key> out);
// The first two children of split(key, 2).
std::pair<Key, Key> split2(Key key);
// A key derived from (key, value), independent of split's children.
Key fold_in(Key key, std::uint32_t value);

// Fills out[i] with standard normal draw number (offset + i) of the key's
// stream. Uniforms on (0, 1) from the Threefry counter stream are mapped
// through an accurate inverse normal CDF: exactly one uniform per draw.
// Draw indices offset + i must stay below 2^63 (std::invalid_argument
// otherwise).
void normal(Key key, std::span<double> out, std::uint64_t offset = 0);
std::vector<double> normal(Key key, std::size_t n);

// Uniform draws on the open interval (0, 1), 53-bit resolution.
void uniform(Key key, std::span<double> out, std::uint64_t offset = 0);

// The inverse standard normal distribution function on (0, 1), accurate to
// about 1e-15 relative; exposed for tests.
double inverse_normal_cdf(double p);

}  // namespace kelp_sae::random
