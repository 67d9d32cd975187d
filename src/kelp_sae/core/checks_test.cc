#include "kelp_sae/core/checks.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace kelp_sae {
namespace {

TEST(Checks, FailuresNameFunctionArgumentValueAndWhatIsAccepted) {
  struct Case {
    std::function<void()> check;
    std::string argument;
    std::string message;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {[] { check_at_least("fh", "n_reps", 0, 1); }, "n_reps",
       "fh: n_reps must be at least 1; got 0."},
      {[] { check_at_least("fh", "n_reps", -5, 1); }, "n_reps",
       "fh: n_reps must be at least 1; got -5."},
      {[] { check_at_most("ebp", "batch_size", 9, 8); }, "batch_size",
       "ebp: batch_size must be at most 8; got 9."},
      {[] { check_positive_finite("eblup", "tol", 0.0); }, "tol",
       "eblup: tol must be a positive finite number; got 0."},
      {[inf] { check_positive_finite("eblup", "tol", inf); }, "tol",
       "eblup: tol must be a positive finite number; got inf."},
      {[] {
         check_choice("eblup", "method", "XYZ", {"REML", "ML"});
       },
       "method", "eblup: method must be 'REML' or 'ML'; got 'XYZ'."},
      {[] {
         check_choice("fh", "mse", "", {"a", "b", "c"});
       },
       "mse", "fh: mse must be 'a', 'b' or 'c'; got ''."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    try {
      c.check();
      ADD_FAILURE() << "no error";
    } catch (const ArgumentError& e) {
      EXPECT_EQ(e.what(), c.message);
      EXPECT_EQ(e.argument(), c.argument);
    }
  }
}

TEST(Checks, AcceptedValuesPassAndChoicesGiveTheirPosition) {
  EXPECT_NO_THROW(check_at_least("fh", "n_reps", 1, 1));
  EXPECT_NO_THROW(check_at_most("fh", "n_reps", 8, 8));
  EXPECT_NO_THROW(check_positive_finite("fh", "tol", 1e-300));
  EXPECT_EQ(check_choice("fh", "method", "ML", {"REML", "ML"}), 1u);
  EXPECT_EQ(check_choice("fh", "method", "REML", {"REML", "ML"}), 0u);
  // Case is ignored, white space is not.
  EXPECT_EQ(check_choice("eblup", "mse", "BOOTSTRAP", {"Analytical", "Bootstrap"}), 1u);
  EXPECT_THROW(check_choice("eblup", "mse", " bootstrap", {"Analytical", "Bootstrap"}),
               ArgumentError);
}

}  // namespace
}  // namespace kelp_sae
