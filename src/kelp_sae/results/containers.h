// Result records of every model fit, their one-line text forms, the console
// report and the exports to JSON and tables. The records are declared here
// and built in containers.cc; the report and text forms live in report.cc,
// the JSON and table exports in exports.cc.
//
// FixedEffect, RandomEffect, SAEStats and SAEPred are plain value records;
// an SAEResults owns them and hands them out by const reference, so a
// finished result's rows cannot be changed in place. SAEResults' own fields
// can be replaced through its setters.
//
//   kelp_sae::SAEResults res = model.fh("y", {"x1"}, "area", {.variance = "var"});
//   std::cout << res.set_print_width(100);     // the boxed report
//   kelp::Table preds = res.to_table("predictions");
//   nlohmann::ordered_json j = res.to_dict();
#pragma once

#include <iosfwd>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "kelp/table.h"

namespace kelp_sae {

// A single row in the fixed effects table.
struct FixedEffect {
  std::string term;
  double est = 0.0;
  double se = 0.0;
  double t_score = 0.0;
  double p_value = 0.0;
  double lci = 0.0;
  double uci = 0.0;
  friend bool operator==(const FixedEffect&, const FixedEffect&) = default;
};

// A single row in the random effects table.
struct RandomEffect {
  std::variant<std::string, std::vector<std::string>> term;
  std::string dist;
  double est = 0.0;
  double se = 0.0;
  friend bool operator==(const RandomEffect&, const RandomEffect&) = default;
};

// Model-level statistics.
struct SAEStats {
  std::string method;
  long long n_obs = 0;
  long long n_areas = 0;
  double sigma_u = 0.0;
  double sigma_e = 0.0;
  double log_likelihood = 0.0;
  double aic = 0.0;
  double bic = 0.0;
  double kic = 0.0;
  double icc = 0.0;
  friend bool operator==(const SAEStats&, const SAEStats&) = default;
};

// One small-area estimate.
struct SAEPred {
  std::string area;
  double pred = 0.0;
  double mse = 0.0;
  double cv = 0.0;
  double lci = 0.0;
  double uci = 0.0;
  std::string indicator = "mean";
  // The level of the row with regional aggregates (the EBP): the area
  // column's name for an area, the aggregation column's name for a region.
  // Empty for results without levels, whose outputs then have no level
  // column.
  std::string level = {};
  friend bool operator==(const SAEPred&, const SAEPred&) = default;
  nlohmann::ordered_json to_dict() const;
};

// The national targets the estimates were benchmarked to (the EBP): the
// type ("ratio" or "raking"), where the targets came from ("explicit" or
// "survey") and each benchmarked indicator's target, in indicator order.
struct BenchmarkInfo {
  std::string type;
  std::string source;
  std::vector<std::pair<std::string, double>> targets;  // (indicator, target)
  friend bool operator==(const BenchmarkInfo&, const BenchmarkInfo&) = default;
};

// How the response was transformed before the fit, so that a run can be
// reproduced from its result (the EBP). NaN marks a value not used: lambda
// without Box-Cox.
struct TransformationInfo {
  std::string transformation;  // "boxcox", "log" or "none"
  double lambda = 0.0;
  double shift = 0.0;
  double poverty_line = 0.0;
  std::optional<BenchmarkInfo> benchmark = std::nullopt;  // when benchmarked
  friend bool operator==(const TransformationInfo&, const TransformationInfo&) = default;
};

// The shape of one set of standardised values (residuals or predicted area
// effects): moment skewness and kurtosis (3 for the normal) of all n values,
// and the Shapiro-Wilk test on at most 5000 of them (subsampled
// deterministically beyond that). NaN marks a value that could not be
// computed (too few or constant values).
struct DistributionDiagnostics {
  long long n = 0;
  double skewness = std::numeric_limits<double>::quiet_NaN();
  double kurtosis = std::numeric_limits<double>::quiet_NaN();
  double shapiro_w = std::numeric_limits<double>::quiet_NaN();
  double shapiro_p = std::numeric_limits<double>::quiet_NaN();
  long long shapiro_n = 0;
  bool subsampled = false;
  // NaN equals NaN here: a statistic that could not be computed is the same
  // outcome in both.
  friend bool operator==(const DistributionDiagnostics&, const DistributionDiagnostics&);
};

// How well the model fits. Unit level: residuals are e_ij / sigma_e, area
// effects u_i / sd(u) (the transformed scale for the EBP); the marginal and
// conditional R-squared of Nakagawa and Schielzeth. Area level: residuals
// are (y_i - x_i' beta) / sqrt(sigma_u^2 + D_i), area effects u_i / sd(u);
// r_squared is the share of the linking model's variance the covariates
// explain. NaN marks a statistic the model does not have. The values behind
// the plots (standardised residuals with their fitted values x' beta,
// standardised area effects, and the Box-Cox profile log-likelihood when
// lambda was estimated) stay in the record for the HTML report; the JSON
// holds the statistics and the profile curve.
struct Diagnostics {
  DistributionDiagnostics residuals;
  DistributionDiagnostics area_effects;
  double r_squared = std::numeric_limits<double>::quiet_NaN();
  double r_squared_marginal = std::numeric_limits<double>::quiet_NaN();
  double r_squared_conditional = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> boxcox_lambda;
  std::vector<double> boxcox_loglik;
  std::vector<double> standardized_residuals;
  std::vector<double> fitted_values;
  std::vector<double> standardized_area_effects;
  friend bool operator==(const Diagnostics&, const Diagnostics&);  // NaN equals NaN
};

// A direct estimate of a sampled area, beside which the report sets the
// model estimate: for Fay-Herriot the input direct estimate and its sampling
// variance; for the unit-level models the unweighted mean of the sample
// response (variance s^2 / n). NaN variance when unknown; n = 0 when the
// sample size is unknown (an area table).
struct DirectEstimate {
  std::string area;
  std::string indicator = "mean";
  double est = 0.0;
  double var = std::numeric_limits<double>::quiet_NaN();
  long long n = 0;
  friend bool operator==(const DirectEstimate&, const DirectEstimate&);  // NaN equals NaN
};

// Container for Small Area Estimation results.
class SAEResults {
 public:
  SAEResults(std::string level, std::string y, std::string model_type, SAEStats stats,
             std::vector<FixedEffect> fixed_effects, RandomEffect random_effects,
             std::vector<SAEPred> prediction);

  const std::string& level() const noexcept { return level_; }
  const std::string& y() const noexcept { return y_; }
  const std::string& model_type() const noexcept { return model_type_; }
  const SAEStats& stats() const noexcept { return stats_; }
  const std::vector<FixedEffect>& fixed_effects() const noexcept { return fixed_effects_; }
  const RandomEffect& random_effects() const noexcept { return random_effects_; }
  const std::vector<SAEPred>& prediction() const noexcept { return prediction_; }
  std::optional<int> print_width() const noexcept { return print_width_; }
  const std::optional<TransformationInfo>& transformation() const noexcept {
    return transformation_;
  }
  const std::optional<Diagnostics>& diagnostics() const noexcept { return diagnostics_; }
  const std::vector<DirectEstimate>& direct_estimates() const noexcept { return direct_estimates_; }
  // The design-based direct estimates of the sampled areas, one record per
  // area and indicator like the predictions (set by the EBP with survey
  // weights; the "direct" block of to_dict()).
  const std::optional<std::vector<SAEPred>>& direct() const noexcept { return direct_; }

  void set_level(std::string v) { level_ = std::move(v); }
  void set_y(std::string v) { y_ = std::move(v); }
  void set_model_type(std::string v) { model_type_ = std::move(v); }
  void set_stats(SAEStats v) { stats_ = std::move(v); }
  void set_fixed_effects(std::vector<FixedEffect> v) { fixed_effects_ = std::move(v); }
  void set_random_effects(RandomEffect v) { random_effects_ = std::move(v); }
  void set_prediction(std::vector<SAEPred> v) { prediction_ = std::move(v); }
  void set_transformation(std::optional<TransformationInfo> v) { transformation_ = std::move(v); }
  void set_diagnostics(std::optional<Diagnostics> v) { diagnostics_ = std::move(v); }
  void set_direct_estimates(std::vector<DirectEstimate> v) { direct_estimates_ = std::move(v); }
  void set_direct(std::optional<std::vector<SAEPred>> v) { direct_ = std::move(v); }

  // Report width of this result: std::nullopt clears it; 20 or less throws
  // std::invalid_argument "print width must be > 20 characters.". Returns
  // *this for chaining.
  SAEResults& set_print_width(std::optional<int> width);
  // Width given as text, read like Python's int() ("80", " 80 "); anything
  // that is not an integer throws std::invalid_argument
  // "print width must be int or None; got '<text>'".
  SAEResults& set_print_width(std::string_view width);
  // Type-wide default width, used by every result without a width of its own
  // (messages begin "class print width ..."). It is one process-wide value,
  // read and written atomically, so setting it while another thread renders
  // a report is safe; the report uses whichever value it reads first. The
  // program sets it once from --width before any fit.
  static void set_default_print_width(std::optional<int> width);
  static void set_default_print_width(std::string_view width);
  static std::optional<int> default_print_width() noexcept;

  // Every field but the print width; nested records as objects in field
  // order; "transformation", "diagnostics" and "direct" only when set (the
  // diagnostics without the per-unit plot values). NaN numbers (an MSE not
  // estimated) are null.
  nlohmann::ordered_json to_dict() const;
  // NaN numbers are null. component: "fixed", "predictions" or "random"; any
  // other text throws
  // std::invalid_argument "Invalid component '<c>'. Expected one of
  // ['fixed', 'predictions', 'random'].".
  kelp::Table to_table(std::string_view component = "fixed") const;

  // The console report at the resolved width; ANSI styles only when `color`.
  std::string render(bool color = false) const;

  friend bool operator==(const SAEResults&, const SAEResults&) = default;

 private:
  std::string level_;
  std::string y_;
  std::string model_type_;
  SAEStats stats_;
  std::vector<FixedEffect> fixed_effects_;
  RandomEffect random_effects_;
  std::vector<SAEPred> prediction_;
  std::optional<int> print_width_;
  std::optional<TransformationInfo> transformation_;
  std::optional<Diagnostics> diagnostics_;
  std::vector<DirectEstimate> direct_estimates_;
  std::optional<std::vector<SAEPred>> direct_;
};

// One-line text forms.
std::string to_string(const FixedEffect& r);
std::string to_string(const RandomEffect& r);
std::string to_string(const SAEStats& r);
std::string to_string(const SAEPred& r);
// The report at the resolved width, plain text.
std::string to_string(const SAEResults& r);

std::ostream& operator<<(std::ostream& os, const FixedEffect& r);
std::ostream& operator<<(std::ostream& os, const RandomEffect& r);
std::ostream& operator<<(std::ostream& os, const SAEStats& r);
std::ostream& operator<<(std::ostream& os, const SAEPred& r);
// Writes the report; styled when `os` is std::cout on a terminal and
// NO_COLOR is unset.
std::ostream& operator<<(std::ostream& os, const SAEResults& r);

}  // namespace kelp_sae
