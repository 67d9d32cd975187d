#include "kelp/random_state.h"

#include <fmt/format.h>

#include <stdexcept>

namespace kelp {

std::uint64_t seed_from_random_state(const RandomStateArg& state) {
  if (const auto* seed = std::get_if<std::int64_t>(&state)) {
    if (*seed < 0) {
      throw std::invalid_argument(
          fmt::format("random state must be a non-negative integer; got {}", *seed));
    }
    return static_cast<std::uint64_t>(*seed);
  }
  if (const auto* rs = std::get_if<RandomState>(&state)) return rs->seed();
  return 0;
}

}  // namespace kelp
