// Pieces shared by the model front ends: the not-implemented error, the
// fixed-effect rows with normal p-values, fresh random seeds, model-label
// title casing and numeric column extraction with clear errors.
//
//   std::vector<FixedEffect> rows = models::make_fixed_effects(names, beta_hat, se);
//   std::uint64_t seed = kelp::seed_from_random_state(rstate);
//   if (seed == 0) seed = models::fresh_seed();
//   std::string label = "Fay-Herriot (MSE: " + models::title_case_label("prasad_rao") + ")";
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/table.h"
#include "kelp_sae/results/containers.h"

namespace kelp_sae {

// An option value the library recognises but does not implement (for example
// the median as a direct estimator).
class NotImplementedError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace kelp_sae

namespace kelp_sae::models {

// Phi(z), the standard normal distribution function.
double standard_normal_cdf(double z);

// Two-sided normal p-value 2 (1 - Phi(|z|)), computed as erfc(|z| / sqrt 2)
// so that small p-values keep their digits.
double two_sided_normal_p_value(double z);

// One FixedEffect per design column, in order: z = est / se when se > 0 and
// 0 otherwise; p = 2 (1 - Phi(|z|)), which is 1.0 when se <= 0; interval
// est -/+ 1.96 se. `names`, `est` and `se` have equal lengths
// (std::invalid_argument otherwise).
std::vector<FixedEffect> make_fixed_effects(const std::vector<std::string>& names,
                                            const Eigen::Ref<const Eigen::VectorXd>& est,
                                            const Eigen::Ref<const Eigen::VectorXd>& se);

// A fresh, non-reproducible seed uniform in [0, 2^30), from std::random_device;
// used when the caller gives no random state (or one whose seed is 0).
std::uint64_t fresh_seed();

// "prasad_rao" -> "Prasad Rao": every "_" becomes a blank, then each run of
// letters starts with an upper-case letter and continues in lower case.
std::string title_case_label(std::string_view text);

// Upper-cases a method text, then strips leading and trailing white space:
// " reml " -> "REML".
std::string normalize_method(std::string_view text);
// Lower-cases an option text (no trimming).
std::string to_lower(std::string_view text);

// The named column of `table` as doubles (nulls as NaN). A text column throws
// kelp::ModelError "Non-numeric column" naming the column and its `role`
// (for example "response", "sampling variance", "covariate"); a missing
// column throws kelp::ColumnNotFoundError.
Eigen::VectorXd numeric_column(const kelp::Table& table, const std::string& name,
                               std::string_view role);

}  // namespace kelp_sae::models
