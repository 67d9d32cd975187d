#include "kelp/random_state.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace kelp {
namespace {

TEST(SeedFromRandomState, NoneIntegerAndRandomState) {
  const struct {
    const char* label;
    RandomStateArg state;
    std::uint64_t seed;
  } cases[] = {
      {"none", std::monostate{}, 0},
      {"zero", std::int64_t{0}, 0},
      {"integer", std::int64_t{42}, 42},
      {"largest integer", std::int64_t{9223372036854775807}, 9223372036854775807ULL},
      {"random state", RandomState(7), 7},
      {"random state above the integer range", RandomState(18446744073709551615ULL),
       18446744073709551615ULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(seed_from_random_state(c.state), c.seed);
  }
}

TEST(SeedFromRandomState, NegativeIntegerIsRejected) {
  try {
    (void)seed_from_random_state(std::int64_t{-3});
    FAIL() << "expected std::invalid_argument";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "random state must be a non-negative integer; got -3");
  }
}

}  // namespace
}  // namespace kelp
