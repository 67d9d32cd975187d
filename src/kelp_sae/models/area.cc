#include "kelp_sae/models/area.h"

#include <fmt/format.h>

#include <Eigen/Core>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kelp/errors.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/core/logging.h"
#include "kelp_sae/core/progress.h"
#include "kelp_sae/core/variance_method.h"
#include "kelp_sae/kernels/mse/bootstrap_area.h"
#include "kelp_sae/kernels/mse/prasad_rao.h"
#include "kelp_sae/kernels/optimization/fh.h"
#include "kelp_sae/models/common.h"
#include "kelp_sae/models/internal/diagnostics.h"
#include "kelp_sae/models/internal/spine.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae {
namespace {

namespace internal = models::internal;

constexpr const char* kLoggerName = "kelp_sae.models.area";
constexpr const char* kFunction = "fh";

std::string areas_text(Eigen::Index count) {
  return count == 1 ? "1 area has" : fmt::format("{} areas have", count);
}

kelp::ModelError missing_columns(const kelp::ColumnNotFoundError& e) {
  return kelp::ModelError(
      {.title = "Missing columns", .detail = e.what(), .code = "MISSING_COLUMN"});
}

// The model table after column selection and cleaning, as arrays.
struct ModelData {
  Eigen::VectorXd y;
  Eigen::VectorXd D;
  Eigen::MatrixXd X;  // leading column of ones
  std::vector<std::string> design_names;
  std::vector<std::string> areas;
};

// Selects [area, y, features..., variance], optionally drops rows with
// nulls, and extracts the arrays. Invalid data are reported here, before any
// option is checked, so that a table problem is named first:
//   - a selected column that does not exist: "Missing columns";
//   - no rows left: "Empty dataset";
//   - a text column used as response, covariate or variance: "Non-numeric column";
//   - non-finite (or, with nulls kept, missing) responses or covariates:
//     "Non-finite values";
//   - negative or non-finite sampling variances: "Invalid sampling variances".
ModelData prepare_model_data(const kelp::Table& df, const std::string& y, const TermList& x,
                             const std::string& variance, const std::string& area_id_col,
                             bool drop_nulls) {
  const ResolvedFeatures features = resolve_model_features(x, df);
  internal::check_covariate_names(features.names);

  kelp::Table selected;
  try {
    selected = select_with_features(df, {area_id_col, y}, features, {variance});
  } catch (const kelp::ColumnNotFoundError& e) {
    throw missing_columns(e);
  }
  if (drop_nulls) selected = selected.drop_nulls();
  if (selected.num_rows() == 0) {
    throw kelp::ModelError({.title = "Empty dataset", .detail = "Dataset empty."});
  }

  const auto n = static_cast<Eigen::Index>(selected.num_rows());
  const auto k = static_cast<Eigen::Index>(features.names.size());
  ModelData data;
  data.y = models::numeric_column(selected, y, "response");
  data.X.resize(n, k + 1);
  data.X.col(0).setOnes();
  for (Eigen::Index j = 0; j < k; ++j) {
    data.X.col(j + 1) =
        models::numeric_column(selected, features.names[static_cast<std::size_t>(j)], "covariate");
  }
  data.D = models::numeric_column(selected, variance, "sampling variance");

  // Rows whose response or covariates are not finite, and the columns involved.
  std::vector<std::string> bad_columns;
  if (!data.y.allFinite()) bad_columns.push_back(y);
  for (Eigen::Index j = 0; j < k; ++j) {
    if (!data.X.col(j + 1).allFinite()) {
      bad_columns.push_back(features.names[static_cast<std::size_t>(j)]);
    }
  }
  if (!bad_columns.empty()) {
    Eigen::Index bad_rows = 0;
    for (Eigen::Index i = 0; i < n; ++i) {
      if (!std::isfinite(data.y(i)) || !data.X.row(i).allFinite()) ++bad_rows;
    }
    std::string names;
    for (const std::string& c : bad_columns) {
      names += (names.empty() ? "'" : ", '") + kelp::printable(c) + "'";
    }
    throw kelp::ModelError(
        {.title = "Non-finite values",
         .detail = fmt::format("{} missing or non-finite values in column{} {}.",
                               areas_text(bad_rows), bad_columns.size() == 1 ? "" : "s", names)});
  }
  const Eigen::Index bad_variances =
      (!(data.D.array().isFinite() && data.D.array() >= 0.0)).count();
  if (bad_variances > 0) {
    throw kelp::ModelError(
        {.title = "Invalid sampling variances",
         .detail = bad_variances == 1
                       ? fmt::format("1 area has a negative or non-finite sampling variance in "
                                     "column '{}'.",
                                     kelp::printable(variance))
                       : fmt::format("{} areas have negative or non-finite sampling variances in "
                                     "column '{}'.",
                                     bad_variances, kelp::printable(variance))});
  }

  data.design_names.reserve(features.names.size() + 1);
  data.design_names.push_back("Intercept");
  data.design_names.insert(data.design_names.end(), features.names.begin(), features.names.end());
  const kelp::Column& area_column = selected.column(area_id_col);
  data.areas.reserve(selected.num_rows());
  for (std::size_t i = 0; i < selected.num_rows(); ++i) data.areas.push_back(area_column.text(i));
  return data;
}

// Each area on one row: a repeated label would give repeated predictions.
void check_unique_areas(const std::vector<std::string>& areas, bool area_table_mode) {
  std::vector<std::string> sorted = areas;
  std::sort(sorted.begin(), sorted.end());
  const auto repeated = std::adjacent_find(sorted.begin(), sorted.end());
  if (repeated == sorted.end()) return;
  const auto rows = std::count(sorted.begin(), sorted.end(), *repeated);
  throw kelp::ModelError(
      {.title = "Duplicate areas",
       .detail = fmt::format("Area '{}' appears on {} rows of {}; each area must have one row.",
                             kelp::printable(*repeated), rows,
                             area_table_mode ? "the area table" : "'pop_data'")});
}

// Areas whose sampling variance is zero, or negligible next to the others
// (below 1e-12 times the median positive variance, as a variance estimated
// from a constant proportion comes out at about 1e-30), get the direct
// estimate as prediction with an MSE of about 0. That is no honest statement
// of precision, so the user is told which areas are concerned.
void warn_zero_variances(const ModelData& data, const std::string& variance, bool area_table_mode) {
  std::vector<double> positive;
  for (const double d : data.D) {
    if (d > 0.0) positive.push_back(d);
  }
  double threshold = 0.0;
  if (!positive.empty()) {
    const auto middle = positive.begin() + static_cast<std::ptrdiff_t>(positive.size() / 2);
    std::nth_element(positive.begin(), middle, positive.end());
    threshold = 1e-12 * *middle;
  }
  std::vector<std::string> zero;
  for (Eigen::Index i = 0; i < data.D.size(); ++i) {
    if (data.D(i) <= threshold) zero.push_back(data.areas[static_cast<std::size_t>(i)]);
  }
  if (zero.empty()) return;
  get_logger(kLoggerName)
      .warning(
          "{} a sampling variance of zero {} ({}): {} predicted by the direct estimate with an "
          "MSE of about 0, which overstates the precision. Pool or smooth the variances (for "
          "example with a generalised variance function) or collapse such areas with others.",
          areas_text(static_cast<Eigen::Index>(zero.size())),
          area_table_mode ? fmt::format("in column '{}'", variance)
                          : std::string("estimated from the sample (an area within one PSU, or a "
                                        "proportion of 0 or 1)"),
          internal::first_labels(zero), zero.size() == 1 ? "it is" : "they are");
}

// The median of the values (the upper middle one for an even count).
double median(const Eigen::Ref<const Eigen::VectorXd>& v) {
  std::vector<double> values(v.begin(), v.end());
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

std::string statistic_text(const Statistic& statistic) {
  if (const auto* p = std::get_if<kelp::PopParam>(&statistic))
    return std::string(kelp::to_string(*p));
  return std::get<std::string>(statistic);
}

std::optional<kelp::PopParam> statistic_param(const Statistic& statistic) {
  if (const auto* p = std::get_if<kelp::PopParam>(&statistic)) return *p;
  return kelp::pop_param_from_string(std::get<std::string>(statistic));
}

}  // namespace

AreaLevel::AreaLevel(kelp::Table data) : data_(std::move(data)) {}

AreaLevel::AreaLevel(kelp::Sample sample) : data_(sample.data()), sample_(std::move(sample)) {}

SAEResults AreaLevel::fh(const std::string& y, const TermList& x, const AreaTerm& area,
                         const FhOptions& options) {
  const std::string& area_col = area.name();
  if (options.variance) {
    return fit_fh_core(data_, y, x, *options.variance, area_col, options);
  }
  if (!options.pop_data) {
    throw ArgumentError(
        kFunction, "pop_data",
        "Missing 'pop_data'. When running on raw sample data (variance=None), you MUST provide "
        "'pop_data'.");
  }
  const kelp::Table direct =
      calculate_direct_estimates(y, area_col, options.statistic, options.ratio_denom);
  kelp::Table model_table;
  try {
    model_table = direct.inner_join(*options.pop_data, area_col);
  } catch (const kelp::ColumnNotFoundError& e) {
    // The area column is missing from pop_data: the same report as for any
    // other model column that does not exist.
    throw missing_columns(e);
  }
  return fit_fh_core(model_table, "direct_est", x, "direct_var", area_col, options);
}

kelp::Table AreaLevel::calculate_direct_estimates(
    const std::string& y, const std::string& area_col, const Statistic& statistic,
    const std::optional<std::string>& denominator) const {
  if (!sample_) {
    throw ArgumentError(kFunction, "sample",
                        "Automated aggregation requires a 'kelp.Sample' object.");
  }
  try {
    const kelp::Estimation estimation = sample_->estimation();
    const std::optional<kelp::PopParam> param = statistic_param(statistic);
    const kelp::Estimate estimate = [&] {
      switch (param.value_or(kelp::PopParam::MEDIAN)) {
        case kelp::PopParam::MEAN:
          return estimation.mean({.y = y, .by = area_col});
        case kelp::PopParam::TOTAL:
          return estimation.total({.y = y, .by = area_col});
        case kelp::PopParam::PROP:
          return estimation.proportion({.y = y, .by = area_col});
        case kelp::PopParam::RATIO:
          if (!denominator) {
            throw ArgumentError(
                kFunction, "ratio_denom",
                "The Ratio statistic needs a denominator variable: set 'ratio_denom'.");
          }
          return estimation.ratio({.y = y, .x = *denominator, .by = area_col});
        case kelp::PopParam::MEDIAN:
          break;
      }
      throw NotImplementedError("Statistic " + statistic_text(statistic) + " not supported.");
    }();
    std::vector<double> variances(estimate.se().size());
    for (std::size_t i = 0; i < variances.size(); ++i) {
      variances[i] = estimate.se()[i] * estimate.se()[i];
    }
    return kelp::Table({{area_col, estimate.by_level()},
                        {"direct_est", kelp::Column(estimate.est())},
                        {"direct_var", kelp::Column(std::move(variances))}});
  } catch (const std::exception& e) {
    get_logger(kLoggerName).error("Failed to delegate to kelp.estimation: {}", e.what());
    throw;
  }
}

SAEResults AreaLevel::fit_fh_core(const kelp::Table& df, const std::string& y, const TermList& x,
                                  const std::string& variance, const std::string& area_id_col,
                                  const FhOptions& options) {
  const ModelData data = prepare_model_data(df, y, x, variance, area_id_col, options.drop_nulls);
  const Eigen::Index n = data.y.size();
  const Eigen::Index p = data.X.cols();
  const bool area_table_mode = options.variance.has_value();
  check_unique_areas(data.areas, area_table_mode);
  internal::check_design(data.X, data.design_names, {.fit = "The Fay-Herriot fit", .unit = "area"});

  // Standardise: the response by its deviation, or by the root of the median
  // sampling variance when that is larger (so that neither y nor D leaves the
  // range where its squares are finite), each covariate by its own deviation
  // (a covariate whose deviation is at most 1e-8 is left unscaled).
  const double sd_y = internal::column_scale(data.y, /*centre=*/false).scale;
  const double root_median_d = std::sqrt(median(data.D));
  const double s_y = root_median_d > sd_y ? root_median_d : sd_y;
  const Eigen::VectorXd y_t = data.y / s_y;
  const Eigen::VectorXd D_t = data.D / s_y / s_y;
  Eigen::VectorXd s_x = Eigen::VectorXd::Ones(p);
  Eigen::MatrixXd X_t = data.X;
  for (Eigen::Index j = 1; j < p; ++j) {
    s_x(j) = internal::column_scale(data.X.col(j), /*centre=*/false, /*floor=*/1e-8).scale;
    X_t.col(j) /= s_x(j);
  }

  // Options are checked once the data are known to be usable.
  const VarianceMethod method = internal::parse_variance_method(kFunction, options.method);
  const bool bootstrap =
      check_choice(kFunction, "mse", options.mse, {"prasad_rao", "bootstrap"}) == 1;
  const internal::RunSettings run = internal::resolve_run(
      kFunction, options.run, FhOptions::kRunDefaults, bootstrap, internal::ZeroSeed::kDrawFresh);

  // Fit log sigma_u on the standardised problem.
  const Eigen::VectorXd init = Eigen::VectorXd::Zero(p + 1);
  const kernels::FitOptions fit_options{.tol = run.tol, .max_iter = run.max_iter};
  const OptimizationResult fit =
      method == VarianceMethod::REML
          ? kernels::fit_fay_herriot_reml(init, X_t, y_t, D_t, fit_options)
          : kernels::fit_fay_herriot_ml(init, X_t, y_t, D_t, fit_options);
  internal::require_converged(fit);

  // Back to the data scale.
  const Eigen::VectorXd beta_t = fit.params.head(p);
  const double sigma_u_t = std::exp(fit.params(p));
  const double sigma_u = sigma_u_t * s_y;
  const Eigen::VectorXd scale = s_y * s_x.cwiseInverse();  // T = diag(s_y / s_j)
  const Eigen::VectorXd beta_hat = beta_t.cwiseProduct(scale);
  warn_zero_variances(data, variance, area_table_mode);
  const Eigen::MatrixXd cov_beta_t = fit.hessian_inv.topLeftCorner(p, p);
  const Eigen::VectorXd se = cov_beta_t.diagonal().cwiseSqrt().cwiseProduct(scale);
  const double v_log = fit.hessian_inv(p, p);

  // EBLUPs and Prasad-Rao MSEs always, bootstrap MSEs on request, all on the
  // standardised scale (where squares stay finite) and then scaled back: the
  // estimates are linear in y, and every MSE term carries the unit squared.
  const std::string method_text = internal::variance_method_text(method);
  const kernels::PrasadRaoResult pr = kernels::estimate_mse_prasad_rao(
      X_t, y_t, D_t, beta_t, sigma_u_t * sigma_u_t, cov_beta_t, method);
  const Eigen::VectorXd estimates = pr.estimates * s_y;
  Eigen::VectorXd mse = pr.mse * s_y * s_y;
  if (bootstrap) {
    const random::Key key = random::key_from_seed(run.seed);
    ProgressDisplay display(
        internal::bootstrap_progress("Bootstrap FH", "Bootstrap FH", run, BatchLines::kEveryTenth));
    mse =
        kernels::mse_bootstrap_area_fh(
            X_t, D_t, beta_t, sigma_u_t, method, run.n_reps, key,
            {.batch_size = run.batch_size, .on_progress = display.callback(), .share = run.share}) *
        s_y * s_y;
    get_logger(kLoggerName).info("Computed MSE using Parametric Bootstrap (B={})", run.n_reps);
  }

  std::vector<FixedEffect> fixed = models::make_fixed_effects(data.design_names, beta_hat, se);

  RandomEffect random_effect{.term = std::string("Area"),
                             .dist = "Normal",
                             .est = sigma_u,
                             .se = v_log > 0.0 ? sigma_u * std::sqrt(v_log) : 0.0};

  internal::require_finite_results(
      data.areas, estimates, mse,
      fmt::format("The data's squares leave the range of double precision (the response reaches "
                  "{:.3g} and the sampling variances {:.3g}): express the response in larger "
                  "units.",
                  data.y.cwiseAbs().maxCoeff(), data.D.maxCoeff()));

  std::vector<SAEPred> predictions =
      internal::prediction_rows(data.areas, estimates, mse, internal::CvRule::kNonZeroPrediction);

  // Marginal normal log-likelihood at the estimates (the ML constant, for
  // REML and ML fits alike); on the data scale the variances carry s_y^2, so
  // -2 log L gains 2 n log s_y.
  const Eigen::ArrayXd resid = (y_t - X_t * beta_t).array();
  const Eigen::ArrayXd V = sigma_u_t * sigma_u_t + D_t.array();
  const double log_lik = internal::gaussian_log_likelihood(
      (V.log() + resid.square() / V).sum() + 2.0 * static_cast<double>(n) * std::log(s_y),
      VarianceMethod::ML, n, p);
  const internal::InformationCriteria criteria =
      internal::information_criteria(log_lik, static_cast<double>(p + 1), static_cast<double>(n));
  const SAEStats stats{.method = method_text,
                       .n_obs = static_cast<long long>(n),
                       .n_areas = static_cast<long long>(n),
                       .sigma_u = sigma_u,
                       .sigma_e = 0.0,
                       .log_likelihood = log_lik,
                       .aic = criteria.aic,
                       .bic = criteria.bic,
                       .kic = criteria.kic,
                       .icc = (sigma_u_t * sigma_u_t / V).mean()};

  SAEResults result("Area Level", y,
                    "Fay-Herriot (MSE: " + models::title_case_label(options.mse) + ")", stats,
                    std::move(fixed), std::move(random_effect), std::move(predictions));
  // Diagnostics on the data scale, and the input direct estimates.
  result.set_diagnostics(
      internal::fay_herriot_diagnostics(data.X, data.y, data.D, beta_hat, sigma_u));
  std::vector<DirectEstimate> direct;
  for (std::size_t i = 0; i < data.areas.size(); ++i) {
    const auto row = static_cast<Eigen::Index>(i);
    direct.push_back({.area = data.areas[i], .est = data.y(row), .var = data.D(row)});
  }
  result.set_direct_estimates(std::move(direct));
  fitted_ = result;
  return result;
}

}  // namespace kelp_sae
