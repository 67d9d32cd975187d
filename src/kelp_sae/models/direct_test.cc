#include "kelp_sae/models/direct.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kelp/csv.h"
#include "kelp/errors.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/core/logging.h"
#include "tests/support/expect_error.h"

namespace kelp_sae {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kSource = KELP_SAE_SOURCE_DIR;

kelp::Sample survey_sample() {
  return kelp::Sample(kelp::read_csv(kSource + "/examples/data/survey_sample.csv"),
                      {.weight = "weight", .strata = "stratum", .psu = "psu"});
}

const IndicatorList kRIndicators = {Indicator::MEAN,        Indicator::POVERTY_HEADCOUNT,
                                    Indicator::POVERTY_GAP, Indicator::POVERTY_SEVERITY,
                                    Indicator::QUANTILE_10, Indicator::QUANTILE_25,
                                    Indicator::MEDIAN,      Indicator::QUANTILE_75,
                                    Indicator::QUANTILE_90, Indicator::GINI};

// testdata/direct_reference.R: R's survey package on the example sample
// (strata, PSUs, weights; the line 0.6 times the weighted median).
TEST(EstimateDirect, AgreesWithRSurveyOnTheExampleSample) {
  const SAEResults r = estimate_direct(
      survey_sample(), "income", "area",
      {.indicators = kRIndicators, .threshold_share = 0.6, .n_reps = 20, .rstate = 1});
  std::map<std::pair<std::string, std::string>, const SAEPred*> got;
  for (const SAEPred& p : r.prediction()) got[{p.area, p.indicator}] = &p;
  const kelp::Table ref =
      kelp::read_csv(kSource + "/src/kelp_sae/models/testdata/direct_reference.csv");
  ASSERT_EQ(ref.num_rows(), r.prediction().size());
  for (std::size_t i = 0; i < ref.num_rows(); ++i) {
    const std::string area = ref.column("area").text(i);
    const std::string indicator = ref.column("indicator").text(i);
    SCOPED_TRACE(area + " " + indicator);
    const SAEPred* p = got.at({area, indicator});
    const double est = ref.column("est").as_double(i);
    EXPECT_NEAR(p->pred, est, 1e-10 * std::abs(est));
    if (!ref.column("se").is_null(i)) {
      const double se = ref.column("se").as_double(i);
      EXPECT_NEAR(std::sqrt(p->mse), se, 1e-8 * se);
      EXPECT_NEAR(p->uci - p->lci, 2.0 * 1.96 * se, 1e-8 * se);
    }
  }
  EXPECT_EQ(r.model_type(), "Direct");
  EXPECT_EQ(r.stats().n_obs, 2415);
  EXPECT_EQ(r.stats().n_areas, 48);
  // The report shows the counts, and no model parts it does not have.
  EXPECT_THAT(r.render(), HasSubstr("No. Obs"));
  EXPECT_THAT(r.render(), Not(HasSubstr("Log Likelihood")));
}

TEST(EstimateDirect, BootstrapOfPsusAgreesWithRSurvey) {
  // R's Rao-Wu bootstrap ("subbootstrap", 2000 replicates) of the area
  // means against ours with as many: two independent bootstraps of heavy-
  // tailed ratios (areas of 3 to 5 PSUs) differ per area by up to about 25%,
  // and R divides by all replicates where we divide by those that keep the
  // area. A bootstrap that ignored the PSUs, the strata or the weights, or
  // kept the areas that lost all units, misses the median by far more.
  const kelp::Sample sample = survey_sample();
  const SAEResults boot = estimate_direct(
      sample, "income", "area",
      {.indicators = Indicator::MEAN, .var = "Bootstrap", .n_reps = 2000, .rstate = 5});
  const SAEResults no_var =
      estimate_direct(sample, "income", "area", {.indicators = Indicator::MEAN, .var = "none"});
  const kelp::Table ref =
      kelp::read_csv(kSource + "/src/kelp_sae/models/testdata/direct_reference.csv");
  std::map<std::string, double> r_variance;
  for (std::size_t i = 0; i < ref.num_rows(); ++i) {
    if (ref.column("indicator").text(i) == "Mean") {
      r_variance[ref.column("area").text(i)] = std::pow(ref.column("boot_se").as_double(i), 2);
    }
  }
  std::vector<double> ratios;
  for (std::size_t a = 0; a < boot.prediction().size(); ++a) {
    const SAEPred& p = boot.prediction()[a];
    SCOPED_TRACE(p.area);
    EXPECT_EQ(p.pred, no_var.prediction()[a].pred);
    EXPECT_TRUE(std::isnan(no_var.prediction()[a].mse));
    ratios.push_back(p.mse / r_variance.at(p.area));
    EXPECT_GT(ratios.back(), 0.6);
    EXPECT_LT(ratios.back(), 1.6);
  }
  ASSERT_EQ(ratios.size(), 48u);
  std::nth_element(ratios.begin(), ratios.begin() + 24, ratios.end());
  EXPECT_NEAR(ratios[24], 1.0, 0.1);
}

TEST(EstimateDirect, SingleUnitAreasAndWrongArguments) {
  // Area 3 has one unit: no variance, one warning. Without a design the
  // units are resampled within areas, and every unit weighs 1.
  const kelp::Table t({{"area", kelp::Column({1, 1, 1, 2, 2, 3})},
                       {"y", kelp::Column({1.0, 2.0, 4.0, 3.0, 5.0, 2.0})}});
  const kelp::Sample sample(t);
  LogCapture log("kelp_sae.models.direct");
  const SAEResults r = estimate_direct(
      sample, "y", "area",
      {.indicators = {"Mean", Indicator::GINI}, .var = "bootstrap", .n_reps = 50, .rstate = 2});
  ASSERT_EQ(r.prediction().size(), 6u);
  EXPECT_EQ(r.prediction()[0].pred, 7.0 / 3.0);
  EXPECT_GT(r.prediction()[0].mse, 0.0);
  EXPECT_TRUE(std::isnan(r.prediction()[4].mse) && std::isnan(r.prediction()[5].lci));
  EXPECT_THAT(log.text(), HasSubstr("warning|1 area with a single sampled unit (first: '3')"));

  struct Case {
    const char* what;
    DirectOptions options;
    std::string message;
  };
  const Case cases[] = {
      {"var",
       {.var = "jackknife"},
       "estimate_direct: var must be 'linearization', 'bootstrap' or 'none'; got 'jackknife'."},
      {"function",
       {.indicators = NamedIndicator{"top", [](std::span<const double>, double) { return 0.0; }}},
       "estimate_direct: indicators holds a function 'top'; direct estimates take built-in "
       "indicators only."},
      {"line",
       {.threshold = -1.0},
       "estimate_direct: threshold must be a positive finite "
       "poverty line when a poverty measure is requested; got -1."},
      {"replicates",
       {.indicators = Indicator::GINI, .n_reps = 1},
       "estimate_direct: n_reps must be at least 2; got 1."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    try {
      estimate_direct(sample, "y", "area", c.options);
      ADD_FAILURE() << "no error";
    } catch (const ArgumentError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  testing::expect_model_error([&] { estimate_direct(sample, "income", "area"); },
                              "Missing columns");
  const kelp::Sample zero_weight(t.with_column("w", kelp::Column({2.0, 1.0, 0.0, 1.0, 0.0, 3.0})),
                                 {.weight = "w"});
  testing::expect_model_error([&] { estimate_direct(zero_weight, "y", "area"); }, "Invalid weights",
                              "Column 'w' holds 2 weights that are not positive and finite (first "
                              "at row 3); every sampled unit needs a positive design weight.");
}

}  // namespace
}  // namespace kelp_sae
