#include "kelp_sae/models/direct.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "kelp/errors.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/core/logging.h"
#include "kelp_sae/kernels/mse/bootstrap_direct.h"
#include "kelp_sae/kernels/simulations/indicators.h"
#include "kelp_sae/models/common.h"
#include "kelp_sae/models/internal/spine.h"
#include "kelp_sae/models/unit_data.h"
#include "kelp_sae/random/keys.h"

namespace kelp_sae {
namespace {

namespace internal = models::internal;

constexpr const char* kFunction = "estimate_direct";
constexpr const char* kLogger = "kelp_sae.models.direct";
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum class VarianceChoice { kLinearization, kBootstrap, kNone };

bool is_poverty_measure(Indicator i) {
  return i == Indicator::POVERTY_HEADCOUNT || i == Indicator::POVERTY_GAP ||
         i == Indicator::POVERTY_SEVERITY;
}

// Linearised through the survey layer: the mean and the FGT measures, each
// the domain mean of one derived variable.
bool is_linearised(Indicator i) { return i == Indicator::MEAN || is_poverty_measure(i); }

std::vector<Indicator> resolve_indicators(const IndicatorList& list) {
  std::vector<Indicator> out;
  for (const IndicatorRequest& request : list.entries()) {
    if (const auto* f = std::get_if<NamedIndicator>(&request)) {
      throw ArgumentError(kFunction, "indicators",
                          "estimate_direct: indicators holds a function" +
                              (f->name.empty() ? std::string() : " '" + f->name + "'") +
                              "; direct estimates take built-in indicators only.");
    }
    if (const auto* i = std::get_if<Indicator>(&request)) {
      out.push_back(*i);
      continue;
    }
    try {
      out.push_back(from_string<Indicator>(std::get<std::string>(request)));
    } catch (const std::invalid_argument& e) {
      throw ArgumentError(kFunction, "indicators", std::string("estimate_direct: ") + e.what());
    }
  }
  if (out.empty()) {
    throw ArgumentError(kFunction, "indicators", "estimate_direct: no indicator requested.");
  }
  return out;
}

kelp::ModelError missing_values(const std::string& what, const std::string& column,
                                std::size_t count, std::size_t first_row) {
  return kelp::ModelError(
      {.title = "Missing values",
       .detail = fmt::format("Column '{}' holds {} {} (first at row {}); direct estimates need "
                             "a finite response and an area for every unit.",
                             column, count, what, first_row + 1)});
}

// Integer codes of the distinct texts of `keys`, in order of first sight.
std::vector<std::int32_t> code_texts(const std::vector<std::string>& keys,
                                     std::vector<std::string>* distinct = nullptr) {
  std::map<std::string, std::int32_t> codes;
  std::vector<std::int32_t> out(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const auto [it, added] = codes.try_emplace(keys[i], static_cast<std::int32_t>(codes.size()));
    if (added && distinct != nullptr) distinct->push_back(keys[i]);
    out[i] = it->second;
  }
  return out;
}

// The resampling design of the bootstrap: PSUs within strata with a design
// (Rao-Wu), units within areas without one.
struct Resampling {
  std::vector<std::int32_t> cluster, cluster_stratum;
  bool rescaled = true;
};

Resampling resampling(const kelp::Table& data, const kelp::Design& design,
                      const std::vector<std::int32_t>& area_code) {
  const std::size_t n = data.num_rows();
  Resampling r;
  if (!design.strata && !design.psu) {
    r.rescaled = false;
    r.cluster.resize(n);
    r.cluster_stratum.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      r.cluster[i] = static_cast<std::int32_t>(i);
      r.cluster_stratum[i] = area_code[i];
    }
    return r;
  }
  std::vector<std::string> stratum_key(n), psu_key(n);
  for (std::size_t i = 0; i < n; ++i) {
    stratum_key[i] = design.strata ? data.column(*design.strata).text(i) : std::string();
    // PSU labels are nested in strata; without PSUs every unit is its own.
    psu_key[i] = stratum_key[i] + '\x1f' +
                 (design.psu ? data.column(*design.psu).text(i) : std::to_string(i));
  }
  const std::vector<std::int32_t> stratum = code_texts(stratum_key);
  r.cluster = code_texts(psu_key);
  r.cluster_stratum.assign(
      static_cast<std::size_t>(*std::max_element(r.cluster.begin(), r.cluster.end()) + 1), 0);
  for (std::size_t i = 0; i < n; ++i) {
    r.cluster_stratum[static_cast<std::size_t>(r.cluster[i])] = stratum[i];
  }
  return r;
}

// Linearised variances (rows: `which`, columns: areas) of the domain means
// of the derived variables of the linearised indicators.
Eigen::MatrixXd linearised_variances(const kelp::Sample& sample, const std::vector<double>& y,
                                     const std::vector<std::string>& labels,
                                     const std::vector<std::string>& row_label,
                                     const std::vector<Indicator>& which, double z) {
  const std::string by = "kelp_sae.direct.area";
  kelp::Table table = sample.data().with_column(by, kelp::Column(row_label));
  Eigen::MatrixXd out(static_cast<Eigen::Index>(which.size()),
                      static_cast<Eigen::Index>(labels.size()));
  for (std::size_t k = 0; k < which.size(); ++k) {
    std::vector<double> v(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
      const double g = std::max(1.0 - y[i] / z, 0.0);
      switch (which[k]) {
        case Indicator::POVERTY_HEADCOUNT:
          v[i] = y[i] < z ? 1.0 : 0.0;
          break;
        case Indicator::POVERTY_GAP:
          v[i] = g;
          break;
        case Indicator::POVERTY_SEVERITY:
          v[i] = g * g;
          break;
        default:
          v[i] = y[i];
      }
    }
    const std::string name = "kelp_sae.direct.value";
    const kelp::Sample derived(table.with_column(name, kelp::Column(std::move(v))),
                               sample.design());
    const kelp::Estimate est = derived.estimation().mean({.y = name, .by = by});
    std::map<std::string, double> se;
    for (std::size_t d = 0; d < est.se().size(); ++d) se[est.by_level().text(d)] = est.se()[d];
    for (std::size_t a = 0; a < labels.size(); ++a) {
      const double s = se.at(labels[a]);
      out(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(a)) = s * s;
    }
  }
  return out;
}

}  // namespace

SAEResults estimate_direct(const kelp::Sample& sample, const std::string& y,
                           const std::string& area, const DirectOptions& options) {
  const auto logger = get_logger(kLogger);
  const auto choice = static_cast<VarianceChoice>(
      check_choice(kFunction, "var", options.var, {"linearization", "bootstrap", "none"}));
  const std::vector<Indicator> indicators = resolve_indicators(options.indicators);
  const bool poverty = std::any_of(indicators.begin(), indicators.end(), is_poverty_measure);
  const bool any_bootstrap = choice == VarianceChoice::kBootstrap ||
                             (choice == VarianceChoice::kLinearization &&
                              !std::all_of(indicators.begin(), indicators.end(), is_linearised));
  if (any_bootstrap) check_at_least(kFunction, "n_reps", options.n_reps, 2);
  if (options.threshold_share &&
      !(std::isfinite(*options.threshold_share) && *options.threshold_share > 0.0)) {
    throw_argument_error(kFunction, "threshold_share", "must be a positive finite share",
                         fmt::format("{}", *options.threshold_share));
  }
  const std::uint64_t seed =
      any_bootstrap ? internal::resolve_seed(kFunction, options.rstate, internal::ZeroSeed::kIsSeed)
                    : 0;

  // The units: response, weight and area of every row.
  const kelp::Table& data = sample.data();
  for (const std::string& column : {y, area}) {
    if (!data.has_column(column)) {
      throw kelp::ModelError({.title = "Missing columns",
                              .detail = "Column '" + column + "' is not in the sample.",
                              .code = "MISSING_COLUMN"});
    }
  }
  const std::size_t n = data.num_rows();
  if (n == 0) {
    throw kelp::ModelError({.title = "Empty dataset", .detail = "The sample has no rows."});
  }
  const Eigen::VectorXd y_col = models::numeric_column(data, y, "response");
  std::vector<double> y_values(y_col.data(), y_col.data() + n);
  const auto bad_y =
      std::find_if(y_values.begin(), y_values.end(), [](double v) { return !std::isfinite(v); });
  if (bad_y != y_values.end()) {
    throw missing_values(
        "missing or non-finite values", y,
        static_cast<std::size_t>(std::count_if(y_values.begin(), y_values.end(),
                                               [](double v) { return !std::isfinite(v); })),
        static_cast<std::size_t>(bad_y - y_values.begin()));
  }
  const AreaCoding coding = code_areas(data.column(area));
  if (coding.null_count > 0) {
    const auto first = std::find(coding.codes.begin(), coding.codes.end(), -1);
    throw missing_values("missing area labels", area, coding.null_count,
                         static_cast<std::size_t>(first - coding.codes.begin()));
  }
  std::vector<double> weights(n, 1.0);
  if (sample.design().weight) {
    const Eigen::VectorXd w = models::numeric_column(data, *sample.design().weight, "weight");
    weights.assign(w.data(), w.data() + n);
    // A sampled unit represents someone: a weight of 0 (or a negative or
    // non-finite one, which kelp::Sample already refuses) is a data error.
    const auto bad = [](double v) { return !(std::isfinite(v) && v > 0.0); };
    if (const auto first = std::find_if(weights.begin(), weights.end(), bad);
        first != weights.end()) {
      throw kelp::ModelError(
          {.title = "Invalid weights",
           .detail = fmt::format("Column '{}' holds {} weights that are not positive and finite "
                                 "(first at row {}); every sampled unit needs a positive design "
                                 "weight.",
                                 *sample.design().weight,
                                 std::count_if(weights.begin(), weights.end(), bad),
                                 first - weights.begin() + 1)});
    }
  }
  const auto m = static_cast<std::int32_t>(coding.labels.size());
  std::vector<std::size_t> area_units(coding.labels.size(), 0);
  for (std::size_t i = 0; i < n; ++i) ++area_units[static_cast<std::size_t>(coding.codes[i])];
  const kernels::DirectSample units{
      .y = y_values, .weights = weights, .area = coding.codes, .n_areas = m};

  // The poverty line.
  const double z = options.threshold_share
                       ? *options.threshold_share * kernels::weighted_median(y_values, weights)
                       : options.threshold;
  if (poverty && !(std::isfinite(z) && z > 0.0)) {
    throw_argument_error(kFunction, "threshold",
                         "must be a positive finite poverty line when a poverty measure is "
                         "requested",
                         fmt::format("{}", z));
  }
  const std::vector<kernels::IndicatorEntry> entries(indicators.begin(), indicators.end());
  const kernels::IndicatorSet set(entries, z);
  const Eigen::MatrixXd estimates = kernels::direct_area_indicators(units, set);

  // Variances.
  const std::size_t k = indicators.size();
  Eigen::MatrixXd variances = Eigen::MatrixXd::Constant(static_cast<Eigen::Index>(k), m, kNaN);
  if (choice != VarianceChoice::kNone) {
    std::vector<Indicator> linearised, bootstrapped;
    std::vector<std::size_t> linearised_at, bootstrapped_at;
    for (std::size_t j = 0; j < k; ++j) {
      if (choice == VarianceChoice::kLinearization && is_linearised(indicators[j])) {
        linearised.push_back(indicators[j]);
        linearised_at.push_back(j);
      } else {
        bootstrapped.push_back(indicators[j]);
        bootstrapped_at.push_back(j);
      }
    }
    if (!linearised.empty()) {
      std::vector<std::string> row_label(n);
      for (std::size_t i = 0; i < n; ++i) {
        row_label[i] = coding.labels[static_cast<std::size_t>(coding.codes[i])];
      }
      const Eigen::MatrixXd v =
          linearised_variances(sample, y_values, coding.labels, row_label, linearised, z);
      for (std::size_t j = 0; j < linearised.size(); ++j) {
        variances.row(static_cast<Eigen::Index>(linearised_at[j])) =
            v.row(static_cast<Eigen::Index>(j));
      }
    }
    if (!bootstrapped.empty()) {
      const Resampling r = resampling(data, sample.design(), coding.codes);
      const std::vector<kernels::IndicatorEntry> boot_entries(bootstrapped.begin(),
                                                              bootstrapped.end());
      kernels::DirectPovertyLine line{.value = z};
      if (options.threshold_share) line.median_share = *options.threshold_share;
      const Eigen::MatrixXd v = kernels::bootstrap_direct_variance(
          random::key_from_seed(seed), options.n_reps, units,
          {.cluster = r.cluster, .cluster_stratum = r.cluster_stratum, .rescaled = r.rescaled},
          boot_entries, line);
      for (std::size_t j = 0; j < bootstrapped.size(); ++j) {
        variances.row(static_cast<Eigen::Index>(bootstrapped_at[j])) =
            v.row(static_cast<Eigen::Index>(j));
      }
    }
    // One unit says nothing about the spread.
    std::size_t single = 0;
    std::string first_single;
    for (std::size_t a = 0; a < area_units.size(); ++a) {
      if (area_units[a] != 1) continue;
      if (single++ == 0) first_single = coding.labels[a];
      variances.col(static_cast<Eigen::Index>(a)).setConstant(kNaN);
    }
    if (single > 0) {
      logger.warning(
          "{} area{} with a single sampled unit (first: '{}'): no variance is estimated for {}.",
          single, single == 1 ? "" : "s", first_single, single == 1 ? "it" : "them");
    }
  }

  // Rows per area, then indicator.
  std::vector<std::vector<SAEPred>> per_indicator;
  for (std::size_t j = 0; j < k; ++j) {
    per_indicator.push_back(internal::prediction_rows(
        coding.labels, estimates.row(static_cast<Eigen::Index>(j)).transpose(),
        variances.row(static_cast<Eigen::Index>(j)).transpose(),
        internal::CvRule::kPositivePrediction, std::string(to_string(indicators[j]))));
  }
  std::vector<SAEPred> rows;
  rows.reserve(k * coding.labels.size());
  for (std::size_t a = 0; a < coding.labels.size(); ++a) {
    for (std::size_t j = 0; j < k; ++j) rows.push_back(per_indicator[j][a]);
  }
  SAEStats stats{
      .method = "Direct", .n_obs = static_cast<long long>(n), .n_areas = static_cast<long long>(m)};
  SAEResults result("Unit Level", y, "Direct", std::move(stats), {},
                    RandomEffect{.term = "Area", .dist = "None"}, std::move(rows));
  result.set_transformation(TransformationInfo{.transformation = "none", .poverty_line = z});
  return result;
}

}  // namespace kelp_sae
