// AreaLevel: Area-Level Small Area Estimation (Fay-Herriot).
//
// Wraps either a table with one row per area (direct estimate, its sampling
// variance, covariates) or a survey Sample of unit records, and fits the
// Fay-Herriot model
//
//   y_i = x_i' beta + u_i + e_i,   u_i ~ N(0, sigma_u^2),  e_i ~ N(0, D_i),
//
// with sigma_u^2 by REML or ML, EBLUP predictions and Prasad-Rao or
// parametric-bootstrap MSEs.
//
//   kelp_sae::AreaLevel model(kelp::read_csv("areas.csv"));
//   kelp_sae::SAEResults res =
//       model.fh("y", {"x1", kelp::Cat{"region"}}, "area", {.variance = "var"});
//
//   kelp::Sample sample(units, {.weight = "w", .strata = "stratum", .psu = "psu"});
//   kelp_sae::AreaLevel survey(sample);
//   auto res2 = survey.fh("income", {"x1"}, kelp::RE{"district"},
//                         {.pop_data = area_table, .mse = "bootstrap", .run = {.rstate = 42}});
//
// Modes. With `variance` set (area-table mode) the wrapped table is the model
// table: column `y` holds the direct estimates, column `variance` their
// sampling variances. Without it (raw-sample mode) direct estimates and their
// variances (squared standard errors) are computed by area from the Sample
// and inner-joined to `pop_data` on the area column: only areas on both sides
// are modelled, and the response is named "direct_est".
//
// Fit. The response is divided by its standard deviation (divisor n) or by
// the root of the median sampling variance when that is larger, the
// variances by the square of the same unit, and every covariate by its
// standard deviation (zero response scales and covariate deviations up to
// 1e-8 leave the column unscaled); log sigma_u is fitted by BFGS on the
// profiled likelihood, EBLUPs and MSEs are evaluated on that scale, and all
// results are transformed back, so any finite data in any unit give the same
// results in that unit. MSEs are Prasad-Rao, or the parametric bootstrap when
// `mse` is "bootstrap" (seeded from `run.rstate`; no state, or a state whose
// seed is 0, draws a fresh, non-reproducible seed).
//
// Failures (nothing is stored in fitted() on failure):
//   ArgumentError           (a std::invalid_argument naming the argument)
//                           "Missing 'pop_data'. ...", "Automated aggregation
//                           requires a 'kelp.Sample' object.", and the option
//                           checks: "fh: method must be 'REML' or 'ML'; got
//                           '<method>'.", "fh: mse must be 'prasad_rao' or
//                           'bootstrap'; got '<mse>'.", tol negative or not
//                           finite, max_iter below 0, bootstrap n_reps or
//                           batch_size below 1, a negative integer rstate
//   NotImplementedError     "Statistic <statistic> not supported."
//   kelp::ModelError        "Missing columns" (code MISSING_COLUMN), "Empty
//                           dataset", "Non-numeric column", "Invalid sampling
//                           variances", "Non-finite values", "Duplicate areas"
//                           (an area on several rows of the model table),
//                           "Too few observations" (no more areas than design
//                           columns), "Optimization failed", "Categorical
//                           Resolution Error", "Unknown reference level",
//                           "Non-finite results" (a prediction or MSE beyond
//                           the range of double)
// Warning (logger "kelp_sae.models.area"): areas whose sampling variance is
// 0 or below 1e-12 times the median positive variance, counted and named;
// their predictions are the direct estimates with an MSE of about 0.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "kelp/sample.h"
#include "kelp/table.h"
#include "kelp/terms.h"
#include "kelp_sae/models/run_options.h"
#include "kelp_sae/results/containers.h"
#include "kelp_sae/results/features.h"

namespace kelp_sae {

// The direct estimator of raw-sample mode: a PopParam, or its value text
// ("Mean", "Total", "Proportion", "Ratio"; exact match).
using Statistic = std::variant<kelp::PopParam, std::string>;

struct FhOptions {
  // Area covariate table keyed by the area column; required in raw-sample
  // mode, ignored in area-table mode.
  std::optional<kelp::Table> pop_data = std::nullopt;
  // Sampling-variance column; giving it selects area-table mode.
  std::optional<std::string> variance = std::nullopt;
  // Direct estimator of raw-sample mode.
  Statistic statistic = kelp::PopParam::MEAN;
  // Denominator variable of the Ratio statistic.
  std::optional<std::string> ratio_denom = std::nullopt;
  // "REML" or "ML"; upper-cased and trimmed before use.
  std::string method = "REML";
  // "prasad_rao" or "bootstrap"; lower-cased before use.
  std::string mse = "prasad_rao";
  // Drop model-table rows with a null in any model column.
  bool drop_nulls = true;
  // Bootstrap and optimiser settings. Unset, n_reps is 100 and max_iter 100.
  // A seed of 0 (an integer or a RandomState's) draws a fresh seed, like no
  // state.
  RunOptions run = {};

  static constexpr RunDefaults kRunDefaults{.n_reps = 100, .max_iter = 100};
};

class AreaLevel {
 public:
  // Area-table or raw-sample data; nothing is read until fh() runs.
  explicit AreaLevel(kelp::Table data);
  explicit AreaLevel(kelp::Sample sample);

  // Fay-Herriot estimation; see the file comment. Stores the result in
  // fitted() and returns it.
  SAEResults fh(const std::string& y, const TermList& x, const AreaTerm& area,
                const FhOptions& options = {});

  // The result of the last successful fh(), if any.
  const std::optional<SAEResults>& fitted() const noexcept { return fitted_; }
  // Whether the model wraps a Sample.
  bool is_sample() const noexcept { return sample_.has_value(); }

  // Direct estimates by area from the wrapped Sample: columns [area_col,
  // "direct_est", "direct_var"], the variance being the squared standard
  // error. Throws std::invalid_argument "Automated aggregation requires a
  // 'kelp.Sample' object." without a Sample; NotImplementedError "Statistic
  // <s> not supported." for a statistic other than Mean, Total, Proportion
  // and Ratio. Failures of the estimation (that one included) are logged at
  // error level on "kelp_sae.models.area" as "Failed to delegate to
  // kelp.estimation: <message>" and rethrown unchanged.
  kelp::Table calculate_direct_estimates(
      const std::string& y, const std::string& area_col, const Statistic& statistic,
      const std::optional<std::string>& denominator = std::nullopt) const;

 private:
  SAEResults fit_fh_core(const kelp::Table& df, const std::string& y, const TermList& x,
                         const std::string& variance, const std::string& area_id_col,
                         const FhOptions& options);

  kelp::Table data_;
  std::optional<kelp::Sample> sample_;
  std::optional<SAEResults> fitted_;
};

}  // namespace kelp_sae
