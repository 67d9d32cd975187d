// UnitLevel::ebp through its public interface: options and their messages,
// indicator resolution, the poverty line, point estimates without the
// bootstrap, categorical terms on the census, determinism. The numbers of the
// kernels are checked beside the kernels.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "kelp/errors.h"
#include "kelp_sae/core/logging.h"
#include "kelp_sae/models/direct.h"
#include "kelp_sae/models/unit.h"
#include "tests/support/expect_error.h"

namespace kelp_sae {
namespace {

using kelp::Column;
using kelp::Table;
using kelp_sae::testing::thrown_message;
using kelp_sae::testing::thrown_model_error;
using ::testing::HasSubstr;

// Log-normal incomes under a nested-error model on the log scale: areas
// 1..8 sampled (12 units each), the census holds areas 1..10 (60 units each,
// so 9 and 10 have no sample). Gender is text in both tables.
struct IncomeData {
  Table sample;
  Table census;
};

IncomeData income_data() {
  std::mt19937_64 rng(20261208);
  std::normal_distribution<double> normal;
  std::uniform_real_distribution<double> uniform;
  const auto make = [&](int areas, int units, bool with_y) {
    std::vector<std::int64_t> area;
    std::vector<double> x, y;
    std::vector<std::string> gender;
    for (int a = 1; a <= areas; ++a) {
      const double u = 0.3 * normal(rng);
      for (int j = 0; j < units; ++j) {
        area.push_back(a);
        x.push_back(uniform(rng) * 4.0);
        gender.push_back(uniform(rng) < 0.5 ? "female" : "male");
        y.push_back(std::exp(2.0 + 0.3 * x.back() + (gender.back() == "male" ? 0.2 : 0.0) + u +
                             0.5 * normal(rng)));
      }
    }
    std::vector<std::pair<std::string, Column>> cols{{"area", Column(area)}, {"x", Column(x)}};
    if (with_y) cols.emplace_back("income", Column(y));
    cols.emplace_back("gender", Column(gender));
    return Table(std::move(cols));
  };
  IncomeData d;
  d.sample = make(8, 12, true);
  d.census = make(10, 60, false);
  return d;
}

const TermList kTerms{"x", kelp::Cat{"gender"}};

EbpOptions quick(EbpOptions o = {}) {
  o.n_mc = 10;
  o.run.n_reps = 3;
  o.run.rstate = 11;
  o.run.progress_bar = false;
  static std::ostringstream sink;
  o.run.progress_out = &sink;
  return o;
}

// Untransformed, the Mean EBP of an area is the mean of x_j' beta over its
// census units plus u_hat (gamma times the mean sample residual; 0 without
// sample): the Monte Carlo mean must agree within 4 of its standard errors
// sqrt((sigma_u^2 (1 - gamma) + sigma_e^2 / N_a) / n_mc).
TEST(UnitLevelEbp, UntransformedMeanAgreesWithTheClosedForm) {
  const IncomeData d = income_data();
  std::vector<double> log_income;
  for (double v : d.sample.column("income").float_values()) log_income.push_back(std::log(v));
  const Table sample = d.sample.with_column("log_income", Column(log_income));
  constexpr int kMc = 400;
  EbpOptions options =
      quick({.transformation = "none", .indicators = Indicator::MEAN, .mse = false});
  options.n_mc = kMc;
  const SAEResults r = UnitLevel(sample).ebp("log_income", kTerms, "area", d.census, options);
  ASSERT_EQ(r.fixed_effects().size(), 3u);
  const double b0 = r.fixed_effects()[0].est;
  const double b1 = r.fixed_effects()[1].est;
  const double b2 = r.fixed_effects()[2].est;
  const double su2 = r.stats().sigma_u * r.stats().sigma_u;
  const double se2 = r.stats().sigma_e * r.stats().sigma_e;
  const auto fitted = [&](const Table& t, std::size_t i) {
    return b0 + b1 * t.column("x").float_values()[i] +
           b2 * (t.column("gender").text_values()[i] == "male" ? 1.0 : 0.0);
  };
  std::map<std::string, double> residual_sum, n_smp, xb_sum, n_pop;
  for (std::size_t i = 0; i < sample.num_rows(); ++i) {
    const std::string a = std::to_string(sample.column("area").int_values()[i]);
    residual_sum[a] += log_income[i] - fitted(sample, i);
    n_smp[a] += 1.0;
  }
  for (std::size_t i = 0; i < d.census.num_rows(); ++i) {
    const std::string a = std::to_string(d.census.column("area").int_values()[i]);
    xb_sum[a] += fitted(d.census, i);
    n_pop[a] += 1.0;
  }
  ASSERT_EQ(r.prediction().size(), 10u);
  for (const SAEPred& p : r.prediction()) {
    SCOPED_TRACE(p.area);
    const double n_a = n_smp[p.area];
    const double gamma = n_a > 0 ? su2 / (su2 + se2 / n_a) : 0.0;
    const double u_hat = n_a > 0 ? gamma * residual_sum[p.area] / n_a : 0.0;
    const double expected = xb_sum[p.area] / n_pop[p.area] + u_hat;
    const double mc_se = std::sqrt((su2 * (1.0 - gamma) + se2 / n_pop[p.area]) / kMc);
    EXPECT_NEAR(p.pred, expected, 4.0 * mc_se);
  }
}

TEST(UnitLevelEbp, ArgumentErrorsNameTheOption) {
  const IncomeData d = income_data();
  const UnitLevel model(d.sample);
  struct Case {
    const char* name;
    std::function<void(EbpOptions&)> edit;
    std::string message;
  };
  const Case cases[] = {
      {"transformation", [](EbpOptions& o) { o.transformation = "cubic"; },
       "ebp: transformation must be 'boxcox', 'log', 'none', 'Box-Cox', 'Log' or 'None'; got "
       "'cubic'."},
      {"n_mc", [](EbpOptions& o) { o.n_mc = 0; }, "ebp: n_mc must be at least 1; got 0."},
      {"n_reps", [](EbpOptions& o) { o.run.n_reps = 0; }, "ebp: n_reps must be at least 1; got 0."},
      {"batch_size", [](EbpOptions& o) { o.run.batch_size = -1; },
       "ebp: batch_size must be at least 1; got -1."},
      {"bounds empty",
       [](EbpOptions& o) {
         o.boxcox_bounds = {1.0, 1.0};
       },
       "ebp: boxcox_bounds must be a finite interval (lower, upper) with lower < upper; got (1, "
       "1)."},
      {"bounds inverted",
       [](EbpOptions& o) {
         o.boxcox_bounds = {2.0, -2.0};
       },
       "ebp: boxcox_bounds must be a finite interval (lower, upper) with lower < upper; got (2, "
       "-2)."},
      {"only an unknown text", [](EbpOptions& o) { o.indicators = {"Theil Index"}; },
       "No valid indicators resolved. Please check 'indicators' argument."},
      {"zero line", [](EbpOptions& o) { o.threshold = 0.0; },
       "ebp: threshold must be a positive finite poverty line when a poverty measure is "
       "requested; got 0."},
      {"NaN line",
       [](EbpOptions& o) { o.threshold = [](std::span<const double>) { return std::nan(""); }; },
       "ebp: threshold must be a positive finite poverty line when a poverty measure is "
       "requested; got nan."},
      {"custom indicator with population weights",
       [](EbpOptions& o) {
         o.indicators = {Indicator::MEAN, NamedIndicator{"top", [](std::span<const double>,
                                                                   double) { return 0.0; }}};
         o.pop_weights = "x";
       },
       "ebp: caller-supplied indicators are not supported with population weights "
       "(pop_weights): a function of the values alone cannot weight them."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EbpOptions o = quick();
    c.edit(o);
    EXPECT_EQ(thrown_message<std::invalid_argument>(
                  [&] { model.ebp("income", kTerms, "area", d.census, o); }),
              c.message);
  }
  // No poverty measure: any line will do.
  EXPECT_NO_THROW(
      model.ebp("income", kTerms, "area", d.census,
                quick({.indicators = Indicator::MEAN, .threshold = -1.0, .mse = false})));
}

TEST(UnitLevelEbp, ModelErrorsGiveTitleAndDetail) {
  const IncomeData d = income_data();
  Table with_null =
      d.sample.with_column("income", Column(std::vector<double>(d.sample.num_rows(), 1.0),
                                            std::vector<bool>(d.sample.num_rows(), false)));
  Table negative = d.sample.with_column("income", Column([&] {
                                          std::vector<double> v =
                                              d.sample.column("income").float_values();
                                          v[0] = -5.0;
                                          v[1] = 0.0;
                                          return v;
                                        }()));
  Table census_other_level = d.census.with_column("gender", Column([&] {
                                                    auto v =
                                                        d.census.column("gender").text_values();
                                                    v[7] = "other";
                                                    return v;
                                                  }()));
  struct Case {
    const char* name;
    Table sample;
    Table census;
    EbpOptions options;
    std::string title;
    std::string detail;  // prefix
  };
  const Case cases[] = {
      {"sample column", d.sample.select({"area", "x", "gender"}), d.census, quick(),
       "Missing Sample Columns", ""},
      {"empty", with_null, d.census, quick({.drop_nulls = true}), "Empty Dataset",
       "Sample data is empty after dropping nulls."},
      {"NaN", with_null, d.census, quick(), "Input data contains NaNs",
       "Missing values found in 'y' or predictor variables. Ensure 'drop_nulls=True' or clean "
       "your data manually."},
      {"census column", d.sample, d.census.select({"area", "gender"}), quick(),
       "Missing Population Columns",
       "Population data is missing columns required by the model formula: "},
      {"log", negative, d.census, quick({.transformation = "LOG"}), "Non-positive response",
       "2 of 96 rows of 'income' are not positive after the shift of 0; the log transformation "
       "needs positive values. Set transform_shift to move the response above 0."},
      {"Box-Cox", negative, d.census, quick(), "Non-positive response",
       "2 of 96 rows of 'income' are not positive after the shift of 0; the Box-Cox "
       "transformation needs positive values. Set transform_shift to move the response above "
       "0."},
      {"unseen level", d.sample, census_other_level, quick(), "Unknown Category Level",
       "Population column 'gender' holds the level 'other', which the sample does not have; the "
       "model has no coefficient for it."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const kelp::ModelError e = thrown_model_error(
        [&] { UnitLevel(c.sample).ebp("income", kTerms, "area", c.census, c.options); });
    EXPECT_EQ(e.title(), c.title);
    EXPECT_EQ(e.detail().substr(0, c.detail.size()), c.detail);
  }
  // The shift that makes the response positive lets the log fit run.
  EXPECT_NO_THROW(UnitLevel(negative).ebp(
      "income", kTerms, "area", d.census,
      quick({.transformation = "log", .transform_shift = 6.0, .mse = false})));
}

TEST(UnitLevelEbp, TransformationTextsAndTheResultBlock) {
  const IncomeData d = income_data();
  const UnitLevel model(d.sample);
  struct Case {
    const char* text;
    const char* canonical;
  };
  for (const Case c : {Case{"Box-Cox", "boxcox"}, Case{"BOXCOX", "boxcox"}, Case{"Log", "log"},
                       Case{"none", "none"}}) {
    SCOPED_TRACE(c.text);
    const SAEResults r = model.ebp("income", kTerms, "area", d.census,
                                   quick({.transformation = c.text, .mse = false}));
    EXPECT_EQ(r.model_type(), std::string("EBP (") + c.canonical + ")");
    ASSERT_TRUE(r.transformation().has_value());
    EXPECT_EQ(r.transformation()->transformation, c.canonical);
    EXPECT_EQ(std::isnan(r.transformation()->lambda), std::string(c.canonical) != "boxcox");
    EXPECT_EQ(r.to_dict()["transformation"]["transformation"], c.canonical);
  }
  // The log response is Box-Cox with lambda near 0: the estimate finds it.
  const SAEResults r = model.ebp("income", kTerms, "area", d.census, quick({.mse = false}));
  EXPECT_NEAR(r.transformation()->lambda, 0.0, 0.3);
  const SAEResults fixed =
      model.ebp("income", kTerms, "area", d.census, quick({.boxcox_param = 0.25, .mse = false}));
  EXPECT_EQ(fixed.transformation()->lambda, 0.25);

  // The profile likelihood of lambda only when it was estimated, highest
  // near the estimate.
  const Diagnostics& diag = *r.diagnostics();
  ASSERT_EQ(diag.boxcox_lambda.size(), 31u);
  const auto best = std::max_element(diag.boxcox_loglik.begin(), diag.boxcox_loglik.end());
  EXPECT_NEAR(diag.boxcox_lambda[static_cast<std::size_t>(best - diag.boxcox_loglik.begin())],
              r.transformation()->lambda, 4.0 / 30.0);
  EXPECT_TRUE(fixed.diagnostics()->boxcox_lambda.empty());
  EXPECT_TRUE(r.to_dict()["diagnostics"].contains("boxcox_profile"));
  EXPECT_FALSE(fixed.to_dict()["diagnostics"].contains("boxcox_profile"));
}

TEST(UnitLevelEbp, IndicatorResolution) {
  const IncomeData d = income_data();
  const UnitLevel model(d.sample);
  const auto max_fn = [](std::span<const double> y, double) {
    return y.empty() ? 0.0 : *std::max_element(y.begin(), y.end());
  };
  const auto names_of = [](const SAEResults& r, std::size_t per_area) {
    std::vector<std::string> names;
    for (std::size_t k = 0; k < per_area; ++k) names.push_back(r.prediction()[k].indicator);
    return names;
  };
  LogCapture log("kelp_sae.models.unit");
  {
    const SAEResults r = model.ebp("income", kTerms, "area", d.census,
                                   quick({.indicators = Indicator::GINI, .mse = false}));
    ASSERT_EQ(r.prediction().size(), 10u);
    EXPECT_EQ(r.prediction()[3].indicator, "Gini Coefficient");
  }
  {
    // The quantiles in the Monte Carlo and the bootstrap: ordered in every
    // area, with estimated MSEs.
    const SAEResults r =
        model.ebp("income", kTerms, "area", d.census,
                  quick({.indicators = {Indicator::QUANTILE_10, Indicator::QUANTILE_25, "Median",
                                        Indicator::QUANTILE_75, Indicator::QUANTILE_90}}));
    ASSERT_EQ(r.prediction().size(), 50u);
    EXPECT_EQ(names_of(r, 5), (std::vector<std::string>{"Quantile 10", "Quantile 25", "Median",
                                                        "Quantile 75", "Quantile 90"}));
    for (std::size_t i = 0; i < r.prediction().size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_TRUE(std::isfinite(r.prediction()[i].mse) && r.prediction()[i].mse > 0.0);
      if (i % 5 != 0) {
        EXPECT_LT(r.prediction()[i - 1].pred, r.prediction()[i].pred);
      }
    }
  }
  {
    const SAEResults r = model.ebp(
        "income", kTerms, "area", d.census,
        quick({.indicators = {NamedIndicator{"", max_fn}, NamedIndicator{"", max_fn}, "Mean",
                              "Theil Index", "mean", NamedIndicator{"top", max_fn},
                              NamedIndicator{"", max_fn}, Indicator::MEAN},
               .mse = false}));
    ASSERT_EQ(r.prediction().size(), 60u);
    EXPECT_EQ(names_of(r, 6), (std::vector<std::string>{"custom_0", "custom_1", "Mean", "top",
                                                        "custom_4", "Mean"}));
    // Duplicates are kept, with equal predictions.
    EXPECT_EQ(r.prediction()[2].pred, r.prediction()[5].pred);
    EXPECT_EQ(r.prediction()[0].pred, r.prediction()[3].pred);
  }
  EXPECT_THAT(log.text(),
              HasSubstr("warning|Indicator 'Theil Index' not found in registry. Skipping."));
  EXPECT_THAT(log.text(), HasSubstr("warning|Indicator 'mean' not found in registry. Skipping."));
}

TEST(UnitLevelEbp, PovertyLineFunctionSeesTheUnshiftedResponse) {
  const IncomeData d = income_data();
  const UnitLevel model(d.sample);
  double sum = 0.0;
  std::size_t count = 0;
  const SAEResults r = model.ebp("income", kTerms, "area", d.census,
                                 quick({.transform_shift = 100.0,
                                        .threshold =
                                            [&](std::span<const double> y) {
                                              count = y.size();
                                              for (double v : y) sum += v;
                                              return 12.5;
                                            },
                                        .mse = false}));
  const std::vector<double>& income = d.sample.column("income").float_values();
  double expected = 0.0;
  for (double v : income) expected += v;
  EXPECT_EQ(count, income.size());
  EXPECT_NEAR(sum, expected, 1e-9 * expected);
  EXPECT_EQ(r.transformation()->poverty_line, 12.5);
  EXPECT_EQ(r.transformation()->shift, 100.0);
}

TEST(UnitLevelEbp, WithoutMseTheUncertaintyIsNotEstimated) {
  const IncomeData d = income_data();
  const UnitLevel model(d.sample);
  LogCapture log("kelp_sae.models.unit");
  set_log_level(LogLevel::kInfo);
  const SAEResults with =
      model.ebp("income", kTerms, "area", d.census,
                quick({.threshold = 12.0, .run = {.n_reps = 3, .batch_size = 2}}));
  set_log_level(LogLevel::kWarning);
  const SAEResults without =
      model.ebp("income", kTerms, "area", d.census, quick({.threshold = 12.0, .mse = false}));
  EXPECT_THAT(log.text(), HasSubstr("info|Running bootstrap with 3 reps (Batch=2)..."));
  set_log_level(LogLevel::kInfo);
  model.ebp("income", kTerms, "area", d.census,
            quick({.threshold = 12.0, .run = {.batch_size = 100000}}));
  set_log_level(LogLevel::kWarning);
  EXPECT_THAT(log.text(), HasSubstr("info|Running bootstrap with 3 reps (Batch=3)..."));

  ASSERT_EQ(with.prediction().size(), without.prediction().size());
  for (std::size_t i = 0; i < with.prediction().size(); ++i) {
    const SAEPred& a = with.prediction()[i];
    const SAEPred& b = without.prediction()[i];
    EXPECT_EQ(a.pred, b.pred);  // the Monte Carlo key does not depend on the bootstrap
    EXPECT_TRUE(std::isfinite(a.mse) && a.mse > 0.0);
    EXPECT_TRUE(std::isnan(b.mse) && std::isnan(b.cv) && std::isnan(b.lci) && std::isnan(b.uci));
  }
  const Table preds = without.to_table("predictions");
  EXPECT_EQ(preds.column("mse").null_count(), preds.num_rows());
  EXPECT_EQ(preds.column("pred").null_count(), 0u);
  EXPECT_EQ(without.to_dict()["prediction"][0]["mse"].dump(), "null");
  // Areas 9 and 10 have no sample and still get rows; 10 areas x 2 indicators.
  EXPECT_EQ(without.stats().n_areas, 10);
  EXPECT_EQ(without.prediction().back().area, "9");
}

TEST(UnitLevelEbp, RecordsOfPopulationWeightZeroCountForNothing) {
  // Weight 1 on the first 40 records of every area and 0 on its last 20:
  // the remaining records keep their Monte Carlo draws (a unit's draw follows
  // its position in the area), so the EBPs equal those of the census cut to
  // the first 40 records, to rounding.
  const IncomeData d = income_data();
  std::vector<std::int64_t> hh;
  std::vector<std::size_t> kept;
  for (std::size_t i = 0; i < d.census.num_rows(); ++i) {
    hh.push_back(i % 60 < 40 ? 1 : 0);
    if (i % 60 < 40) kept.push_back(i);
  }
  const Table weighted = d.census.with_column("hh", Column(hh));
  const Table cut = d.census.take(kept);
  const UnitLevel model(d.sample);
  EbpOptions options = quick({.indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT,
                                             Indicator::GINI, Indicator::QSR},
                              .threshold = 12.0,
                              .mse = false});
  const SAEResults plain = model.ebp("income", kTerms, "area", cut, options);
  options.pop_weights = "hh";
  const SAEResults got = model.ebp("income", kTerms, "area", weighted, options);
  ASSERT_EQ(got.prediction().size(), plain.prediction().size());
  for (std::size_t i = 0; i < got.prediction().size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(got.prediction()[i].pred, plain.prediction()[i].pred,
                1e-12 * std::fabs(plain.prediction()[i].pred));
  }
  // The bootstrap runs over the weighted census too.
  options.mse = true;
  const SAEResults with_mse = model.ebp("income", kTerms, "area", weighted, options);
  for (const SAEPred& p : with_mse.prediction()) {
    EXPECT_TRUE(std::isfinite(p.mse) && p.mse > 0.0) << p.area << " " << p.indicator;
  }
}

TEST(UnitLevelEbp, RegionalAggregatesPoolTheirAreas) {
  // Area 3 alone in region "c", the other odd areas in "a", the even ones in
  // "b"; households of 1 to 3 persons. A region's mean and headcount are the
  // person-weighted averages of its areas' (the same draws); a region of one
  // area is that area, MSE included; the area rows do not change.
  const IncomeData d = income_data();
  std::vector<std::int64_t> hh;
  std::vector<std::string> region;
  for (std::size_t i = 0; i < d.census.num_rows(); ++i) {
    hh.push_back(1 + std::int64_t(i % 3));
    const std::int64_t a = d.census.column("area").int_values()[i];
    region.push_back(a == 3 ? "c" : (a % 2 == 1 ? "a" : "b"));
  }
  const Table census = d.census.with_column("hh", Column(hh)).with_column("region", Column(region));
  const UnitLevel model(d.sample);
  EbpOptions options =
      quick({.indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::GINI},
             .threshold = 12.0});
  options.pop_weights = "hh";
  const SAEResults areas = model.ebp("income", kTerms, "area", census, options);
  options.aggregate_to = "region";
  const SAEResults got = model.ebp("income", kTerms, "area", census, options);
  const std::vector<SAEPred>& p = got.prediction();
  ASSERT_EQ(p.size(), 13u * 3u);
  std::map<std::string, double> persons;  // per area label
  for (std::size_t i = 0; i < census.num_rows(); ++i) {
    persons[std::to_string(census.column("area").int_values()[i])] += double(hh[i]);
  }
  std::map<std::string, std::map<std::string, const SAEPred*>> row;  // [level label][indicator]
  for (std::size_t i = 0; i < p.size(); ++i) {
    SCOPED_TRACE(i);
    if (i < 30) {
      EXPECT_EQ(p[i].level, "area");
      EXPECT_EQ(p[i].pred, areas.prediction()[i].pred);
      EXPECT_EQ(p[i].mse, areas.prediction()[i].mse);
    } else {
      EXPECT_EQ(p[i].level, "region");
    }
    row[p[i].level + " " + p[i].area][p[i].indicator] = &p[i];
  }
  for (const std::string indicator : {"Mean", "Poverty Headcount"}) {
    for (const auto& [label, odd] : {std::pair<std::string, int>{"a", 1}, {"b", 0}}) {
      SCOPED_TRACE(indicator + " " + label);
      double total = 0.0, weight = 0.0;
      for (int a = 1; a <= 10; ++a) {
        if (a == 3 || a % 2 != odd) continue;
        const std::string area = std::to_string(a);
        total += persons[area] * row["area " + area][indicator]->pred;
        weight += persons[area];
      }
      ASSERT_NE(row["region " + label][indicator], nullptr);
      EXPECT_NEAR(row["region " + label][indicator]->pred, total / weight, 1e-12 * total / weight);
    }
  }
  for (const auto& [indicator, alone] : row["region c"]) {
    SCOPED_TRACE(indicator);
    const SAEPred* area = row["area 3"][indicator];
    EXPECT_NEAR(alone->pred, area->pred, 1e-12 * std::fabs(area->pred));
    EXPECT_NEAR(alone->mse, area->mse, 1e-9 * area->mse);
  }
  // An area whose records carry two regions is refused, by name.
  std::vector<std::string> split = region;
  split[4 * 60 + 7] = "b";  // a record of area 5
  const kelp::ModelError e = thrown_model_error([&] {
    model.ebp("income", kTerms, "area", census.with_column("region", Column(split)), options);
  });
  EXPECT_EQ(e.title(), "Area in two regions");
  EXPECT_THAT(e.detail(), HasSubstr("Census area '5' lies in two regions of 'region'"));
}

TEST(UnitLevelEbp, SampledAreasMissingFromTheCensusStillEnterTheRefit) {
  // 40 sampled areas, a census of only the first 4 of them: the bootstrap
  // refits on the whole sample, so the MSEs of those 4 areas are those of
  // the run whose census holds all 40 areas. The two runs share every draw
  // of the 4 areas (same census rows and sample rows, keys by position) and
  // differ only in the other areas' effects, whose influence on the refit is
  // small: over 200 replicates the MSEs agree within 2%. A refit on the 4
  // areas' 32 units alone gives MSEs 16-73% larger.
  std::mt19937_64 rng(7);
  std::normal_distribution<double> normal;
  const auto make = [&](int areas, int units, bool with_y) {
    std::vector<std::string> area;
    std::vector<double> x, y;
    for (int a = 0; a < areas; ++a) {
      const double u = 0.4 * normal(rng);
      for (int j = 0; j < units; ++j) {
        area.push_back(fmt::format("a{:02}", a));
        x.push_back(normal(rng));
        y.push_back(std::exp(2.0 + 0.5 * x.back() + u + 0.5 * normal(rng)));
      }
    }
    std::vector<std::pair<std::string, Column>> cols{{"area", Column(area)}, {"x", Column(x)}};
    if (with_y) cols.emplace_back("income", Column(y));
    return Table(std::move(cols));
  };
  const Table sample = make(40, 8, true);
  const Table census = make(40, 40, false);
  std::vector<std::size_t> first_four(160);
  std::iota(first_four.begin(), first_four.end(), 0);
  const Table small_census = census.take(first_four);

  EbpOptions options =
      quick({.transformation = "log",
             .indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::GINI},
             .threshold = 6.0,
             .run = {.batch_size = 10}});
  options.run.n_reps = 200;
  LogCapture log("kelp_sae.models.unit");
  const SAEResults all = UnitLevel(sample).ebp("income", {"x"}, "area", census, options);
  const SAEResults four = UnitLevel(sample).ebp("income", {"x"}, "area", small_census, options);
  ASSERT_EQ(four.prediction().size(), 12u);
  for (std::size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    double sum_all = 0.0, sum_four = 0.0;
    for (std::size_t a = 0; a < 4; ++a) {
      EXPECT_EQ(four.prediction()[3 * a + k].area, all.prediction()[3 * a + k].area);
      sum_all += all.prediction()[3 * a + k].mse;
      sum_four += four.prediction()[3 * a + k].mse;
    }
    EXPECT_NEAR(sum_four / sum_all, 1.0, 0.05);
  }
  EXPECT_THAT(log.text(), HasSubstr("warning|Bootstrap: 36 sample areas were not found in the "
                                    "population data. They are used in the MSE refitting step "
                                    "and get no prediction."));
}

TEST(UnitLevelEbp, NonFiniteResultsAreAnErrorAfterOneWarning) {
  const IncomeData d = income_data();
  const auto nan_fn = [](std::span<const double>, double) { return std::nan(""); };
  LogCapture log("kelp_sae.models.unit");
  const kelp::ModelError e = thrown_model_error([&] {
    UnitLevel(d.sample).ebp(
        "income", kTerms, "area", d.census,
        quick({.indicators = {Indicator::MEAN, NamedIndicator{"broken", nan_fn}},
               .run = {.n_reps = 3}}));
  });
  EXPECT_EQ(e.title(), "Non-finite results");
  EXPECT_THAT(e.detail(), ::testing::StartsWith(
                              "broken: 10 of 10 areas have a non-finite prediction or MSE ('1', "
                              "'10', '2', '3', '4' and 5 more). 3 of 3 bootstrap replicates gave "
                              "non-finite values. Likely cause: "));
  const std::string warning =
      "warning|Bootstrap: 3 of 3 replicates gave non-finite values; the MSE of the indicators "
      "they touch is not finite.";
  EXPECT_THAT(log.text(), HasSubstr(warning));
  EXPECT_EQ(log.text().find(warning), log.text().rfind(warning));
}

TEST(UnitLevelEbp, GiniAndQsrOfNegativeTotalsAreNotEstimated) {
  // Untransformed negative incomes: every simulated total is negative, so
  // the Gini coefficient and the quintile share ratio are undefined (not 0);
  // the mean is estimated as usual.
  const IncomeData d = income_data();
  std::vector<double> negative = d.sample.column("income").float_values();
  for (double& v : negative) v = -v;
  const Table sample = d.sample.with_column("income", Column(negative));
  LogCapture log("kelp_sae.models.unit");
  const SAEResults r = UnitLevel(sample).ebp(
      "income", kTerms, "area", d.census,
      quick({.transformation = "none",
             .indicators = {Indicator::MEAN, Indicator::GINI, Indicator::QSR}}));
  ASSERT_EQ(r.prediction().size(), 30u);
  for (const SAEPred& p : r.prediction()) {
    SCOPED_TRACE(p.indicator);
    const bool mean = p.indicator == "Mean";
    EXPECT_EQ(std::isfinite(p.pred), mean);
    EXPECT_EQ(std::isfinite(p.mse), mean);
    EXPECT_EQ(std::isnan(p.cv), !mean);
  }
  EXPECT_EQ(r.to_dict()["prediction"][1]["pred"].dump(), "null");
  for (const std::string warning :
       {"warning|Gini Coefficient: not estimated for 10 of 10 areas (a non-positive total in a "
        "simulated population); left empty.",
        "warning|Quintile Share Ratio: not estimated for 10 of 10 areas (a non-positive "
        "bottom-quintile total in a simulated population); left empty."}) {
    EXPECT_THAT(log.text(), HasSubstr(warning));
    EXPECT_EQ(log.text().find(warning), log.text().rfind(warning));
  }
}

TEST(UnitLevelEbp, AThrowingIndicatorEndsTheCallWithItsError) {
  const IncomeData d = income_data();
  const auto throwing = [](std::span<const double>, double) -> double {
    throw std::runtime_error("indicator failed");
  };
  // Small enough that the kernels run on the calling thread (the parallel
  // paths are checked beside the kernels).
  for (const bool mse : {false, true}) {
    SCOPED_TRACE(mse);
    EbpOptions o = quick({.indicators = NamedIndicator{"throws", throwing}, .mse = mse});
    EXPECT_EQ(thrown_message<std::runtime_error>(
                  [&] { UnitLevel(d.sample).ebp("income", kTerms, "area", d.census, o); }),
              "indicator failed");
  }
}

TEST(UnitLevelEbp, APovertyLineOutsideTheResponseIsWarnedAbout) {
  const IncomeData d = income_data();
  struct Case {
    double line;
    std::string warning;  // empty: none
  };
  for (const Case& c :
       {Case{0.6,
             "warning|The poverty line 0.6 lies below every sample response of 'income' "
             "(from "},
        Case{1e6,
             "warning|The poverty line 1000000 lies above every sample response of "
             "'income' (from "},
        Case{12.0, ""}}) {
    SCOPED_TRACE(c.line);
    LogCapture log("kelp_sae.models.unit");
    UnitLevel(d.sample).ebp("income", kTerms, "area", d.census,
                            quick({.threshold = c.line, .mse = false}));
    if (c.warning.empty()) {
      EXPECT_THAT(log.text(), ::testing::Not(HasSubstr("poverty line")));
    } else {
      EXPECT_THAT(log.text(), HasSubstr(c.warning));
      EXPECT_THAT(log.text(), HasSubstr("--threshold-share"));
    }
  }
}

TEST(UnitLevelEbp, BoxCoxValuesBeyondTheRangeAreCounted) {
  // lambda = -2: the transformed incomes lie below 1/2, and synthetic values
  // the errors push beyond it are set to the bound and counted; lambda = 0.25
  // has room for every value here.
  const IncomeData d = income_data();
  for (const double lambda : {-2.0, 0.25}) {
    SCOPED_TRACE(lambda);
    LogCapture log("kelp_sae.models.unit");
    UnitLevel(d.sample).ebp("income", kTerms, "area", d.census,
                            quick({.boxcox_param = lambda, .threshold = 12.0, .mse = false}));
    const std::string text = log.text();
    const std::size_t at = text.find("warning|Box-Cox: ");
    ASSERT_EQ(at != std::string::npos, lambda < 0.0) << text;
    if (at == std::string::npos) continue;
    const long count = std::stol(text.substr(at + 17));
    EXPECT_GT(count, 0);
    EXPECT_LT(count, 6000);  // 10 populations of 600 units
    EXPECT_THAT(text, HasSubstr(" of 6000 synthetic values lay beyond the range of the "
                                "transformation with lambda = -2 and were set to its bound"));
  }
}

TEST(UnitLevelEbp, BootstrapMseFollowsTheResponseUnit) {
  // Untransformed: a location shift of 1e12 leaves every MSE unchanged; a
  // change of unit by 1e-6 multiplies the MSE of the mean by 1e-12 and leaves
  // those of the headcount (line 0.6 of the median) and of the Gini alone.
  const IncomeData d = income_data();
  const std::vector<double>& income = d.sample.column("income").float_values();
  std::vector<double> small(income);
  for (double& v : small) v *= 1e-6;
  const auto options = [](double shift) {
    return quick({.transformation = "none",
                  .transform_shift = shift,
                  .indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::GINI},
                  .threshold = [](std::span<const double> y) {
                    std::vector<double> v(y.begin(), y.end());
                    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
                    return 0.6 * v[v.size() / 2];
                  }});
  };
  const SAEResults base = UnitLevel(d.sample).ebp("income", kTerms, "area", d.census, options(0));
  const SAEResults shifted =
      UnitLevel(d.sample).ebp("income", kTerms, "area", d.census, options(1e12));
  const SAEResults rescaled = UnitLevel(d.sample.with_column("income", Column(small)))
                                  .ebp("income", kTerms, "area", d.census, options(0));
  for (std::size_t i = 0; i < base.prediction().size(); ++i) {
    const SAEPred& b = base.prediction()[i];
    SCOPED_TRACE(b.area + " " + b.indicator);
    const double factor = b.indicator == "Mean" ? 1e-12 : 1.0;
    EXPECT_NEAR(shifted.prediction()[i].mse / b.mse, 1.0, 5e-3);
    EXPECT_NEAR(rescaled.prediction()[i].mse / (factor * b.mse), 1.0, 1e-6);
  }
}

TEST(UnitLevelEbp, CategoricalTermsAreCodedOnTheCensus) {
  const IncomeData d = income_data();
  const UnitLevel model(d.sample);
  // The old way: the census holds the dummy column the model uses.
  const std::vector<std::string>& g = d.census.column("gender").text_values();
  std::vector<double> male(g.size());
  for (std::size_t i = 0; i < g.size(); ++i) male[i] = g[i] == "male" ? 1.0 : 0.0;
  const Table with_dummy = d.census.select({"area", "x"}).with_column("gender_male", Column(male));
  const Table only_text = d.census.select({"area", "x", "gender"});

  const SAEResults a = model.ebp("income", kTerms, "area", only_text, quick());
  const SAEResults b = model.ebp("income", kTerms, "area", with_dummy, quick());
  EXPECT_EQ(a.prediction(), b.prediction());

  const SAEResults c = model.eblup("income", kTerms, "area", only_text);
  const SAEResults e = model.eblup("income", kTerms, "area", with_dummy);
  EXPECT_EQ(c.prediction(), e.prediction());
  // The reference level is the sample's: with "male" as reference the
  // coefficient is female's.
  const SAEResults f = model.eblup("income", {"x", kelp::Cat{"gender", "male"}}, "area", only_text);
  EXPECT_EQ(f.fixed_effects().back().term, "gender_female");
  for (std::size_t i = 0; i < c.prediction().size(); ++i) {
    EXPECT_NEAR(f.prediction()[i].pred, c.prediction()[i].pred,
                1e-8 * std::abs(c.prediction()[i].pred));
  }
}

TEST(UnitLevelEbp, SameSeedSameNumbersForAnyThreadCount) {
  const IncomeData d = income_data();
  const UnitLevel model(d.sample);
  const auto options = [](std::int64_t seed) {
    EbpOptions o = quick({.indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT,
                                         Indicator::GINI, Indicator::QSR},
                          .threshold = 12.0,
                          .run = {.n_reps = 4, .batch_size = 2}});
    o.run.rstate = seed;
    return o;
  };
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  const SAEResults one = model.ebp("income", kTerms, "area", d.census, options(11));
  omp_set_num_threads(2);
  const SAEResults two = model.ebp("income", kTerms, "area", d.census, options(11));
  omp_set_num_threads(threads);
  EXPECT_EQ(one, two);
  EXPECT_NE(model.ebp("income", kTerms, "area", d.census, options(12)).prediction(),
            one.prediction());
}

// The sample with a design-weight column "w".
Table with_weights(const Table& sample, std::vector<double> w) {
  return sample.with_column("w", Column(std::move(w)));
}

// Weights all equal (of any size) give the unweighted EBP with the same seed:
// the pseudo-EBLUP reduces to the EBLUP, in the point fit and in every
// bootstrap refit.
TEST(UnitLevelEbp, EqualSurveyWeightsGiveTheUnweightedEbp) {
  const IncomeData d = income_data();
  const Table sample = with_weights(d.sample, std::vector<double>(d.sample.num_rows(), 37.5));
  const UnitLevel model(sample);
  struct Case {
    const char* name;
    EbpOptions options;
  };
  const Case cases[] = {
      {"log, with the bootstrap", {.transformation = "log", .threshold = 12.0}},
      {"Box-Cox, fixed lambda",
       {.transformation = "boxcox", .boxcox_param = 0.2, .threshold = 12.0, .mse = false}},
      {"none", {.transformation = "none", .threshold = 12.0, .mse = false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EbpOptions weighted = quick(c.options);
    weighted.weights = "w";
    const SAEResults a = model.ebp("income", kTerms, "area", d.census, quick(c.options));
    const SAEResults b = model.ebp("income", kTerms, "area", d.census, weighted);
    ASSERT_EQ(a.fixed_effects().size(), b.fixed_effects().size());
    for (std::size_t j = 0; j < a.fixed_effects().size(); ++j) {
      EXPECT_NEAR(b.fixed_effects()[j].est, a.fixed_effects()[j].est,
                  1e-9 * std::fabs(a.fixed_effects()[j].est));
    }
    ASSERT_EQ(a.prediction().size(), b.prediction().size());
    for (std::size_t i = 0; i < a.prediction().size(); ++i) {
      EXPECT_NEAR(b.prediction()[i].pred, a.prediction()[i].pred,
                  1e-9 * std::fabs(a.prediction()[i].pred));
      // The bootstrap's weighted solve and its Newton GLS beta round
      // differently, and the squared differences magnify that.
      if (c.options.mse) {
        EXPECT_NEAR(b.prediction()[i].mse, a.prediction()[i].mse,
                    1e-6 * std::fabs(a.prediction()[i].mse));
      }
    }
  }
}

// With weights the share of the median is a share of the weighted median:
// one unit carrying nearly all the weight is the median.
TEST(UnitLevelEbp, SurveyWeightsGiveTheWeightedMedianLine) {
  const IncomeData d = income_data();
  std::vector<double> w;
  for (std::size_t i = 0; i < d.sample.num_rows(); ++i) w.push_back(i == 17 ? 1e6 : 1.0);
  const UnitLevel model(with_weights(d.sample, w));
  EbpOptions o = quick({.transformation = "log",
                        .indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT},
                        .threshold = MedianShare{0.6},
                        .mse = false});
  o.weights = "w";
  const SAEResults r = model.ebp("income", kTerms, "area", d.census, o);
  const std::vector<double>& y = d.sample.column("income").float_values();
  EXPECT_DOUBLE_EQ(r.transformation()->poverty_line, 0.6 * y[17]);
  // The direct estimates beside the EBP are weighted too: area 2 holds rows
  // 12 to 23, row 17 weighing a million.
  double sum_wy = 1e6 * y[17];
  for (std::size_t i = 12; i < 24; ++i) sum_wy += i == 17 ? 0.0 : y[i];
  const auto direct =
      std::find_if(r.direct_estimates().begin(), r.direct_estimates().end(),
                   [](const DirectEstimate& e) { return e.area == "2" && e.indicator == "Mean"; });
  ASSERT_NE(direct, r.direct_estimates().end());
  EXPECT_NEAR(direct->est, sum_wy / (1e6 + 11.0), 1e-9 * y[17]);

  // The JSON's direct block holds the design-based estimates at the EBP's
  // line, with their linearised variances; there is none without weights.
  const SAEResults expected = estimate_direct(
      kelp::Sample(with_weights(d.sample, w), {.weight = "w"}), "income", "area",
      {.indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT}, .threshold = 0.6 * y[17]});
  ASSERT_TRUE(r.direct().has_value());
  ASSERT_EQ(r.direct()->size(), expected.prediction().size());
  for (std::size_t i = 0; i < expected.prediction().size(); ++i) {
    EXPECT_EQ((*r.direct())[i], expected.prediction()[i]) << i;
  }
  EXPECT_EQ(r.to_dict()["direct"].size(), expected.prediction().size());
  EXPECT_EQ(direct->var, (*r.direct())[2].mse);  // area 2's mean
  o.weights = std::nullopt;
  const SAEResults unweighted = UnitLevel(d.sample).ebp("income", kTerms, "area", d.census, o);
  EXPECT_FALSE(unweighted.direct().has_value());
  EXPECT_FALSE(unweighted.to_dict().contains("direct"));
}

TEST(UnitLevelEbp, SurveyWeightErrors) {
  const IncomeData d = income_data();
  std::vector<double> w(d.sample.num_rows(), 2.0);
  w[4] = 0.0;
  w[8] = -1.0;
  w[50] = std::numeric_limits<double>::infinity();
  const UnitLevel bad(with_weights(d.sample, w));
  EbpOptions o = quick({.transformation = "log", .threshold = 12.0, .mse = false});
  o.weights = "w";
  const kelp::ModelError e =
      thrown_model_error([&] { bad.ebp("income", kTerms, "area", d.census, o); });
  EXPECT_EQ(e.title(), "Invalid weights");
  EXPECT_EQ(e.detail(),
            "Column 'w' holds 3 weights that are not positive and finite (rows 5, 9, 51); every "
            "sampled unit needs a positive design weight.");

  const UnitLevel model(with_weights(d.sample, std::vector<double>(d.sample.num_rows(), 2.0)));
  struct Case {
    const char* name;
    EbpOptions options;
    std::string message;
  };
  const Case cases[] = {
      {"Box-Cox lambda estimated",
       {.transformation = "boxcox", .threshold = 12.0, .mse = false},
       "ebp: survey weights need a fixed Box-Cox lambda: estimating lambda with weights is not "
       "supported. Give boxcox_param or use the log transformation."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EbpOptions options = quick(c.options);
    options.weights = "w";
    EXPECT_EQ(thrown_message<std::invalid_argument>(
                  [&] { model.ebp("income", kTerms, "area", d.census, options); }),
              c.message);
  }
  o.weights = "weight";
  EXPECT_EQ(thrown_model_error([&] { model.ebp("income", kTerms, "area", d.census, o); }).title(),
            "Missing Sample Columns");
}

// Households of 1 to 3 persons in regions "a" (odd areas) and "b"; survey
// weights 1 to 4. The mean and headcount are benchmarked; the Gini
// coefficient is not and keeps its numbers.
TEST(UnitLevelEbp, BenchmarkedEstimatesMeetTheirNationalTargets) {
  const IncomeData d = income_data();
  std::vector<std::int64_t> hh;
  std::vector<std::string> region;
  std::map<std::string, double> persons;
  for (std::size_t i = 0; i < d.census.num_rows(); ++i) {
    hh.push_back(1 + std::int64_t(i % 3));
    const std::int64_t a = d.census.column("area").int_values()[i];
    region.push_back(a % 2 == 1 ? "a" : "b");
    persons[std::to_string(a)] += double(hh.back());
  }
  const Table census = d.census.with_column("hh", Column(hh)).with_column("region", Column(region));
  std::vector<double> w;
  for (std::size_t i = 0; i < d.sample.num_rows(); ++i) w.push_back(1.0 + double(i % 4));
  const UnitLevel model(with_weights(d.sample, w));
  EbpOptions plain_options =
      quick({.transformation = "log",
             .indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT, Indicator::GINI},
             .threshold = 12.0});
  plain_options.weights = "w";
  plain_options.pop_weights = "hh";
  plain_options.aggregate_to = "region";
  const SAEResults plain = model.ebp("income", kTerms, "area", census, plain_options);

  // The survey's targets by hand: the weighted mean and share below the line.
  const std::vector<double>& y = d.sample.column("income").float_values();
  double sum_w = 0.0, sum_wy = 0.0, sum_poor = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    sum_w += w[i];
    sum_wy += w[i] * y[i];
    sum_poor += y[i] < 12.0 ? w[i] : 0.0;
  }
  struct Case {
    const char* type;
    Benchmark benchmark;
    double mean, headcount;
  };
  const Case cases[] = {
      {"ratio", {{Indicator::POVERTY_HEADCOUNT, 0.3}, {Indicator::MEAN, 20.0}}, 20.0, 0.3},
      {"RAKING", SurveyBenchmark{}, sum_wy / sum_w, sum_poor / sum_w}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    EbpOptions options = plain_options;
    options.benchmark = c.benchmark;
    options.benchmark_type = c.type;
    const SAEResults got = model.ebp("income", kTerms, "area", census, options);
    const bool ratio = std::string(c.type) == "ratio";
    ASSERT_TRUE(got.transformation() && got.transformation()->benchmark);
    EXPECT_EQ(*got.transformation()->benchmark,
              (BenchmarkInfo{.type = ratio ? "ratio" : "raking",
                             .source = ratio ? "explicit" : "survey",
                             .targets = {{"Mean", c.mean}, {"Poverty Headcount", c.headcount}}}));
    const std::vector<SAEPred>& p = got.prediction();
    ASSERT_EQ(p.size(), 12u * 3u);
    for (std::size_t k = 0; k < 3; ++k) {
      SCOPED_TRACE(k);
      const double target = k == 0 ? c.mean : c.headcount;
      double national = 0.0, before = 0.0, people = 0.0;
      std::map<std::string, double> region_sum, region_people;
      for (std::size_t a = 0; a < 10; ++a) {
        const SAEPred& row = p[3 * a + k];
        const SAEPred& old = plain.prediction()[3 * a + k];
        national += persons[row.area] * row.pred;
        before += persons[row.area] * old.pred;
        people += persons[row.area];
        const std::string r = std::stoi(row.area) % 2 == 1 ? "a" : "b";
        region_sum[r] += persons[row.area] * row.pred;
        region_people[r] += persons[row.area];
      }
      before /= people;
      for (std::size_t a = 0; a < 12; ++a) {
        const SAEPred& row = p[3 * a + k];
        const SAEPred& old = plain.prediction()[3 * a + k];
        if (k == 2) {
          EXPECT_EQ(row.pred, old.pred);
          EXPECT_EQ(row.mse, old.mse);
        } else if (a >= 10) {
          EXPECT_NEAR(row.pred, region_sum[row.area] / region_people[row.area], 1e-12 * target);
        } else {
          EXPECT_NEAR(row.pred, ratio ? old.pred * target / before : old.pred + target - before,
                      1e-12 * target);
          // The bootstrap benchmarks its replicates too.
          EXPECT_NE(row.mse, old.mse);
        }
      }
      if (k < 2) {
        EXPECT_NEAR(national / people, target, 1e-12 * target);
      }
    }
  }

  // A sample holding the population weight column estimates over people:
  // each record counts its survey weight times its household size.
  std::vector<std::int64_t> hh_sample;
  double sum_wh = 0.0, sum_why = 0.0;
  for (std::size_t i = 0; i < y.size(); ++i) {
    hh_sample.push_back(1 + std::int64_t(i % 2));
    sum_wh += w[i] * double(hh_sample.back());
    sum_why += w[i] * double(hh_sample.back()) * y[i];
  }
  EbpOptions survey = plain_options;
  survey.benchmark = SurveyBenchmark{};
  const SAEResults people =
      UnitLevel(with_weights(d.sample, w).with_column("hh", Column(hh_sample)))
          .ebp("income", kTerms, "area", census, survey);
  EXPECT_NEAR(people.transformation()->benchmark->targets.at(0).second, sum_why / sum_wh,
              1e-12 * sum_why / sum_wh);
}

TEST(UnitLevelEbp, BenchmarkErrors) {
  const IncomeData d = income_data();
  const UnitLevel model(with_weights(d.sample, std::vector<double>(d.sample.num_rows(), 2.0)));
  struct Case {
    const char* name;
    std::function<void(EbpOptions&)> edit;
    std::string message;
  };
  const Case cases[] = {
      {"type", [](EbpOptions& o) { o.benchmark_type = "proportional"; },
       "ebp: benchmark_type must be 'ratio' or 'raking'; got 'proportional'."},
      {"no targets", [](EbpOptions& o) { o.benchmark = std::vector<BenchmarkTarget>{}; },
       "ebp: benchmark holds no targets; give at least one, or the survey's."},
      {"Gini",
       [](EbpOptions& o) {
         o.benchmark = {{Indicator::GINI, 0.3}};
       },
       "ebp: benchmark has a target for 'Gini Coefficient': only the mean, headcount, gap and "
       "severity add up over people and can be benchmarked."},
      {"not requested",
       [](EbpOptions& o) {
         o.benchmark = {{Indicator::POVERTY_GAP, 0.1}};
       },
       "ebp: benchmark has a target for 'Poverty Gap', which is not among the requested "
       "indicators."},
      {"twice",
       [](EbpOptions& o) {
         o.benchmark = {{Indicator::MEAN, 1.0}, {Indicator::MEAN, 2.0}};
       },
       "ebp: benchmark has two targets for 'Mean'."},
      {"not finite",
       [](EbpOptions& o) {
         o.benchmark = {{Indicator::MEAN, NAN}};
       },
       "ebp: benchmark target for 'Mean' must be a finite number; got nan."},
      {"a share",
       [](EbpOptions& o) {
         o.benchmark = {{Indicator::POVERTY_HEADCOUNT, 1.5}};
       },
       "ebp: benchmark target for 'Poverty Headcount' must be a share between 0 and 1; got "
       "1.5."},
      {"survey without weights",
       [](EbpOptions& o) {
         o.benchmark = SurveyBenchmark{};
         o.weights = std::nullopt;
       },
       "ebp: benchmark 'survey' needs survey weights (weights): its national targets are the "
       "weighted direct estimates of the whole sample."},
      {"survey of nothing additive",
       [](EbpOptions& o) {
         o.benchmark = SurveyBenchmark{};
         o.indicators = Indicator::GINI;
       },
       "ebp: benchmark 'survey' needs the mean or a poverty measure (headcount, gap, severity) "
       "among the indicators: the others cannot be benchmarked."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EbpOptions o = quick({.transformation = "log",
                          .indicators = {Indicator::MEAN, Indicator::POVERTY_HEADCOUNT},
                          .threshold = 12.0,
                          .mse = false,
                          .weights = std::string("w")});
    c.edit(o);
    const std::string message = thrown_message<std::invalid_argument>(
        [&] { model.ebp("income", kTerms, "area", d.census, o); });
    EXPECT_EQ(message, c.message);
  }
  // No one below a line of 1e-6: a headcount of 0 cannot be scaled to 0.1.
  EbpOptions o = quick({.transformation = "log",
                        .indicators = Indicator::POVERTY_HEADCOUNT,
                        .threshold = 1e-6,
                        .mse = false,
                        .benchmark = {{Indicator::POVERTY_HEADCOUNT, 0.1}}});
  const kelp::ModelError e =
      thrown_model_error([&] { model.ebp("income", kTerms, "area", d.census, o); });
  EXPECT_EQ(e.title(), "Benchmarking failed");
  EXPECT_THAT(e.detail(), HasSubstr("Poverty Headcount: the population-weighted national average "
                                    "of the estimates is 0"));
  o.benchmark_type = "raking";
  EXPECT_NO_THROW(model.ebp("income", kTerms, "area", d.census, o));
}

}  // namespace
}  // namespace kelp_sae
