// Exports of the result records: JSON objects and kelp tables.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "kelp_sae/results/containers.h"
#include "kelp_sae/results/internal/text.h"

namespace kelp_sae {
namespace {

using results_internal::py_repr;
using results_internal::term_text;

nlohmann::ordered_json fixed_effect_json(const FixedEffect& r) {
  return {{"term", r.term},       {"est", r.est}, {"se", r.se},  {"t_score", r.t_score},
          {"p_value", r.p_value}, {"lci", r.lci}, {"uci", r.uci}};
}

nlohmann::ordered_json random_effect_json(const RandomEffect& r) {
  nlohmann::ordered_json j;
  if (const auto* s = std::get_if<std::string>(&r.term)) {
    j["term"] = *s;
  } else {
    j["term"] = std::get<std::vector<std::string>>(r.term);
  }
  j["dist"] = r.dist;
  j["est"] = r.est;
  j["se"] = r.se;
  return j;
}

nlohmann::ordered_json stats_json(const SAEStats& r) {
  nlohmann::ordered_json j;
  j["method"] = r.method;
  j["n_obs"] = r.n_obs;
  j["n_areas"] = r.n_areas;
  j["sigma_u"] = r.sigma_u;
  j["sigma_e"] = r.sigma_e;
  j["log_likelihood"] = r.log_likelihood;
  j["aic"] = r.aic;
  j["bic"] = r.bic;
  j["kic"] = r.kic;
  j["icc"] = r.icc;
  return j;
}

nlohmann::ordered_json transformation_json(const TransformationInfo& r) {
  nlohmann::ordered_json j;
  j["transformation"] = r.transformation;
  j["lambda"] = r.lambda;
  j["shift"] = r.shift;
  j["poverty_line"] = r.poverty_line;
  if (r.benchmark) {
    nlohmann::ordered_json targets = nlohmann::ordered_json::object();
    for (const auto& [indicator, value] : r.benchmark->targets) targets[indicator] = value;
    j["benchmark"] = {
        {"type", r.benchmark->type}, {"source", r.benchmark->source}, {"targets", targets}};
  }
  return j;
}

nlohmann::ordered_json distribution_json(const DistributionDiagnostics& r) {
  nlohmann::ordered_json j;
  j["n"] = r.n;
  j["skewness"] = r.skewness;
  j["kurtosis"] = r.kurtosis;
  j["shapiro_w"] = r.shapiro_w;
  j["shapiro_p"] = r.shapiro_p;
  j["shapiro_n"] = r.shapiro_n;
  j["subsampled"] = r.subsampled;
  return j;
}

// The statistics a model has (an area-level fit has one R-squared, a
// unit-level fit two) and the Box-Cox profile when lambda was estimated.
nlohmann::ordered_json diagnostics_json(const Diagnostics& r) {
  nlohmann::ordered_json j;
  j["residuals"] = distribution_json(r.residuals);
  j["area_effects"] = distribution_json(r.area_effects);
  if (!std::isnan(r.r_squared)) j["r_squared"] = r.r_squared;
  if (!std::isnan(r.r_squared_marginal)) j["r_squared_marginal"] = r.r_squared_marginal;
  if (!std::isnan(r.r_squared_conditional)) j["r_squared_conditional"] = r.r_squared_conditional;
  if (!r.boxcox_lambda.empty()) {
    j["boxcox_profile"] = {{"lambda", r.boxcox_lambda}, {"loglik", r.boxcox_loglik}};
  }
  return j;
}

// A float column with NaN values as nulls (an estimate that was not made).
kelp::Column nan_as_null(std::vector<double> values) {
  std::vector<bool> valid;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isnan(values[i])) continue;
    if (valid.empty()) valid.assign(values.size(), true);
    valid[i] = false;
  }
  return kelp::Column(std::move(values), std::move(valid));
}

}  // namespace

nlohmann::ordered_json SAEPred::to_dict() const {
  nlohmann::ordered_json j;
  j["area"] = area;
  j["pred"] = pred;
  j["mse"] = mse;
  j["cv"] = cv;
  j["lci"] = lci;
  j["uci"] = uci;
  j["indicator"] = indicator;
  if (!level.empty()) j["level"] = level;
  return j;
}

// ---------------------------------------------------------------------------
// Exports

nlohmann::ordered_json SAEResults::to_dict() const {
  nlohmann::ordered_json j;
  j["level"] = level_;
  j["y"] = y_;
  j["model_type"] = model_type_;
  j["stats"] = stats_json(stats_);
  j["fixed_effects"] = nlohmann::ordered_json::array();
  for (const auto& fe : fixed_effects_) j["fixed_effects"].push_back(fixed_effect_json(fe));
  j["random_effects"] = random_effect_json(random_effects_);
  j["prediction"] = nlohmann::ordered_json::array();
  for (const auto& p : prediction_) j["prediction"].push_back(p.to_dict());
  if (transformation_) j["transformation"] = transformation_json(*transformation_);
  if (diagnostics_) j["diagnostics"] = diagnostics_json(*diagnostics_);
  if (direct_) {
    j["direct"] = nlohmann::ordered_json::array();
    for (const auto& p : *direct_) j["direct"].push_back(p.to_dict());
  }
  return j;
}

kelp::Table SAEResults::to_table(std::string_view component) const {
  using kelp::Column;
  if (component == "fixed") {
    const auto n = fixed_effects_.size();
    std::vector<std::string> term;
    std::vector<double> est, se, t, p, lci, uci;
    term.reserve(n);
    for (const auto& fe : fixed_effects_) {
      term.push_back(fe.term);
      est.push_back(fe.est);
      se.push_back(fe.se);
      t.push_back(fe.t_score);
      p.push_back(fe.p_value);
      lci.push_back(fe.lci);
      uci.push_back(fe.uci);
    }
    return kelp::Table(
        std::vector<std::pair<std::string, Column>>{{"term", Column(std::move(term))},
                                                    {"est", Column(std::move(est))},
                                                    {"se", Column(std::move(se))},
                                                    {"t_score", Column(std::move(t))},
                                                    {"p_value", Column(std::move(p))},
                                                    {"lci", nan_as_null(std::move(lci))},
                                                    {"uci", nan_as_null(std::move(uci))}});
  }
  if (component == "predictions") {
    std::vector<std::string> area, indicator, level;
    std::vector<double> pred, mse, cv, lci, uci;
    const bool with_level = std::any_of(prediction_.begin(), prediction_.end(),
                                        [](const SAEPred& p) { return !p.level.empty(); });
    for (const auto& p : prediction_) {
      if (with_level) level.push_back(p.level);
      area.push_back(p.area);
      pred.push_back(p.pred);
      mse.push_back(p.mse);
      cv.push_back(p.cv);
      lci.push_back(p.lci);
      uci.push_back(p.uci);
      indicator.push_back(p.indicator);
    }
    std::vector<std::pair<std::string, Column>> columns{
        {"area", Column(std::move(area))},          {"pred", nan_as_null(std::move(pred))},
        {"mse", nan_as_null(std::move(mse))},       {"cv", nan_as_null(std::move(cv))},
        {"lci", nan_as_null(std::move(lci))},       {"uci", nan_as_null(std::move(uci))},
        {"indicator", Column(std::move(indicator))}};
    if (with_level) columns.emplace_back("level", Column(std::move(level)));
    return kelp::Table(std::move(columns));
  }
  if (component == "random") {
    const auto& r = random_effects_;
    return kelp::Table(std::vector<std::pair<std::string, Column>>{
        {"term", Column(std::vector<std::string>{term_text(r)})},
        {"dist", Column(std::vector<std::string>{r.dist})},
        {"est", Column(std::vector<double>{r.est})},
        {"se", Column(std::vector<double>{r.se})}});
  }
  throw std::invalid_argument(
      fmt::format("Invalid component {}. Expected one of ['fixed', 'predictions', 'random'].",
                  py_repr(component)));
}

}  // namespace kelp_sae
