#include "kelp_sae/models/internal/spine.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <utility>

#include <fmt/format.h>

#include "kelp/errors.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/models/common.h"

namespace kelp_sae::models::internal {
RunSettings resolve_run(std::string_view function, const RunOptions& options,
                        const RunDefaults& defaults, bool bootstrap, ZeroSeed zero) {
  RunSettings run{.n_reps = options.n_reps.value_or(defaults.n_reps),
                  .batch_size = options.batch_size,
                  .tol = options.tol,
                  .max_iter = options.max_iter.value_or(defaults.max_iter),
                  .progress_bar = options.progress_bar,
                  .progress_out = options.progress_out,
                  .share = options.replicate_share.get()};
  if (!(std::isfinite(run.tol) && run.tol >= 0.0)) {
    throw_argument_error(function, "tol", "must be a finite number at least 0",
                         fmt::format("{}", run.tol));
  }
  check_at_least(function, "max_iter", run.max_iter, 0);
  if (!bootstrap) return run;
  check_at_least(function, "n_reps", run.n_reps, 1);
  check_at_least(function, "batch_size", run.batch_size, 1);
  run.batch_size = std::min(run.batch_size, run.n_reps);    // a batch holds at most every replicate
  run.seed = resolve_seed(function, options.rstate, zero);  // rejects a negative integer state
  return run;
}

VarianceMethod parse_variance_method(std::string_view function, std::string_view text) {
  const std::string method = normalize_method(text);
  if (method == "REML") return VarianceMethod::REML;
  if (method == "ML") return VarianceMethod::ML;
  throw_argument_error(function, "method", "must be 'REML' or 'ML'", fmt::format("'{}'", text));
}

const char* variance_method_text(VarianceMethod method) {
  return method == VarianceMethod::REML ? "REML" : "ML";
}

std::uint64_t resolve_seed(std::string_view function, const kelp::RandomStateArg& rstate,
                           ZeroSeed zero) {
  if (std::holds_alternative<std::monostate>(rstate)) return fresh_seed();
  if (const auto* seed = std::get_if<std::int64_t>(&rstate)) {
    check_at_least(function, "rstate", *seed, 0);
  }
  const std::uint64_t seed = kelp::seed_from_random_state(rstate);
  return seed == 0 && zero == ZeroSeed::kDrawFresh ? fresh_seed() : seed;
}

ColumnScale column_scale(const Eigen::Ref<const Eigen::VectorXd>& v, bool centre, double floor) {
  // Values beyond about 1e150 (or below 1e-150) in magnitude are divided by
  // the largest one first, so that the squares neither overflow nor vanish.
  const double amax = v.size() > 0 ? v.cwiseAbs().maxCoeff() : 0.0;
  const double unit =
      std::isfinite(amax) && (amax > 1e150 || (amax > 0.0 && amax < 1e-150)) ? amax : 1.0;
  const Eigen::ArrayXd w = v.array() / unit;
  const double mean = w.mean();
  const double sd = std::sqrt((w - mean).square().mean()) * unit;
  return {.centre = centre ? mean * unit : 0.0, .scale = sd > floor ? sd : 1.0};
}

Eigen::VectorXd apply_scale(const ColumnScale& s, const Eigen::Ref<const Eigen::VectorXd>& v) {
  if (s.centre == 0.0) return v / s.scale;
  return (v.array() - s.centre) / s.scale;
}

std::vector<SAEPred> prediction_rows(const std::vector<std::string>& areas,
                                     const Eigen::Ref<const Eigen::VectorXd>& pred,
                                     const Eigen::Ref<const Eigen::VectorXd>& mse, CvRule cv_rule,
                                     const std::optional<std::string>& indicator) {
  if (static_cast<Eigen::Index>(areas.size()) != pred.size() || pred.size() != mse.size()) {
    throw std::invalid_argument("prediction_rows: areas, pred and mse must have equal lengths.");
  }
  std::vector<SAEPred> rows;
  rows.reserve(areas.size());
  for (std::size_t a = 0; a < areas.size(); ++a) {
    const auto i = static_cast<Eigen::Index>(a);
    const double p = pred(i);
    const double root = std::sqrt(mse(i));
    const bool has_cv = cv_rule == CvRule::kNonZeroPrediction ? p != 0.0 : p > 0.0;
    SAEPred row{.area = areas[a],
                .pred = p,
                .mse = mse(i),
                .cv = has_cv ? root / p : 0.0,
                .lci = p - 1.96 * root,
                .uci = p + 1.96 * root};
    if (indicator) row.indicator = *indicator;
    rows.push_back(std::move(row));
  }
  return rows;
}

double gaussian_log_likelihood(double neg2_loglik_without_constant, VarianceMethod method,
                               Eigen::Index n, Eigen::Index p) {
  const Eigen::Index dof = method == VarianceMethod::ML ? n : n - p;
  return -0.5 * (neg2_loglik_without_constant +
                 static_cast<double>(dof) * std::log(2.0 * std::numbers::pi));
}

InformationCriteria information_criteria(double log_likelihood, double k, double n) {
  const double deviance = -2.0 * log_likelihood;
  return {.aic = deviance + 2.0 * k, .bic = deviance + k * std::log(n), .kic = deviance + 3.0 * k};
}

ProgressDisplayOptions bootstrap_progress(std::string desc, std::string header,
                                          const RunSettings& run, BatchLines without_bar) {
  return {.desc = std::move(desc),
          .fallback = std::move(header),
          .batch_size = static_cast<std::size_t>(run.batch_size),
          .n_reps = static_cast<std::size_t>(run.n_reps),
          .use_bar = run.progress_bar,
          .lines = run.progress_bar ? BatchLines::kHeaderAndEvery : without_bar,
          .out = run.progress_out};
}

SAEStats nested_error_stats(std::string method_label, VarianceMethod method,
                            double neg2_loglik_without_constant, Eigen::Index n, Eigen::Index p,
                            Eigen::Index n_areas, double sigma_u, double sigma_e) {
  const double log_likelihood = gaussian_log_likelihood(neg2_loglik_without_constant, method, n, p);
  const InformationCriteria criteria =
      information_criteria(log_likelihood, static_cast<double>(p + 2), static_cast<double>(n));
  const double sigma_u2 = sigma_u * sigma_u;
  const double sigma_e2 = sigma_e * sigma_e;
  return SAEStats{.method = std::move(method_label),
                  .n_obs = static_cast<long long>(n),
                  .n_areas = static_cast<long long>(n_areas),
                  .sigma_u = sigma_u,
                  .sigma_e = sigma_e,
                  .log_likelihood = log_likelihood,
                  .aic = criteria.aic,
                  .bic = criteria.bic,
                  .kic = criteria.kic,
                  .icc = sigma_u2 / (sigma_u2 + sigma_e2)};
}

std::string first_labels(const std::vector<std::string>& labels, std::size_t shown) {
  std::string out;
  const std::size_t n = std::min(labels.size(), shown);
  for (std::size_t i = 0; i < n; ++i) {
    out += fmt::format("{}'{}'", i == 0 ? "" : ", ", kelp::printable(labels[i]));
  }
  if (labels.size() > n) out += fmt::format(" and {} more", labels.size() - n);
  return out;
}

void require_finite_results(const std::vector<std::string>& areas,
                            const Eigen::Ref<const Eigen::VectorXd>& pred,
                            const Eigen::Ref<const Eigen::VectorXd>& mse, std::string_view hint) {
  std::vector<std::string> bad;
  for (Eigen::Index i = 0; i < pred.size(); ++i) {
    if (!std::isfinite(pred(i)) || !std::isfinite(mse(i))) {
      bad.push_back(areas[static_cast<std::size_t>(i)]);
    }
  }
  if (bad.empty()) return;
  throw kelp::ModelError(
      {.title = "Non-finite results",
       .detail = fmt::format("{} of {} areas have a non-finite prediction or MSE ({}). {}",
                             bad.size(), pred.size(), first_labels(bad), hint)});
}

void check_covariate_names(const std::vector<std::string>& names) {
  for (auto it = names.begin(); it != names.end(); ++it) {
    if (std::find(names.begin(), it, *it) == it) continue;
    const auto count = std::count(names.begin(), names.end(), *it);
    {
      throw kelp::ModelError(
          {.title = "Duplicate covariates",
           .detail = fmt::format("Covariate '{}' is given {} times; give each covariate once.",
                                 kelp::printable(*it), count)});
    }
  }
}

void check_design(const Eigen::Ref<const Eigen::MatrixXd>& X, const std::vector<std::string>& names,
                  const DesignRows& rows) {
  const Eigen::Index n = X.rows();
  const Eigen::Index p = X.cols();
  const auto counted = [&](Eigen::Index k) {
    return fmt::format("{} {}{}", k, rows.unit, k == 1 ? "" : "s");
  };
  if (n <= p) {
    throw kelp::ModelError(
        {.title = "Too few observations",
         .detail = fmt::format("{} needs more {}s than design columns; found {} for {} columns.",
                               rows.fit, rows.unit, counted(n), p)});
  }
  // Orthonormal basis of the columns kept so far, and R of the kept columns
  // (each scaled to unit norm), to tell which columns a dependent one uses.
  Eigen::MatrixXd Q(n, p);
  Eigen::MatrixXd R = Eigen::MatrixXd::Zero(p, p);
  std::vector<Eigen::Index> kept;
  const auto quoted = [&](Eigen::Index j) {
    return fmt::format("'{}'", kelp::printable(names[static_cast<std::size_t>(j)]));
  };
  for (Eigen::Index j = 0; j < p; ++j) {
    const double norm = X.col(j).stableNorm();
    if (!(norm > 0.0) || !std::isfinite(norm)) {
      if (norm == 0.0) {
        throw kelp::ModelError(
            {.title = "Collinear covariates",
             .detail = fmt::format("{} is 0 in every row of the data; drop it.", quoted(j))});
      }
      continue;  // non-finite values are reported by the fit's own checks
    }
    Eigen::VectorXd v = X.col(j) / norm;
    const auto r = static_cast<Eigen::Index>(kept.size());
    Eigen::VectorXd coef = Eigen::VectorXd::Zero(r);
    // A second pass when the first removed more than half of the column
    // (twice is enough): rounding may then have left it off orthogonal.
    const auto project_out = [&] {
      for (Eigen::Index k = 0; k < r; ++k) {
        const double c = Q.col(k).dot(v);
        v -= c * Q.col(k);
        coef(k) += c;
      }
      return v.norm();
    };
    double rest = project_out();
    if (rest < 0.5) rest = project_out();
    if (rest > kCollinearityTolerance) {
      Q.col(r) = v / rest;
      R.col(r).head(r) = coef;
      R(r, r) = rest;
      kept.push_back(j);
      continue;
    }
    // X_j / |X_j| = sum_k b_k X_k / |X_k| with R b = coef over the kept columns.
    const Eigen::VectorXd b = R.topLeftCorner(r, r).triangularView<Eigen::Upper>().solve(coef);
    const double largest = b.cwiseAbs().maxCoeff();
    std::vector<Eigen::Index> used;
    for (Eigen::Index k = 0; k < r; ++k) {
      if (std::abs(b(k)) > 1e-6 * largest) used.push_back(kept[static_cast<std::size_t>(k)]);
    }
    const bool constant_like_intercept =
        used.size() == 1 && names[static_cast<std::size_t>(used[0])] == "Intercept";
    if (constant_like_intercept) {
      throw kelp::ModelError(
          {.title = "Collinear covariates",
           .detail =
               fmt::format("{} is constant in the data, like the intercept; drop it.", quoted(j))});
    }
    std::string listed;
    for (std::size_t i = 0; i < used.size(); ++i) {
      listed += (i == 0 ? "" : i + 1 == used.size() ? " and " : ", ") + quoted(used[i]);
    }
    throw kelp::ModelError(
        {.title = "Collinear covariates",
         .detail = fmt::format("{} is a linear combination of {} in the data; drop one of them.",
                               quoted(j), listed)});
  }
}

void require_converged(const OptimizationResult& fit) {
  if (!fit.success) {
    throw kelp::ModelError(
        {.title = "Optimization failed", .detail = "BFGS optimizer did not converge."});
  }
}

}  // namespace kelp_sae::models::internal
