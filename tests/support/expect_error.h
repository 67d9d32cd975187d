// Test helpers for checking kelp::ModelError (and, through
// thrown_message.h, any error by type and message).
//
//   const kelp::ModelError e = thrown_model_error([&] { model.fh(...); });
//   EXPECT_EQ(e.title(), "Empty dataset");
//   expect_model_error([&] { ... }, "Missing columns");
//   EXPECT_EQ(thrown_message<std::invalid_argument>([&] { ... }), "Unknown method.");
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kelp/errors.h"
#include "tests/support/thrown_message.h"

namespace kelp_sae::testing {

// The kelp::ModelError thrown by `fn`; records a failure when none is thrown.
template <typename Fn>
kelp::ModelError thrown_model_error(Fn&& fn) {
  try {
    fn();
  } catch (const kelp::ModelError& e) {
    return e;
  }
  ADD_FAILURE() << "no kelp::ModelError thrown";
  return kelp::ModelError({.title = "", .detail = ""});
}

// Checks that `fn` throws kelp::ModelError with this title and, unless
// `detail` is empty, this detail.
template <typename Fn>
void expect_model_error(Fn&& fn, const std::string& title, const std::string& detail = "") {
  const kelp::ModelError e = thrown_model_error(fn);
  EXPECT_EQ(e.title(), title);
  if (!detail.empty()) {
    EXPECT_EQ(e.detail(), detail);
  }
}

}  // namespace kelp_sae::testing
