// Test helpers for checking an error by type and message; usable by the
// kernel tests, which cannot see the survey layer.
//
//   EXPECT_EQ(thrown_message<std::invalid_argument>([&] { ... }), "n_reps must be ...");
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace kelp_sae::testing {

// The message of the `Error` thrown by `fn`; records a failure when none is thrown.
template <typename Error, typename Fn>
std::string thrown_message(Fn&& fn) {
  try {
    fn();
  } catch (const Error& e) {
    return e.what();
  }
  ADD_FAILURE() << "expected exception not thrown";
  return "";
}

// Checks that `fn` throws std::invalid_argument with exactly this message.
template <typename Fn>
void expect_invalid_argument(Fn&& fn, const std::string& message) {
  EXPECT_EQ(thrown_message<std::invalid_argument>(fn), message);
}

}  // namespace kelp_sae::testing
