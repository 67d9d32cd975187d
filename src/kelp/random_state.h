// Random states: how a caller asks for reproducible randomness.
//
// A RandomState is a seed holder; seed_from_random_state turns "no state", an
// integer or a RandomState into the integer seed of the root random key.
// A result of 0 means "no seed given": the caller then draws a fresh seed.
#pragma once

#include <cstdint>
#include <optional>
#include <variant>

namespace kelp {

class RandomState {
 public:
  explicit RandomState(std::uint64_t seed) : seed_(seed) {}
  std::uint64_t seed() const noexcept { return seed_; }

 private:
  std::uint64_t seed_;
};

using RandomStateArg = std::variant<std::monostate, std::int64_t, RandomState>;

// none -> 0; an integer -> itself (a negative integer is rejected with
// std::invalid_argument); a RandomState -> its seed.
std::uint64_t seed_from_random_state(const RandomStateArg& state);

}  // namespace kelp
