#include "kelp_sae/models/unit.h"

#include <fmt/format.h>

#include <Eigen/QR>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "kelp/errors.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/core/logging.h"
#include "kelp_sae/core/progress.h"
#include "kelp_sae/core/variance_method.h"
#include "kelp_sae/kernels/mse/analytical_unit.h"
#include "kelp_sae/kernels/mse/bootstrap_unit.h"
#include "kelp_sae/kernels/optimization/lmm.h"
#include "kelp_sae/kernels/prediction/prediction.h"
#include "kelp_sae/models/common.h"
#include "kelp_sae/models/internal/diagnostics.h"
#include "kelp_sae/models/internal/spine.h"
#include "kelp_sae/models/unit_census.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae {
namespace {

namespace internal = models::internal;

constexpr const char* kLogger = "kelp_sae.models.unit";
constexpr const char* kFunction = "eblup";

// The design on the scaled data: the constant (with an intercept), then each
// feature centred and divided by its standard deviation (divisor n; a zero
// deviation is replaced by 1, so a constant feature becomes all zeros).
// `X` holds the constant 1 in column 0, then the features.
Eigen::MatrixXd scaled_design(const Eigen::Ref<const Eigen::MatrixXd>& X, bool intercept) {
  const Eigen::Index k = X.cols() - 1;
  const Eigen::Index offset = intercept ? 1 : 0;
  Eigen::MatrixXd out(X.rows(), k + offset);
  if (intercept) out.col(0).setOnes();
  for (Eigen::Index j = 0; j < k; ++j) {
    const auto x = X.col(j + 1);
    const internal::ColumnScale s = internal::column_scale(x, /*centre=*/true);
    out.col(j + offset) = (x.array() - s.centre) / s.scale;
  }
  return out;
}

// [1, X] with an intercept, else X.
Eigen::MatrixXd with_intercept(const Eigen::Ref<const Eigen::MatrixXd>& X, bool intercept) {
  if (!intercept) return X;
  Eigen::MatrixXd out(X.rows(), X.cols() + 1);
  out.col(0).setOnes();
  out.rightCols(X.cols()) = X;
  return out;
}

// Start values (log sigma_e, log sigma_u) from the minimum-norm least-squares
// fit of y on X: both sigma0 = 0.5 sqrt(residual variance, divisor n),
// floored at 0.001; (-0.5, -0.5) when that fails. The coefficients solve the
// normal equations by a complete orthogonal decomposition of X'X (p x p, so
// the cost is one pass over the data); pivots below eps * max(n, p) of the
// largest count as zero, which gives the minimum-norm solution for
// collinear columns.
Eigen::Vector2d start_values(const Eigen::Ref<const Eigen::MatrixXd>& X,
                             const Eigen::Ref<const Eigen::VectorXd>& y) {
  const Eigen::Vector2d fallback(-0.5, -0.5);
  double rss = y.squaredNorm();
  if (X.cols() > 0) {
    const Eigen::MatrixXd XtX = X.transpose() * X;
    const Eigen::VectorXd Xty = X.transpose() * y;
    Eigen::CompleteOrthogonalDecomposition<Eigen::MatrixXd> cod;
    cod.setThreshold(std::numeric_limits<double>::epsilon() *
                     static_cast<double>(std::max(X.rows(), X.cols())));
    cod.compute(XtX);
    const Eigen::VectorXd beta = cod.solve(Xty);
    if (!beta.allFinite()) return fallback;
    rss = (y - X * beta).squaredNorm();
  }
  const double sigma0 = 0.5 * std::sqrt(rss / static_cast<double>(y.size()));
  if (!std::isfinite(sigma0)) return fallback;
  const double start = std::log(std::max(sigma0, 0.001));
  return {start, start};
}

// Says which sampled areas the population lacks (they get no prediction;
// with none matched, every prediction is synthetic), and which population
// sizes are below the area's sample size.
void warn_about_population(const UnitSample& sample, const UnitPopulation& pop,
                           const EblupOptions& options) {
  const auto logger = get_logger(kLogger);
  std::vector<bool> matched(sample.unique_areas.size(), false);
  for (const int s : pop.sample_area) {
    if (s >= 0) matched[static_cast<std::size_t>(s)] = true;
  }
  std::vector<std::string> missing;
  for (std::size_t s = 0; s < matched.size(); ++s) {
    if (!matched[s]) missing.push_back(sample.unique_areas[s]);
  }
  if (missing.size() == matched.size()) {
    logger.warning(
        "None of the {} sampled areas occurs among the {} population areas (sample {}; "
        "population {}): every prediction is synthetic. Check that both tables label areas "
        "alike.",
        matched.size(), pop.pop_areas.size(), internal::first_labels(missing, 3),
        internal::first_labels(pop.pop_areas, 3));
  } else if (!missing.empty()) {
    logger.warning(
        "{} of the {} sampled areas do not occur in the population table and get no "
        "prediction: {}.",
        missing.size(), matched.size(), internal::first_labels(missing));
  }
  if (!options.pop_size) return;
  std::vector<std::string> small;
  for (Eigen::Index a = 0; a < pop.M(); ++a) {
    if (pop.N_i(a) < pop.n_i(a)) small.push_back(pop.pop_areas[static_cast<std::size_t>(a)]);
  }
  if (!small.empty()) {
    logger.warning("{} population area{} a size in column '{}' below the area's sample size: {}.",
                   small.size(), small.size() == 1 ? " has" : "s have", *options.pop_size,
                   internal::first_labels(small));
  }
}

// The intercept rule of the bootstrap, checked with the other options.
void check_bootstrap_intercept(const EblupOptions& options, bool bootstrap) {
  if (bootstrap && !options.intercept) {
    throw ArgumentError(kFunction, "intercept",
                        "eblup: the bootstrap MSE needs the intercept: its replicate fits always "
                        "include the constant column. Use intercept=true or mse='Analytical'.");
  }
}

}  // namespace

UnitLevel::UnitLevel(kelp::Table data) : data_(std::move(data)) {}

UnitLevel::UnitLevel(kelp::Sample sample) : data_(sample.data()), sample_(std::move(sample)) {}

SAEResults UnitLevel::eblup(const std::string& y, const TermList& x, const AreaTerm& area,
                            const kelp::Table& pop_data, const EblupOptions& options) const {
  const std::string& area_col = area.name();
  const UnitFeatures features = resolve_unit_features(x, data_);
  internal::check_covariate_names(features.names());

  const bool bootstrap =
      check_choice(kFunction, "mse", options.mse, {"Analytical", "Bootstrap"}) == 1;
  const VarianceMethod method = internal::parse_variance_method(kFunction, options.method);
  check_bootstrap_intercept(options, bootstrap);
  const internal::RunSettings run = internal::resolve_run(
      kFunction, options.run, EblupOptions::kRunDefaults, bootstrap, internal::ZeroSeed::kIsSeed);

  // Sample, area coding and design matrices.
  const UnitSample sample =
      prepare_unit_sample(data_, y, area_col, features, {.drop_nulls = options.drop_nulls});
  const Eigen::Index n = sample.n();
  const Eigen::Index m = sample.m();
  const Eigen::Index p = sample.k() + (options.intercept ? 1 : 0);
  std::vector<std::string> final_feature_names;
  if (options.intercept) final_feature_names.emplace_back("Intercept");
  final_feature_names.insert(final_feature_names.end(), sample.feature_names.begin(),
                             sample.feature_names.end());
  internal::check_design(sample.X.rightCols(p), final_feature_names,
                         {.fit = "The nested-error fit", .unit = "sample unit"});

  const internal::ColumnScale y_scale = internal::column_scale(sample.y, /*centre=*/true);
  const double y_std = y_scale.scale;
  const Eigen::VectorXd y_scaled = (sample.y.array() - y_scale.centre) / y_std;
  Eigen::MatrixXd X_mat_scaled = scaled_design(sample.X, options.intercept);

  // Variance components on the scaled data.
  const Eigen::Vector2d init = start_values(X_mat_scaled, y_scaled);
  const kernels::LmmFitOptions fit_options{.tol = run.tol, .max_iter = run.max_iter};
  const OptimizationResult fit =
      method == VarianceMethod::REML
          ? kernels::fit_lmm_reml(init, X_mat_scaled, y_scaled, sample.area_indices, m, fit_options)
          : kernels::fit_lmm_ml(init, X_mat_scaled, y_scaled, sample.area_indices, m, fit_options);
  internal::require_converged(fit);
  X_mat_scaled.resize(0, 0);  // the scaled copy is no longer needed
  const Eigen::Index n_params = fit.params.size();
  const double sigma_e = std::exp(fit.params(n_params - 2)) * y_std;
  const double sigma_u = std::exp(fit.params(n_params - 1)) * y_std;

  // Coefficients, their covariance and the likelihood on the raw scale.
  const auto X_mat_raw = sample.X.rightCols(p);  // with or without the constant column
  const kernels::LmmStats stats =
      kernels::evaluate_lmm_stats(Eigen::Vector2d(std::log(sigma_e), std::log(sigma_u)), X_mat_raw,
                                  sample.y, sample.area_indices, m, method);
  const Eigen::VectorXd& beta = stats.beta;
  const Eigen::VectorXd se = stats.cov.diagonal().cwiseMax(0.0).cwiseSqrt();

  // Population areas and the area predictor.
  const UnitPopulation pop =
      prepare_unit_population(with_census_dummies(pop_data, x, data_), area_col, sample,
                              {.pop_size = options.pop_size, .drop_nulls = options.drop_nulls});
  const Eigen::Index M = pop.M();
  warn_about_population(sample, pop, options);
  const Eigen::MatrixXd X_pop_means = with_intercept(pop.X_pop_means, options.intercept);
  const Eigen::MatrixXd X_smp_means = with_intercept(pop.X_smp_means, options.intercept);
  const Eigen::VectorXd pred = kernels::predict_area_eblup(beta, sigma_u, sigma_e, pop.n_i,
                                                           pop.y_bar_s, X_smp_means, X_pop_means)
                                   .theta_hat;

  // MSE.
  const auto logger = get_logger(kLogger);
  Eigen::VectorXd mse;
  if (!bootstrap) {
    logger.info("Computing Analytical MSE (Prasad-Rao)...");
    // Approximate covariance of (sigma_e^2, sigma_u^2): the variances of
    // chi-square estimators with n - p and M degrees of freedom. The MSE
    // carries the unit of y squared; it is evaluated in units of y_std, where
    // the fourth powers of the variance components stay finite.
    const double e2 = (sigma_e / y_std) * (sigma_e / y_std);
    const double u2 = (sigma_u / y_std) * (sigma_u / y_std);
    const Eigen::Matrix2d var_cov = Eigen::Vector2d(2.0 * e2 * e2 / static_cast<double>(n - p),
                                                    2.0 * u2 * u2 / static_cast<double>(M))
                                        .asDiagonal();
    mse = kernels::analytical_mse_bhf(u2, e2, stats.cov / y_std / y_std, X_pop_means, pop.n_i,
                                      var_cov) *
          y_std * y_std;
  } else {
    logger.info("Computing Parametric Bootstrap MSE (BHF) with {} reps (Batch={})...", run.n_reps,
                run.batch_size);
    const random::Key key = random::key_from_seed(run.seed);
    const UnitSampleBlocks blocks = build_sample_blocks(sample, pop);
    if (blocks.design.X.rows() == 0) {
      throw kelp::ModelError(
          {.title = "No sampled population areas",
           .detail = "None of the sampled areas occurs in the population table; the bootstrap "
                     "MSE needs sampled units in population areas."});
    }
    // Without pop_size every N_i counts at least one row, so "all sizes at
    // most 1" (sizes unknown to the bootstrap) means all equal to 1.
    logger.log(LogLevel::kInfo, pop.N_i.size() > 0 && pop.N_i.maxCoeff() <= 1.0
                                    ? "BHF Bootstrap: Using Infinite Population Assumption."
                                    : "BHF Bootstrap: Using Finite Population Correction.");
    logger.info("Pre-computing constant design statistics (BHF)...");
    ProgressDisplay display(internal::bootstrap_progress("Bootstrap BHF", "Starting BHF Bootstrap",
                                                         run, BatchLines::kFirstOfEachTenth));
    // In units of y_std, like the analytical MSE.
    mse =
        kernels::mse_bootstrap_bhf(
            key, run.n_reps, blocks.design, X_pop_means, pop.N_i, blocks.area_idx_in_pop,
            beta / y_std, sigma_u / y_std, sigma_e / y_std,
            {.batch_size = run.batch_size, .on_progress = display.callback(), .share = run.share}) *
        y_std * y_std;
  }

  internal::require_finite_results(
      pop.pop_areas, pred, mse,
      fmt::format("Sums or squares of the data leave the range of double precision (the "
                  "response reaches {:.3g}): express the data in larger units.",
                  sample.y.cwiseAbs().maxCoeff()));

  std::vector<SAEPred> prediction = internal::prediction_rows(
      pop.pop_areas, pred, mse, internal::CvRule::kPositivePrediction, "Mean");

  // Fit statistics: the likelihood with the constant of the fitting method.
  const SAEStats sae_stats = internal::nested_error_stats(options.method, method, stats.neg2_loglik,
                                                          n, X_mat_raw.cols(), M, sigma_u, sigma_e);

  SAEResults result(
      "Unit Level", y,
      "BHF (EBLUP) - MSE: " + models::title_case_label(bootstrap ? "bootstrap" : "analytical"),
      sae_stats, models::make_fixed_effects(final_feature_names, beta, se),
      RandomEffect{.term = "Area", .dist = "Normal", .est = sigma_u, .se = 0.0},
      std::move(prediction));
  // Diagnostics, and the unweighted sample means as direct estimates.
  result.set_diagnostics(internal::nested_error_diagnostics(
      X_mat_raw, sample.y, sample.area_indices, m, beta, sigma_u, sigma_e));
  result.set_direct_estimates(
      internal::sample_means(sample.y, sample.area_offsets, sample.unique_areas, "Mean"));
  return result;
}

}  // namespace kelp_sae
