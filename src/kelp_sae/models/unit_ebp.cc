// UnitLevel::ebp: empirical best predictors of area indicators.
//
// Steps: resolve the indicators (before any table is read); prepare the
// sample; transform the shifted response (Box-Cox with lambda fixed or
// estimated by the REML profile likelihood on the standardised design, log,
// or none); fit the variance components by REML on the standardised data
// and evaluate beta and its covariance on the model scale; read the census
// ragged, one block of rows per area, with categorical terms coded on the
// census against the sample's levels; predict the area effects; simulate the
// EBPs (ebp_monte_carlo.h) and, unless options.mse is false, their bootstrap
// MSEs (bootstrap_ebp.h), refitted on the whole sample, sampled areas absent
// from the census included. With a benchmark the EBPs of the benchmarked
// indicators are brought to their national targets (benchmarking.h; the
// area sizes are the census's people) and the regions recomputed from them,
// and the bootstrap benchmarks every replicate to its own national truth.
// One row per census area and indicator.
//
// Failures beyond those of prepare_unit_sample and prepare_unit_census:
//   ArgumentError  transformation not one of the accepted texts; n_mc,
//                  n_reps, batch_size below 1; boxcox_bounds not finite with
//                  lower < upper; boxcox_param or transform_shift not finite;
//                  no indicator resolved; a caller-supplied indicator with
//                  pop_weights; a poverty line that is not positive and
//                  finite when a poverty measure is requested; weights with
//                  Box-Cox and lambda estimated; benchmark_type not "ratio" or
//                  "raking"; a benchmark (argument "benchmark") with no
//                  targets, a target for an indicator not requested or not a
//                  mean or FGT measure, twice for one indicator, not finite
//                  (a headcount outside [0, 1], a gap or severity below 0),
//                  or the survey's without weights or without a mean or FGT
//                  measure requested
//   ModelError     "Missing Sample Columns", "Empty Dataset", "Non-positive
//                  response" (log or Box-Cox with a response <= 0 after the
//                  shift), "Optimization failed", "Non-finite results" (a
//                  prediction or MSE that is not finite, named by indicator);
//                  with weights also "Invalid weights" (a weight not positive
//                  and finite, naming the column and rows) and "Optimization
//                  failed" (the weighted equation of beta singular);
//                  "Benchmarking failed" (a ratio benchmark of an indicator
//                  whose national average of estimates is 0)
// An exception from a caller's indicator ends the call with that exception.
//
// Warnings: sampled areas absent from the census (used in the bootstrap's
// refit, not predicted); a poverty line outside the sample response's range;
// Box-Cox synthetic values beyond the transformation's range; bootstrap
// replicates with non-finite values; a Gini coefficient or quintile share
// ratio undefined on a simulated population (not estimated: NaN).
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "kelp/errors.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/core/logging.h"
#include "kelp_sae/core/progress.h"
#include "kelp_sae/kernels/diagnostics/diagnostics.h"
#include "kelp_sae/kernels/mse/bootstrap_direct.h"
#include "kelp_sae/kernels/mse/bootstrap_ebp.h"
#include "kelp_sae/kernels/optimization/lmm.h"
#include "kelp_sae/kernels/prediction/eblup.h"
#include "kelp_sae/kernels/prediction/pseudo_eblup.h"
#include "kelp_sae/kernels/simulations/benchmarking.h"
#include "kelp_sae/kernels/simulations/ebp_monte_carlo.h"
#include "kelp_sae/kernels/transformations/boxcox.h"
#include "kelp_sae/kernels/transformations/estimation.h"
#include "kelp_sae/models/common.h"
#include "kelp_sae/models/direct.h"
#include "kelp_sae/models/internal/diagnostics.h"
#include "kelp_sae/models/internal/spine.h"
#include "kelp_sae/models/unit.h"
#include "kelp_sae/models/unit_census.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae {
namespace {

namespace internal = models::internal;
using kernels::BackTransformation;

constexpr const char* kLogger = "kelp_sae.models.unit";
constexpr const char* kFunction = "ebp";
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string fmt_number(double v) { return fmt::format("{}", v); }

struct ResolvedIndicators {
  std::vector<kernels::IndicatorEntry> entries;
  std::vector<std::string> names;
  bool poverty = false;  // a headcount, gap or severity is requested
};

// Entries in order: a function under its name (or custom_<names so far>), a
// built-in under its display text; texts that are no indicator's display
// text are skipped with a warning.
ResolvedIndicators resolve_indicators(const IndicatorList& list) {
  const auto logger = get_logger(kLogger);
  ResolvedIndicators out;
  const auto add_builtin = [&](Indicator indicator) {
    out.entries.emplace_back(indicator);
    out.names.emplace_back(to_string(indicator));
    out.poverty = out.poverty || indicator == Indicator::POVERTY_HEADCOUNT ||
                  indicator == Indicator::POVERTY_GAP || indicator == Indicator::POVERTY_SEVERITY;
  };
  for (const IndicatorRequest& request : list.entries()) {
    if (const auto* f = std::get_if<NamedIndicator>(&request)) {
      if (!f->function) {
        throw ArgumentError(kFunction, "indicators",
                            "ebp: indicators holds an empty function" +
                                (f->name.empty() ? std::string() : " '" + f->name + "'") + ".");
      }
      out.entries.emplace_back(f->function);
      out.names.push_back(f->name.empty() ? "custom_" + std::to_string(out.names.size()) : f->name);
      continue;
    }
    const std::string text = std::holds_alternative<Indicator>(request)
                                 ? std::string(to_string(std::get<Indicator>(request)))
                                 : std::get<std::string>(request);
    bool found = false;
    for (const auto& member : EnumTraits<Indicator>::members) {
      if (member.text == text) {
        add_builtin(member.value);
        found = true;
        break;
      }
    }
    if (!found) logger.warning("Indicator '{}' not found in registry. Skipping.", text);
  }
  if (out.entries.empty()) {
    throw ArgumentError(kFunction, "indicators",
                        "No valid indicators resolved. Please check 'indicators' argument.");
  }
  return out;
}

// The sample with the titles of this front end.
UnitSample prepare_sample(const kelp::Table& data, const std::string& y, const std::string& area,
                          const UnitFeatures& features, bool drop_nulls,
                          const std::optional<std::string>& weights) {
  try {
    return prepare_unit_sample(data, y, area, features,
                               {.drop_nulls = drop_nulls, .weights = weights});
  } catch (const kelp::ModelError& e) {
    if (e.title() == "Missing columns") {
      throw kelp::ModelError({.title = "Missing Sample Columns", .detail = e.detail()});
    }
    if (e.title() == "Empty dataset") {
      throw kelp::ModelError(
          {.title = "Empty Dataset", .detail = "Sample data is empty after dropping nulls."});
    }
    throw;
  }
}

// The sample with its survey weights multiplied by the population weights
// of its records, when both are given and the sample holds the population
// weight column (checked like the census's); otherwise the sample as it is,
// with a warning when the sample lacks the column.
UnitSample person_weighted(const UnitSample& sample, const kelp::Table& data,
                           const EbpOptions& options) {
  if (!options.weights || !options.pop_weights) return sample;
  const std::string& name = *options.pop_weights;
  if (!data.has_column(name)) {
    get_logger(kLogger).warning(
        "The sample has no population weight column '{}': the median line, the survey's "
        "benchmark targets and the direct estimates weigh each sample record by its survey "
        "weight alone, while the EBP weighs the census records by '{}'.",
        kelp::printable(name), kelp::printable(name));
    return sample;
  }
  const kelp::Column& column = data.column(name);
  if (!column.is_numeric()) {
    models::numeric_column(kelp::Table({{name, column}}), name, "population weight");
  }
  UnitSample out = sample;
  std::vector<std::size_t> bad;
  for (std::size_t i = 0; i < out.rows.size(); ++i) {
    const std::size_t row = out.rows[i];
    const double v = column.is_null(row) ? kNaN : column.as_double(row);
    if (!(std::isfinite(v) && v > 0.0)) bad.push_back(row + 1);
    out.w(static_cast<Eigen::Index>(i)) *= v;
  }
  if (!bad.empty()) {
    std::sort(bad.begin(), bad.end());
    std::string listed;
    for (std::size_t i = 0; i < std::min<std::size_t>(bad.size(), 5); ++i) {
      listed += (i == 0 ? "" : ", ") + std::to_string(bad[i]);
    }
    throw kelp::ModelError(
        {.title = "Invalid population weights",
         .detail = "Population weight column '" + kelp::printable(name) + "' has " +
                   std::to_string(bad.size()) +
                   " missing, non-positive or non-finite values in the sample (rows " + listed +
                   "); a sampled record stands for a positive number of people.",
         .argument = "pop_weights"});
  }
  return out;
}

// The median of the sample response: of type 7 without weights, the
// weighted median with them.
double sample_median(const UnitSample& sample) {
  const std::span<const double> y(sample.y.data(), static_cast<std::size_t>(sample.n()));
  if (sample.w.size() > 0) {
    return kernels::weighted_median(
        y, std::span<const double>(sample.w.data(), static_cast<std::size_t>(sample.w.size())));
  }
  const kernels::IndicatorSet set({Indicator::MEDIAN}, 1.0);
  std::vector<double> values(y.begin(), y.end());
  double out = kNaN;
  set.evaluate(values, std::span<double>(&out, 1));
  return out;
}

// A poverty line below every sample response or above every one makes every
// poverty measure 0 or 1 (for instance the default line 0.6 on incomes in
// the thousands): the caller most likely meant another line.
void warn_if_line_outside(double z, const Eigen::VectorXd& response, const std::string& y) {
  if (response.size() == 0) return;
  const double lo = response.minCoeff();
  const double hi = response.maxCoeff();
  if (z >= lo && z <= hi) return;
  get_logger(kLogger).warning(
      "The poverty line {} lies {} every sample response of '{}' (from {} to {}): {}. Set a line "
      "on the scale of the response with threshold (the program's --threshold), or a share of "
      "the median with --threshold-share.",
      z, z < lo ? "below" : "above", y, lo, hi,
      z < lo ? "the poverty measures will be near 0" : "nearly every unit will count as poor");
}

// [1, X_raw] with every column centred and divided by (its standard
// deviation + 1e-6): the design of the lambda search (the constant becomes 0).
Eigen::MatrixXd lambda_search_design(const Eigen::MatrixXd& X) {
  Eigen::MatrixXd out(X.rows(), X.cols());
  for (Eigen::Index j = 0; j < X.cols(); ++j) {
    const Eigen::ArrayXd centred = X.col(j).array() - X.col(j).mean();
    out.col(j) = centred / (std::sqrt(centred.square().mean()) + 1e-6);
  }
  return out;
}

// [1, standardised features] (divisor n; a zero deviation replaced by 1).
Eigen::MatrixXd fit_design(const Eigen::MatrixXd& X) {
  Eigen::MatrixXd out(X.rows(), X.cols());
  out.col(0).setOnes();
  for (Eigen::Index j = 1; j < X.cols(); ++j) {
    const internal::ColumnScale s = internal::column_scale(X.col(j), /*centre=*/true);
    out.col(j) = internal::apply_scale(s, X.col(j));
  }
  return out;
}

// Whether indicator k may be undefined on a population: the Gini coefficient
// (a non-positive total) and the quintile share ratio (a non-positive
// bottom-quintile total) come back NaN from the kernels then.
const char* undefined_when(const kernels::IndicatorEntry& entry) {
  const auto* i = std::get_if<Indicator>(&entry);
  if (i == nullptr) return nullptr;
  if (*i == Indicator::GINI) return "a non-positive total";
  if (*i == Indicator::QSR) return "a non-positive bottom-quintile total";
  return nullptr;
}

// The final guard of the EBP. A Gini coefficient or quintile share ratio
// undefined on some simulated population is not estimated (NaN, and so its
// MSE), with one warning per indicator; any other prediction or MSE that is
// not finite is a "Non-finite results" error naming the indicator, its first
// areas and the likely cause. `mse` is read when `with_mse`.
void require_finite_ebp(const std::vector<std::string>& areas, const ResolvedIndicators& indicators,
                        const Eigen::MatrixXd& pred, Eigen::MatrixXd& mse, bool with_mse,
                        int n_failed, int n_reps) {
  std::vector<std::string> warnings;
  for (Eigen::Index k = 0; k < pred.rows(); ++k) {
    const std::string& name = indicators.names[static_cast<std::size_t>(k)];
    const char* reason = undefined_when(indicators.entries[static_cast<std::size_t>(k)]);
    std::vector<std::string> bad;
    std::size_t undefined = 0, undefined_mse = 0;
    for (Eigen::Index a = 0; a < pred.cols(); ++a) {
      if (reason != nullptr && std::isnan(pred(k, a))) {
        mse(k, a) = kNaN;
        ++undefined;
      } else if (!std::isfinite(pred(k, a))) {
        bad.push_back(areas[static_cast<std::size_t>(a)]);
      } else if (with_mse && !std::isfinite(mse(k, a))) {
        if (reason != nullptr && std::isnan(mse(k, a)) && n_failed == 0) {
          ++undefined_mse;  // undefined on some bootstrap population
        } else {
          bad.push_back(areas[static_cast<std::size_t>(a)]);
        }
      }
    }
    if (!bad.empty()) {
      const std::string failed =
          n_failed > 0 ? fmt::format(" {} of {} bootstrap replicates gave non-finite values.",
                                     n_failed, n_reps)
                       : std::string();
      throw kelp::ModelError(
          {.title = "Non-finite results",
           .detail = fmt::format(
               "{}: {} of {} areas have a non-finite prediction or MSE ({}).{} Likely cause: "
               "synthetic values beyond the range of double on the data scale (a large lambda, "
               "covariates of extreme size), a response the transformation does not suit, or "
               "an indicator function returning non-finite values; rescale the covariates or "
               "choose another transformation.",
               name, bad.size(), areas.size(), internal::first_labels(bad), failed)});
    }
    if (undefined > 0 || undefined_mse > 0) {
      std::string text = fmt::format(
          "{}: not estimated for {} of {} areas ({} in a simulated "
          "population); left empty.",
          name, undefined, areas.size(), reason);
      if (undefined_mse > 0) {
        text += fmt::format(" The MSE alone is not estimated for {} more areas.", undefined_mse);
      }
      warnings.push_back(std::move(text));
    }
  }
  for (const std::string& w : warnings) get_logger(kLogger).warning("{}", w);
}

// Diagnostics on the transformed scale; with an estimated Box-Cox lambda,
// the profile likelihood over the search interval.
Diagnostics ebp_diagnostics(const UnitSample& sample, const Eigen::VectorXd& y_trans,
                            const Eigen::VectorXd& y_shifted, const Eigen::VectorXd& beta,
                            double sigma_u, double sigma_e, bool lambda_estimated,
                            const EbpOptions& options) {
  Diagnostics d = internal::nested_error_diagnostics(sample.X, y_trans, sample.area_indices,
                                                     sample.m(), beta, sigma_u, sigma_e);
  if (lambda_estimated) {
    const auto [lower, upper] = options.boxcox_bounds;
    const kernels::ProfileCurve curve = kernels::boxcox_profile_curve(
        lambda_search_design(sample.X), y_shifted, sample.area_indices, sample.m(),
        {.lower = lower,
         .upper = upper,
         .tol = options.run.tol,
         .max_iter = options.run.max_iter.value_or(EbpOptions::kRunDefaults.max_iter)});
    d.boxcox_lambda.assign(curve.lambda.data(), curve.lambda.data() + curve.lambda.size());
    d.boxcox_loglik.assign(curve.loglik.data(), curve.loglik.data() + curve.loglik.size());
  }
  return d;
}

// The indicators of each sampled area's sample values, the direct estimates
// the report compares the EBP with: unweighted, or weighted by the survey
// weights when the sample has them (each unit standing for w people). The
// variance is given only for the mean: s^2 / n unweighted; with weights the
// linearised variance of the ratio mean, n / (n - 1) sum w^2 (y - ybar_w)^2 /
// (sum w)^2.
std::vector<DirectEstimate> sample_indicators(const UnitSample& sample,
                                              const kernels::IndicatorSet& set,
                                              const std::vector<std::string>& names) {
  const bool weighted = sample.w.size() > 0;
  const std::vector<DirectEstimate> means =
      internal::sample_means(sample.y, sample.area_offsets, sample.unique_areas, "");
  std::vector<DirectEstimate> out;
  std::vector<double> values;
  std::vector<double> estimates(set.size());
  for (std::size_t i = 0; i < sample.unique_areas.size(); ++i) {
    const Eigen::Index begin = sample.area_offsets[i];
    const Eigen::Index count = sample.area_offsets[i + 1] - begin;
    if (count == 0) continue;
    values.assign(sample.y.data() + begin, sample.y.data() + begin + count);
    double mean_var = means[i].var;
    if (weighted) {
      const std::span<const double> w(sample.w.data() + begin, static_cast<std::size_t>(count));
      set.evaluate_weighted(values, w, estimates);
      double sum_w = 0.0, sum_wy = 0.0;
      for (std::size_t j = 0; j < w.size(); ++j) {
        sum_w += w[j];
        sum_wy += w[j] * values[j];
      }
      const double ybar = sum_wy / sum_w;
      double sum_sq = 0.0;
      for (std::size_t j = 0; j < w.size(); ++j) {
        const double d = w[j] * (values[j] - ybar);
        sum_sq += d * d;
      }
      mean_var = count > 1 ? static_cast<double>(count) / static_cast<double>(count - 1) * sum_sq /
                                 (sum_w * sum_w)
                           : kNaN;
    } else {
      set.evaluate(values, estimates);
    }
    for (std::size_t k = 0; k < set.size(); ++k) {
      const auto* builtin = std::get_if<Indicator>(&set.entries()[k]);
      const bool is_mean = builtin != nullptr && *builtin == Indicator::MEAN;
      out.push_back({.area = sample.unique_areas[i],
                     .indicator = names[k],
                     .est = estimates[k],
                     .var = is_mean ? mean_var : kNaN,
                     .n = count});
    }
  }
  return out;
}

// The higher level of every census area from the census column
// `aggregate_to`: region labels (normalised as area labels) in ascending
// order and, per region, the census positions of its areas. A region label
// missing on a kept row, or an area whose rows carry two regions, is an
// error: such an area's aggregate would be undefined.
struct Regions {
  std::vector<std::string> labels;
  std::vector<std::vector<Eigen::Index>> areas;
};

Regions census_regions(const kelp::Table& pop_data, const std::string& area_col,
                       const std::string& aggregate_to, const std::vector<std::string>& pop_areas) {
  const kelp::Column* region_column = nullptr;
  try {
    region_column = &pop_data.column(aggregate_to);
  } catch (const kelp::ColumnNotFoundError& e) {
    throw kelp::ModelError(
        {.title = "Missing Population Columns",
         .detail = std::string("Population data is missing the aggregation column: ") + e.what(),
         .argument = "aggregate_to"});
  }
  const AreaCoding areas = code_areas(pop_data.column(area_col));
  const AreaCoding regions = code_areas(*region_column);
  std::vector<std::int32_t> region_of(areas.labels.size(), -1);
  for (std::size_t i = 0; i < regions.codes.size(); ++i) {
    const std::int32_t a = areas.codes[i];
    if (a < 0) continue;  // a row without area is dropped or refused with the census
    const auto label = static_cast<std::size_t>(a);
    const std::int32_t r = regions.codes[i];
    if (r < 0) {
      throw kelp::ModelError({.title = "Missing region labels",
                              .detail = "Population column '" + aggregate_to +
                                        "' has no value in row " + std::to_string(i + 1) +
                                        " (area '" + areas.labels[label] +
                                        "'); every census record needs its region.",
                              .argument = "aggregate_to"});
    }
    if (region_of[label] >= 0 && region_of[label] != r) {
      throw kelp::ModelError({.title = "Area in two regions",
                              .detail = "Census area '" + areas.labels[label] +
                                        "' lies in two regions of '" + aggregate_to + "': '" +
                                        regions.labels[static_cast<std::size_t>(region_of[label])] +
                                        "' and '" + regions.labels[static_cast<std::size_t>(r)] +
                                        "'. Each area must belong to one region.",
                              .argument = "aggregate_to"});
    }
    region_of[label] = r;
  }
  std::vector<std::vector<Eigen::Index>> members(regions.labels.size());
  for (std::size_t a = 0; a < pop_areas.size(); ++a) {
    const auto it = std::lower_bound(areas.labels.begin(), areas.labels.end(), pop_areas[a]);
    const std::int32_t r = region_of[static_cast<std::size_t>(it - areas.labels.begin())];
    members[static_cast<std::size_t>(r)].push_back(static_cast<Eigen::Index>(a));
  }
  Regions out;
  for (std::size_t r = 0; r < members.size(); ++r) {
    if (members[r].empty()) continue;  // all its records dropped
    out.labels.push_back(regions.labels[r]);
    out.areas.push_back(std::move(members[r]));
  }
  return out;
}

// The benchmark of the EBPs: its type and every benchmarked row (indicator)
// with its national target; survey targets are filled in once the sample is
// read.
struct ResolvedBenchmark {
  kernels::BenchmarkType type = kernels::BenchmarkType::kRatio;
  std::string type_name;
  std::vector<kernels::BenchmarkRow> rows;
};

// The indicator of row k, when it is a built-in.
std::optional<Indicator> builtin_of(const ResolvedIndicators& indicators, std::size_t k) {
  const auto* i = std::get_if<Indicator>(&indicators.entries[k]);
  return i == nullptr ? std::nullopt : std::optional<Indicator>(*i);
}

// Checks the benchmark against the requested indicators: explicit targets
// finite, each for a requested mean or FGT measure, once; the survey's need
// the survey weights and a mean or FGT measure to benchmark.
ResolvedBenchmark resolve_benchmark(const EbpOptions& options,
                                    const ResolvedIndicators& indicators) {
  ResolvedBenchmark out;
  const std::size_t type =
      check_choice(kFunction, "benchmark_type", options.benchmark_type, {"ratio", "raking"});
  out.type = type == 0 ? kernels::BenchmarkType::kRatio : kernels::BenchmarkType::kRaking;
  out.type_name = type == 0 ? "ratio" : "raking";
  const Benchmark& benchmark = options.benchmark;
  if (!benchmark.requested()) return out;
  const auto fail = [](const std::string& message) {
    throw ArgumentError(kFunction, "benchmark", "ebp: benchmark " + message);
  };
  const std::size_t K = indicators.entries.size();
  if (benchmark.from_survey()) {
    if (!options.weights) {
      fail(
          "'survey' needs survey weights (weights): its national targets are the weighted "
          "direct estimates of the whole sample.");
    }
    for (std::size_t k = 0; k < K; ++k) {
      const std::optional<Indicator> i = builtin_of(indicators, k);
      if (i && kernels::adds_up_over_people(*i)) {
        out.rows.push_back({.row = static_cast<Eigen::Index>(k), .target = kNaN});
      }
    }
    if (out.rows.empty()) {
      fail(
          "'survey' needs the mean or a poverty measure (headcount, gap, severity) among the "
          "indicators: the others cannot be benchmarked.");
    }
    return out;
  }
  const std::span<const BenchmarkTarget> targets = benchmark.targets();
  if (targets.empty()) fail("holds no targets; give at least one, or the survey's.");
  for (std::size_t t = 0; t < targets.size(); ++t) {
    const Indicator i = targets[t].indicator;
    const double v = targets[t].value;
    const std::string name(to_string(i));
    if (!kernels::adds_up_over_people(i)) {
      fail("has a target for '" + name +
           "': only the mean, headcount, gap and severity add up over people and can be "
           "benchmarked.");
    }
    for (std::size_t u = 0; u < t; ++u) {
      if (targets[u].indicator == i) fail("has two targets for '" + name + "'.");
    }
    if (!std::isfinite(v) || (i != Indicator::MEAN && v < 0.0) ||
        (i == Indicator::POVERTY_HEADCOUNT && v > 1.0)) {
      fail("target for '" + name + "' must be " +
           (i == Indicator::MEAN                ? std::string("a finite number")
            : i == Indicator::POVERTY_HEADCOUNT ? std::string("a share between 0 and 1")
                                                : std::string("a finite number of at least 0")) +
           "; got " + fmt_number(v) + ".");
    }
    bool requested = false;
    for (std::size_t k = 0; k < K; ++k) requested = requested || builtin_of(indicators, k) == i;
    if (!requested) {
      fail("has a target for '" + name + "', which is not among the requested indicators.");
    }
  }
  for (std::size_t k = 0; k < K; ++k) {
    for (const BenchmarkTarget& t : targets) {
      if (builtin_of(indicators, k) == t.indicator) {
        out.rows.push_back({.row = static_cast<Eigen::Index>(k), .target = t.value});
      }
    }
  }
  return out;
}

// The survey's national targets: each benchmarked indicator of the whole
// sample weighted by the survey weights, at the run's poverty line.
void fill_survey_targets(ResolvedBenchmark& benchmark, const ResolvedIndicators& indicators,
                         const UnitSample& sample, double z) {
  const std::span<const double> y(sample.y.data(), static_cast<std::size_t>(sample.n()));
  const std::span<const double> w(sample.w.data(), static_cast<std::size_t>(sample.w.size()));
  for (kernels::BenchmarkRow& row : benchmark.rows) {
    const kernels::IndicatorSet one({*builtin_of(indicators, static_cast<std::size_t>(row.row))},
                                    z);
    one.evaluate_weighted(y, w, std::span<double>(&row.target, 1));
  }
}

// The point estimates benchmarked to their targets, the regions recomputed.
// A ratio to a national average of 0 is an error; a national average that is
// not finite is left for the final guard, which names its areas.
void benchmark_point_estimates(Eigen::MatrixXd& pred, const ResolvedBenchmark& benchmark,
                               const ResolvedIndicators& indicators, const Eigen::VectorXd& sizes,
                               kernels::AreaGroups groups) {
  for (const kernels::BenchmarkRow& row : benchmark.rows) {
    const kernels::RowBenchmark b =
        kernels::benchmark_row(pred, row, benchmark.type, sizes, groups);
    if (b.done || !std::isfinite(b.average)) continue;
    throw kelp::ModelError(
        {.title = "Benchmarking failed",
         .detail = fmt::format(
             "{}: the population-weighted national average of the estimates is {}, so the ratio "
             "benchmark (target / average) is undefined. Use benchmark_type 'raking', or "
             "check the poverty line.",
             indicators.names[static_cast<std::size_t>(row.row)], fmt_number(b.average)),
         .argument = "benchmark_type"});
  }
}

// The benchmark as the result records it: one target per indicator.
std::optional<BenchmarkInfo> benchmark_info(const ResolvedBenchmark& benchmark,
                                            const ResolvedIndicators& indicators, bool survey) {
  if (benchmark.rows.empty()) return std::nullopt;
  BenchmarkInfo info{
      .type = benchmark.type_name, .source = survey ? "survey" : "explicit", .targets = {}};
  for (const kernels::BenchmarkRow& row : benchmark.rows) {
    const std::string& name = indicators.names[static_cast<std::size_t>(row.row)];
    const bool seen = std::any_of(info.targets.begin(), info.targets.end(),
                                  [&](const auto& t) { return t.first == name; });
    if (!seen) info.targets.emplace_back(name, row.target);
  }
  return info;
}

// The design-based direct estimates of the sampled areas beside a weighted
// EBP: the direct estimator (direct.h) on the fitted sample and its survey
// weights, for the built-in indicators of the run at the EBP's poverty line,
// every unit its own PSU. Mean and FGT variances are linearised, the others
// bootstrapped with the run's replicates and seed (none with fewer than two
// replicates).
std::vector<SAEPred> weighted_direct_estimates(const UnitSample& sample,
                                               const ResolvedIndicators& indicators, double z,
                                               const internal::RunSettings& run) {
  std::vector<IndicatorRequest> builtins;
  for (const kernels::IndicatorEntry& entry : indicators.entries) {
    if (const auto* i = std::get_if<Indicator>(&entry)) builtins.emplace_back(*i);
  }
  if (builtins.empty()) return {};
  std::vector<std::string> labels;
  labels.reserve(static_cast<std::size_t>(sample.n()));
  for (std::size_t a = 0; a < sample.unique_areas.size(); ++a) {
    labels.insert(labels.end(),
                  static_cast<std::size_t>(sample.area_offsets[a + 1] - sample.area_offsets[a]),
                  sample.unique_areas[a]);
  }
  const kelp::Table table(
      {{"y", kelp::Column(std::vector<double>(sample.y.begin(), sample.y.end()))},
       {"area", kelp::Column(std::move(labels))},
       {"w", kelp::Column(std::vector<double>(sample.w.begin(), sample.w.end()))}});
  const SAEResults direct =
      estimate_direct(kelp::Sample(table, {.weight = "w"}), "y", "area",
                      {.indicators = IndicatorList(std::move(builtins)),
                       .threshold = z,
                       .var = run.n_reps >= 2 ? "linearization" : "none",
                       .n_reps = std::max(run.n_reps, 2),
                       .rstate = static_cast<std::int64_t>(run.seed & ~(std::uint64_t{1} << 63))});
  return direct.prediction();
}

}  // namespace

SAEResults UnitLevel::ebp(const std::string& y, const TermList& x, const AreaTerm& area,
                          kelp::Table pop_data, const EbpOptions& options) const {
  const std::string& area_col = area.name();
  const auto logger = get_logger(kLogger);

  // Options, then the indicators, before any table is read.
  static constexpr const char* kCanonical[] = {"boxcox", "log", "none"};
  const std::size_t choice = check_choice(kFunction, "transformation", options.transformation,
                                          {"boxcox", "log", "none", "Box-Cox", "Log", "None"}) %
                             3;
  const std::string transformation = kCanonical[choice];
  check_at_least(kFunction, "n_mc", options.n_mc, 1);
  // The seed keys the Monte Carlo too, so the run is checked as a bootstrap
  // whether or not the MSE is asked for.
  const internal::RunSettings run =
      internal::resolve_run(kFunction, options.run, EbpOptions::kRunDefaults, /*bootstrap=*/true,
                            internal::ZeroSeed::kIsSeed);
  const auto [lower, upper] = options.boxcox_bounds;
  if (!(std::isfinite(lower) && std::isfinite(upper) && lower < upper)) {
    throw_argument_error(kFunction, "boxcox_bounds",
                         "must be a finite interval (lower, upper) with lower < upper",
                         "(" + fmt_number(lower) + ", " + fmt_number(upper) + ")");
  }
  if (options.boxcox_param && !std::isfinite(*options.boxcox_param)) {
    throw_argument_error(kFunction, "boxcox_param", "must be a finite number",
                         fmt_number(*options.boxcox_param));
  }
  if (!std::isfinite(options.transform_shift)) {
    throw_argument_error(kFunction, "transform_shift", "must be a finite number",
                         fmt_number(options.transform_shift));
  }
  if (options.weights && transformation == "boxcox" && !options.boxcox_param) {
    throw ArgumentError(kFunction, "weights",
                        "ebp: survey weights need a fixed Box-Cox lambda: estimating lambda with "
                        "weights is not supported. Give boxcox_param or use the log "
                        "transformation.");
  }
  const ResolvedIndicators indicators = resolve_indicators(options.indicators);
  ResolvedBenchmark benchmark = resolve_benchmark(options, indicators);
  if (options.pop_weights &&
      std::any_of(indicators.entries.begin(), indicators.entries.end(),
                  [](const kernels::IndicatorEntry& e) {
                    return std::holds_alternative<kernels::IndicatorFunction>(e);
                  })) {
    throw ArgumentError(kFunction, "indicators",
                        "ebp: caller-supplied indicators are not supported with population "
                        "weights (pop_weights): a function of the values alone cannot weight "
                        "them.");
  }

  // Sample.
  const UnitFeatures features = resolve_unit_features(x, data_);
  internal::check_covariate_names(features.names());
  const UnitSample sample =
      prepare_sample(data_, y, area_col, features, options.drop_nulls, options.weights);
  {
    std::vector<std::string> design_names{"Intercept"};
    design_names.insert(design_names.end(), sample.feature_names.begin(),
                        sample.feature_names.end());
    internal::check_design(sample.X, design_names, {.fit = "The EBP fit", .unit = "sample unit"});
  }
  const Eigen::Index n = sample.n();
  const Eigen::Index m = sample.m();
  const Eigen::Index p = sample.X.cols();
  const double shift = options.transform_shift;
  const Eigen::VectorXd y_shifted = sample.y.array() + shift;

  // The sample's records as estimates over people: with survey weights and
  // population weights, each record stands for its survey weight times its
  // population weight (a household of five for five people), as the census
  // records do in the EBP. The median line, the survey's benchmark targets
  // and the direct estimates use them; the fit keeps the design weights.
  const UnitSample people = person_weighted(sample, data_, options);

  // Poverty line, from the unshifted response.
  const double z = options.threshold.resolve(
      std::span<const double>(sample.y.data(), static_cast<std::size_t>(n)),
      options.threshold.median_share() ? sample_median(people) : kNaN);
  if (indicators.poverty && !(std::isfinite(z) && z > 0.0)) {
    throw_argument_error(kFunction, "threshold",
                         "must be a positive finite poverty line when a poverty measure is "
                         "requested",
                         fmt_number(z));
  }

  if (indicators.poverty) warn_if_line_outside(z, sample.y, y);
  if (options.benchmark.from_survey()) fill_survey_targets(benchmark, indicators, people, z);

  // Transformation. Box-Cox and log need a positive shifted response.
  if (transformation != "none") {
    const auto bad = (y_shifted.array() <= 0.0 || y_shifted.array().isNaN()).count();
    if (bad > 0) {
      throw kelp::ModelError(
          {.title = "Non-positive response",
           .detail = std::to_string(bad) + " of " + std::to_string(n) + " rows of '" + y +
                     "' are not positive after the shift of " + fmt_number(shift) + "; the " +
                     (transformation == "log" ? "log" : "Box-Cox") +
                     " transformation needs positive values. Set transform_shift to move the "
                     "response above 0.",
           .argument = "transform_shift"});
    }
  }
  BackTransformation back = BackTransformation::none();
  double lambda = kNaN;
  Eigen::VectorXd y_trans;
  if (transformation == "boxcox") {
    if (options.boxcox_param) {
      lambda = *options.boxcox_param;
    } else {
      logger.info("Estimating Box-Cox lambda in [{}, {}]...", lower, upper);
      lambda =
          kernels::estimate_boxcox_lambda(lambda_search_design(sample.X), y_shifted,
                                          sample.area_indices, m, {.lower = lower, .upper = upper});
    }
    back = BackTransformation::box_cox(lambda);
    y_trans = kernels::boxcox_transform(y_shifted, lambda);
  } else if (transformation == "log") {
    back = BackTransformation::log();
    y_trans = y_shifted.array().log();
  } else {
    y_trans = y_shifted;
  }

  // Variance components by REML on the standardised data.
  const internal::ColumnScale y_scale = internal::column_scale(y_trans, /*centre=*/true);
  const Eigen::VectorXd y_fit = internal::apply_scale(y_scale, y_trans);
  const OptimizationResult fit =
      kernels::fit_lmm_reml(Eigen::Vector2d(-0.5, -0.5), fit_design(sample.X), y_fit,
                            sample.area_indices, m, {.tol = run.tol, .max_iter = run.max_iter});
  internal::require_converged(fit);
  const Eigen::Index n_params = fit.params.size();
  const double sigma_e = std::exp(fit.params(n_params - 2)) * y_scale.scale;
  const double sigma_u = std::exp(fit.params(n_params - 1)) * y_scale.scale;

  // Fixed effects on the model scale.
  const kernels::LmmStats stats =
      kernels::evaluate_lmm_stats(Eigen::Vector2d(std::log(sigma_e), std::log(sigma_u)), sample.X,
                                  y_trans, sample.area_indices, m, VarianceMethod::REML);
  const double sigma_u2 = sigma_u * sigma_u;
  const double sigma_e2 = sigma_e * sigma_e;
  Eigen::VectorXd beta = stats.beta;
  Eigen::VectorXd se = stats.cov.diagonal().cwiseMax(0.0).cwiseSqrt();
  // With survey weights: the pseudo-EBLUP on the same variance components.
  // The GLS covariance does not describe its beta, so no standard errors.
  std::optional<kernels::PseudoEblup> pseudo;
  if (options.weights) {
    pseudo =
        kernels::pseudo_eblup(sample.X, y_trans, sample.w, sample.area_offsets, sigma_u2, sigma_e2);
    if (!pseudo->beta.allFinite()) {
      throw kelp::ModelError(
          {.title = "Optimization failed",
           .detail = "The weighted estimating equation of beta has no unique solution with the "
                     "survey weights in '" +
                     *options.weights + "'; check the covariates and the weights."});
    }
    beta = pseudo->beta;
    se.setConstant(kNaN);
  }

  // Census, one block of rows per area. The regions are read from their own
  // two columns; the rest of the census table is handed to the design, which
  // releases each column once copied.
  // (A table lacking either column is kept whole, for the error that lists
  // its columns.)
  kelp::Table region_columns;
  if (options.aggregate_to) {
    const std::string& region = *options.aggregate_to;
    region_columns =
        pop_data.has_column(area_col) && pop_data.has_column(region)
            ? pop_data.select(region == area_col ? std::vector<std::string>{area_col}
                                                 : std::vector<std::string>{area_col, region})
            : pop_data;
  }
  kelp::Table census_table = with_census_dummies(pop_data, x, data_);
  pop_data = kelp::Table();
  const UnitCensus census =
      prepare_unit_census(std::move(census_table), area_col, sample.feature_names,
                          {.drop_nulls = options.drop_nulls, .weights = options.pop_weights});
  const Eigen::Index M = census.M();
  const Regions regions =
      options.aggregate_to
          ? census_regions(region_columns, area_col, *options.aggregate_to, census.pop_areas)
          : Regions{};
  const auto G = static_cast<Eigen::Index>(regions.labels.size());

  // Area effects given the sample; sampled areas by census position.
  const Eigen::VectorXd residual = y_trans - sample.X * beta;
  Eigen::VectorXd u_hat = Eigen::VectorXd::Zero(M);
  Eigen::VectorXd gamma = Eigen::VectorXd::Zero(M);
  std::vector<Eigen::Index> smp_of_pop(static_cast<std::size_t>(M), -1);
  Eigen::Index matched = 0;
  for (Eigen::Index a = 0; a < M; ++a) {
    const std::string& label = census.pop_areas[static_cast<std::size_t>(a)];
    const auto it = std::lower_bound(sample.unique_areas.begin(), sample.unique_areas.end(), label);
    if (it == sample.unique_areas.end() || *it != label) continue;
    const auto s = static_cast<std::size_t>(it - sample.unique_areas.begin());
    const Eigen::Index begin = sample.area_offsets[s];
    const Eigen::Index count = sample.area_offsets[s + 1] - begin;
    if (pseudo) {
      gamma(a) = pseudo->gamma(static_cast<Eigen::Index>(s));
      u_hat(a) = pseudo->u_hat(static_cast<Eigen::Index>(s));
    } else {
      gamma(a) = kernels::eblup_gamma(sigma_u2, sigma_e2 / static_cast<double>(count));
      u_hat(a) = kernels::eblup_area_effect(gamma(a), residual.segment(begin, count).mean(), 0.0);
    }
    smp_of_pop[static_cast<std::size_t>(a)] = static_cast<Eigen::Index>(s);
    ++matched;
  }

  const random::Key root = random::key_from_seed(run.seed);
  const auto [sim_key, mse_key] = random::split2(root);
  const kernels::IndicatorSet set(indicators.entries, z);
  const kernels::EbpScale scale{.back_transformation = back, .shift = shift};
  logger.info("Simulating the EBP with {} Monte Carlo populations...", options.n_mc);
  kernels::EbpSimulationCounts counts;
  Eigen::MatrixXd pred =
      kernels::simulate_ebp(sim_key, options.n_mc, census.design, beta, u_hat, gamma, sigma_u,
                            sigma_e, scale, set, &counts, regions.areas);
  if (counts.floored > 0) {
    // The inverse Box-Cox is floored at lambda y* + 1 = 1e-9: such values are
    // far out (about 1e18 at lambda = -0.5) and enter the indicators.
    logger.warning(
        "Box-Cox: {} of {} synthetic values lay beyond the range of the transformation with "
        "lambda = {} and were set to its bound; the indicators include them.",
        counts.floored,
        static_cast<double>(options.n_mc) * static_cast<double>(census.design.X.rows()), lambda);
  }

  benchmark_point_estimates(pred, benchmark, indicators,
                            kernels::area_population_sizes(census.design), regions.areas);

  const auto K = static_cast<Eigen::Index>(indicators.names.size());
  Eigen::MatrixXd mse = Eigen::MatrixXd::Constant(K, M + G, kNaN);
  int n_failed = 0;
  if (options.mse) {
    logger.info("Running bootstrap with {} reps (Batch={})...", run.n_reps, run.batch_size);
    if (matched < m) {
      logger.warning(
          "Bootstrap: {} sample areas were not found in the population data. They are used in "
          "the MSE refitting step and get no prediction.",
          m - matched);
    }
    // The whole sample, as the point estimate was fitted: the census areas
    // with sample in census order, then the sampled areas absent from the
    // census in sample order (position -1).
    kernels::SampleDesign design;
    std::vector<double> design_w;  // the survey weights in the design's row order
    design.X.resize(n, p);
    design.offsets.push_back(0);
    Eigen::VectorXi idx(m);
    Eigen::Index v = 0;
    const auto add_area = [&](std::size_t s, int position) {
      const Eigen::Index begin = sample.area_offsets[s];
      const Eigen::Index count = sample.area_offsets[s + 1] - begin;
      design.X.middleRows(design.offsets.back(), count) = sample.X.middleRows(begin, count);
      if (pseudo)
        design_w.insert(design_w.end(), sample.w.data() + begin, sample.w.data() + begin + count);
      design.offsets.push_back(design.offsets.back() + count);
      idx(v++) = position;
    };
    std::vector<bool> in_census(static_cast<std::size_t>(m), false);
    for (Eigen::Index a = 0; a < M; ++a) {
      const Eigen::Index s = smp_of_pop[static_cast<std::size_t>(a)];
      if (s < 0) continue;
      in_census[static_cast<std::size_t>(s)] = true;
      add_area(static_cast<std::size_t>(s), static_cast<int>(a));
    }
    for (std::size_t s = 0; s < in_census.size(); ++s) {
      if (!in_census[s]) add_area(s, -1);
    }
    std::vector<Eigen::Index> benchmarked_rows;
    for (const kernels::BenchmarkRow& row : benchmark.rows) benchmarked_rows.push_back(row.row);
    ProgressDisplay display(internal::bootstrap_progress("Bootstrap EBP", "Starting EBP Bootstrap",
                                                         run, BatchLines::kFirstOfEachTenth));
    const kernels::EbpBootstrapResult boot = kernels::mse_bootstrap_ebp(
        mse_key, run.n_reps, options.n_mc, design, census.design, idx, beta, sigma_u, sigma_e,
        scale, set,
        {.batch_size = run.batch_size,
         .on_progress = display.callback(),
         .share = run.share,
         .sample_weights = design_w,
         .groups = regions.areas,
         .benchmark = {.rows = benchmarked_rows, .type = benchmark.type}});
    n_failed = boot.n_failed;
    if (boot.n_failed > 0) {
      logger.warning(
          "Bootstrap: {} of {} replicates gave non-finite values; the MSE of the indicators "
          "they touch is not finite.",
          boot.n_failed, run.n_reps);
    }
    mse = boot.mse;
  }

  // The census areas, then the regions.
  std::vector<std::string> labels = census.pop_areas;
  labels.insert(labels.end(), regions.labels.begin(), regions.labels.end());
  require_finite_ebp(labels, indicators, pred, mse, options.mse, n_failed, run.n_reps);

  // One row per census area (then region) and indicator, indicators in
  // resolution order.
  std::vector<std::vector<SAEPred>> per_indicator;
  for (Eigen::Index k = 0; k < K; ++k) {
    per_indicator.push_back(internal::prediction_rows(
        labels, pred.row(k).transpose(), mse.row(k).transpose(),
        internal::CvRule::kPositivePrediction, indicators.names[static_cast<std::size_t>(k)]));
  }
  std::vector<SAEPred> prediction;
  prediction.reserve(static_cast<std::size_t>(K * (M + G)));
  for (Eigen::Index a = 0; a < M + G; ++a) {
    for (Eigen::Index k = 0; k < K; ++k) {
      SAEPred row = per_indicator[static_cast<std::size_t>(k)][static_cast<std::size_t>(a)];
      if (std::isnan(row.mse)) row.cv = kNaN;
      row.level = a < M ? area_col : *options.aggregate_to;
      prediction.push_back(std::move(row));
    }
  }

  // Fit statistics on the model scale.
  const SAEStats sae_stats = internal::nested_error_stats(
      "REML", VarianceMethod::REML, stats.neg2_loglik, n, p, M, sigma_u, sigma_e);

  std::vector<std::string> names{"Intercept"};
  names.insert(names.end(), sample.feature_names.begin(), sample.feature_names.end());
  std::vector<FixedEffect> fixed = models::make_fixed_effects(names, beta, se);
  if (pseudo) {
    // No standard error, so no test or interval either.
    for (FixedEffect& f : fixed) f.t_score = f.p_value = kNaN;
  }
  SAEResults result("Unit Level", y, "EBP (" + transformation + ")", sae_stats, std::move(fixed),
                    RandomEffect{.term = "Area", .dist = "Normal", .est = sigma_u, .se = 0.0},
                    std::move(prediction));
  result.set_transformation(TransformationInfo{
      .transformation = transformation,
      .lambda = lambda,
      .shift = shift,
      .poverty_line = z,
      .benchmark = benchmark_info(benchmark, indicators, options.benchmark.from_survey())});
  result.set_diagnostics(ebp_diagnostics(sample, y_trans, y_shifted, beta, sigma_u, sigma_e,
                                         transformation == "boxcox" && !options.boxcox_param,
                                         options));
  std::vector<DirectEstimate> direct_estimates = sample_indicators(people, set, indicators.names);
  if (options.weights) {
    // The design-based estimates go into the JSON and lend their variances
    // to the comparisons of the reports.
    std::vector<SAEPred> direct = weighted_direct_estimates(people, indicators, z, run);
    for (DirectEstimate& e : direct_estimates) {
      const auto it = std::find_if(direct.begin(), direct.end(), [&](const SAEPred& d) {
        return d.area == e.area && d.indicator == e.indicator;
      });
      if (it != direct.end()) e.var = it->mse;
    }
    result.set_direct(std::move(direct));
  }
  result.set_direct_estimates(std::move(direct_estimates));
  return result;
}

}  // namespace kelp_sae
