// Test helpers for checking errors by type and message.
//
//   const kelp::ModelError e = thrown_model_error([&] { model.fh(...); });
//   EXPECT_EQ(e.title(), "Empty dataset");
//   expect_model_error([&] { ... }, "Missing columns");
//   EXPECT_EQ(thrown_message<std::invalid_argument>([&] { ... }), "Unknown method.");
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kelp/errors.h"

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

// Checks that `fn` throws std::invalid_argument with exactly this message.
template <typename Fn>
void expect_invalid_argument(Fn&& fn, const std::string& message) {
  EXPECT_EQ(thrown_message<std::invalid_argument>(fn), message);
}

}  // namespace kelp_sae::testing
