// UnitLevel: unit-level small area estimation under the nested-error
// (Battese-Harter-Fuller) model
//
//   y_ij = x_ij' beta + u_i + e_ij,   u_i ~ N(0, sigma_u^2),  e_ij ~ N(0, sigma_e^2),
//
// for units j of areas i. eblup() fits the variance components by REML or ML,
// predicts the mean of every population area by its EBLUP and estimates the
// MSE analytically (Prasad-Rao type, g1 + g2 + 2 g3) or by a parametric
// bootstrap.
//
//   kelp_sae::UnitLevel model(kelp::read_csv("sample.csv"));
//   // Population as unit records (a census): area means and sizes are
//   // computed from its rows.
//   kelp_sae::SAEResults res = model.eblup("income", {"age", "hh_size"}, "district", census);
//   // Population as one row per area holding the covariate means and a size column.
//   auto boot = model.eblup("income", {"age", "hh_size"}, kelp::RE{"district"}, area_means,
//                           {.pop_size = "N",
//                            .mse = "Bootstrap",
//                            .run = {.n_reps = 500, .rstate = 7}});
//
// Areas are matched by normalised labels (standardize_area_col), so 7, 7.0
// and "007" are one area. Predictions come for every population area in
// ascending label order; an area without sample gets the synthetic estimate
// X_pop' beta_hat; sampled areas missing from the population get none.
//
// Fit. The response and every feature are centred and scaled (divisor n; a
// zero deviation is replaced by 1), the variance components are fitted on the
// scaled data from least-squares start values, sigma_e and sigma_u are
// scaled back, and beta_hat, its covariance and the log-likelihood are
// evaluated on the raw design at those variance components.
//
// Failures:
//   ArgumentError           (a std::invalid_argument naming the argument)
//                           "eblup: mse must be 'Analytical' or 'Bootstrap';
//                           got '<mse>'.", "eblup: method must be 'REML' or
//                           'ML'; got '<method>'.", the bootstrap without an
//                           intercept, tol negative or not finite, max_iter
//                           below 0, bootstrap n_reps or batch_size below 1, a
//                           negative integer rstate
//   kelp::ModelError        "Missing columns", "Empty dataset", "Non-numeric
//                           column", "Input data contains NaNs", "Missing area
//                           labels", "Missing Population Columns", "Duplicate
//                           population areas", "Population data contains NaNs",
//                           "Too few observations", "Categorical Resolution Error",
//                           "Unknown reference level", "Non-finite values"
//                           (infinite sample or population values), "Invalid
//                           population sizes" (a pop_size below 1),
//                           "Optimization failed" (the variance components did
//                           not converge), "Non-finite results" (a prediction or
//                           MSE beyond the range of double)
// Warnings (logger "kelp_sae.models.unit"): sampled areas missing from the
// population (none matched: every prediction synthetic), and pop_size values
// below the area's sample size; each counts the areas and names the first.
#pragma once

#include <optional>
#include <string>

#include "kelp/sample.h"
#include "kelp/table.h"
#include "kelp_sae/models/ebp_options.h"
#include "kelp_sae/models/run_options.h"
#include "kelp_sae/models/unit_data.h"
#include "kelp_sae/results/containers.h"
#include "kelp_sae/results/features.h"

namespace kelp_sae {

struct EblupOptions {
  // Column of area population sizes in pop_data; when given, pop_data holds
  // one row per area with the covariate means under the feature names.
  std::optional<std::string> pop_size = std::nullopt;
  // "REML" or "ML", in any case.
  std::string method = "REML";
  // Add a constant column to the design.
  bool intercept = true;
  // "Analytical" or "Bootstrap", in any case.
  std::string mse = "Analytical";
  // Drop rows with a null from the sample and the population tables.
  bool drop_nulls = false;
  // Bootstrap and optimiser settings (the Newton refits of a batch share one
  // step size). Unset, n_reps is 100 and max_iter 500. The bootstrap seed: no
  // state draws a fresh seed in [0, 2^30); an integer is the seed itself; a
  // RandomState gives seed_from_random_state.
  RunOptions run = {};

  static constexpr RunDefaults kRunDefaults{.n_reps = 100, .max_iter = 500};
};

class UnitLevel {
 public:
  // Unit records; nothing is read until an estimation method runs.
  explicit UnitLevel(kelp::Table data);
  explicit UnitLevel(kelp::Sample sample);

  // EBLUPs of the area means of every population area with their MSEs; see
  // the file comment. Does not change the model (fitted() stays as it was).
  SAEResults eblup(const std::string& y, const TermList& x, const AreaTerm& area,
                   const kelp::Table& pop_data, const EblupOptions& options = {}) const;

  // Empirical best predictors (Molina and Rao 2010) of area indicators under
  // the nested-error model on a transformed response (Box-Cox, log or none),
  // for every area of the census `pop_data` (unit records), with a parametric
  // bootstrap MSE. See ebp_options.h and unit_ebp.cc. A census passed by
  // std::move is released column by column as its design is built, which
  // halves the peak memory of a run at census scale.
  SAEResults ebp(const std::string& y, const TermList& x, const AreaTerm& area,
                 kelp::Table pop_data, const EbpOptions& options = {}) const;

  const kelp::Table& data() const noexcept { return data_; }
  const std::optional<kelp::Sample>& sample() const noexcept { return sample_; }
  // Reserved for a stored result; the unit-level methods leave it empty.
  const std::optional<SAEResults>& fitted() const noexcept { return fitted_; }

 private:
  kelp::Table data_;
  std::optional<kelp::Sample> sample_;
  std::optional<SAEResults> fitted_;
};

}  // namespace kelp_sae
