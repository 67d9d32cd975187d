#include "kelp_sae/models/area.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kelp/errors.h"
#include "kelp_sae/core/logging.h"
#include "kelp_sae/models/common.h"
#include "tests/support/expect_error.h"

namespace kelp_sae {
namespace {

using kelp_sae::testing::thrown_message;
using kelp_sae::testing::thrown_model_error;

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Fifteen areas with covariates on very different scales, so that a slip in
// the standardisation or its reversal shows in every coefficient.
const std::vector<double> kY = {7.4256,  1.05,   8.2039, 5.0658, 2.911,   10.8274, 5.987, 6.0352,
                                12.1406, 5.8827, 3.5764, 6.5109, 10.6077, 11.133,  8.1973};
const std::vector<double> kX1 = {394.1, 200.4, 557.4, 209.8, 245.3, 868.4, 260.5, 403,
                                 816.5, 286.3, 322.6, 508.5, 835,   795.7, 713.8};
const std::vector<double> kX2 = {0.0119,  0.01015, 0.00728, 0.004,   0.01012,
                                 0.00487, 0.01393, 0.00791, 0.00766, 0.00218,
                                 0.01018, 0.00858, 0.00131, 0.00338, 0.00856};
const std::vector<double> kD = {1.762, 1.319, 1.529, 1.006, 2.532, 2.105, 1.192, 0.759,
                                1.14,  0.645, 1.119, 1.038, 1.734, 2.134, 1.323};

std::vector<std::int64_t> area_ids(std::size_t n) {
  std::vector<std::int64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = static_cast<std::int64_t>(101 + i);
  return ids;
}

kelp::Table reference_table() {
  return kelp::Table({{"area", kelp::Column(area_ids(kY.size()))},
                      {"y", kelp::Column(kY)},
                      {"x1", kelp::Column(kX1)},
                      {"x2", kelp::Column(kX2)},
                      {"var", kelp::Column(kD)}});
}

// Replaces one cell of a float column by a null, NaN or another value.
kelp::Table with_cell(const kelp::Table& t, const std::string& name, std::size_t row,
                      kelp::Value value) {
  std::vector<kelp::Value> values;
  const kelp::Column& c = t.column(name);
  for (std::size_t i = 0; i < c.size(); ++i) values.push_back(i == row ? value : c.value(i));
  return t.with_column(name, kelp::Column::from_values(values));
}

void expect_rel(double actual, double expected, double rel) {
  EXPECT_NEAR(actual, expected, rel * std::abs(expected));
}

// Collects the records of the "kelp_sae.models.area" logger as
// "<level>|<message>" lines while alive.
class LogCapture : public kelp_sae::LogCapture {
 public:
  LogCapture() : kelp_sae::LogCapture("kelp_sae.models.area") {}
};

// ---------------------------------------------------------------------------
// Numbers against independent references.

// References computed in R with full matrices: sigma_u^2 is the root (uniroot,
// tol 1e-16) of the score equation, tr(P) = y'PPy for REML and
// sum(1/V) = y'PPy for ML, P = V^-1 - V^-1 X (X'V^-1 X)^-1 X'V^-1; then the
// GLS coefficients and covariance at that sigma_u, the Prasad-Rao terms
// g1 + g2 + 2 g3 (plus the ML bias correction), and the standard error of
// sigma_u by the delta method from the analytic observed information in
// log sigma_u. The ML estimate agrees with nlme::lme(..., weights =
// varFixed(~D), control = lmeControl(sigma = 1)) to 1e-7.
struct ReferenceFit {
  std::string method;
  double sigma_u;
  std::vector<double> beta;
  std::vector<double> se;
  double log_lik, aic, bic, kic, icc;
  double est1, est15, mse1, mse15;
  double sigma_u_se;
};

TEST(AreaLevelFh, MatchesIndependentFitsOnTheDataScale) {
  const std::vector<ReferenceFit> cases = {
      {"REML",
       0.833167399841565,
       {2.1564349795387, 0.0111407852484754, -76.7878462273056},
       {1.34235856003299, 0.00165652938092728, 109.250463523503},
       -25.0513430232444,
       58.1026860464887,
       60.9348868508976,
       62.1026860464887,
       0.347515704006995,
       6.13980317822674,
       9.01984204613523,
       0.889635195322176,
       0.817109817937795,
       0.489341830975725},
      {"ML",
       0.512136331997621,
       {2.25906508659595, 0.0110766183854892, -84.4273303716906},
       {1.13895290786606, 0.00145134200319543, 94.3214155323473},
       -24.8491361751477,
       57.6982723502954,
       60.5304731547042,
       61.6982723502954,
       0.170966859540795,
       5.8536663386028,
       9.23678109994777,
       0.882397777755406,
       0.871597612268345,
       0.561706675636505},
  };
  for (const ReferenceFit& ref : cases) {
    SCOPED_TRACE(ref.method);
    AreaLevel model(reference_table());
    const SAEResults res = model.fh(
        "y", {"x1", "x2"}, "area", {.variance = "var", .method = ref.method, .run = {.tol = 1e-9}});
    EXPECT_EQ(res.level(), "Area Level");
    EXPECT_EQ(res.y(), "y");
    EXPECT_EQ(res.model_type(), "Fay-Herriot (MSE: Prasad Rao)");

    const SAEStats& s = res.stats();
    EXPECT_EQ(s.method, ref.method);
    EXPECT_EQ(s.n_obs, 15);
    EXPECT_EQ(s.n_areas, 15);
    EXPECT_EQ(s.sigma_e, 0.0);
    expect_rel(s.sigma_u, ref.sigma_u, 1e-7);
    EXPECT_NEAR(s.log_likelihood, ref.log_lik, 1e-8);
    EXPECT_NEAR(s.aic, ref.aic, 1e-8);
    EXPECT_NEAR(s.bic, ref.bic, 1e-8);
    EXPECT_NEAR(s.kic, ref.kic, 1e-8);
    EXPECT_NEAR(s.icc, ref.icc, 1e-8);

    const std::vector<std::string> terms = {"Intercept", "x1", "x2"};
    ASSERT_EQ(res.fixed_effects().size(), 3u);
    for (std::size_t j = 0; j < 3; ++j) {
      const FixedEffect& fe = res.fixed_effects()[j];
      SCOPED_TRACE(fe.term);
      EXPECT_EQ(fe.term, terms[j]);
      expect_rel(fe.est, ref.beta[j], 1e-6);
      expect_rel(fe.se, ref.se[j], 1e-6);
      expect_rel(fe.t_score, ref.beta[j] / ref.se[j], 1e-6);
      EXPECT_NEAR(fe.p_value, models::two_sided_normal_p_value(ref.beta[j] / ref.se[j]), 1e-7);
      expect_rel(fe.uci - fe.lci, 2 * 1.96 * ref.se[j], 1e-6);
    }

    const RandomEffect& re = res.random_effects();
    EXPECT_EQ(std::get<std::string>(re.term), "Area");
    EXPECT_EQ(re.dist, "Normal");
    expect_rel(re.est, ref.sigma_u, 1e-7);
    expect_rel(re.se, ref.sigma_u_se, 1e-5);

    ASSERT_EQ(res.prediction().size(), 15u);
    const SAEPred& first = res.prediction().front();
    const SAEPred& last = res.prediction().back();
    EXPECT_EQ(first.area, "101");
    EXPECT_EQ(last.area, "115");
    EXPECT_EQ(first.indicator, "mean");
    EXPECT_NEAR(first.pred, ref.est1, 1e-7);
    EXPECT_NEAR(last.pred, ref.est15, 1e-7);
    EXPECT_NEAR(first.mse, ref.mse1, 1e-7);
    EXPECT_NEAR(last.mse, ref.mse15, 1e-7);
    EXPECT_NEAR(first.cv, std::sqrt(ref.mse1) / ref.est1, 1e-7);
    EXPECT_NEAR(first.lci, ref.est1 - 1.96 * std::sqrt(ref.mse1), 1e-6);
    EXPECT_NEAR(first.uci, ref.est1 + 1.96 * std::sqrt(ref.mse1), 1e-6);
  }
}

TEST(AreaLevelFh, DefaultToleranceStaysCloseToTheOptimum) {
  AreaLevel model(reference_table());
  const SAEResults res = model.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
  expect_rel(res.stats().sigma_u, 0.83316739989498, 1e-3);
}

TEST(AreaLevelFh, InterceptOnlyWithEqualVariancesHasClosedForms) {
  // Equal D: REML sigma_u^2 = s^2 (divisor m-1) - D and ML sigma_u^2 =
  // s^2 (divisor m) - D; the intercept is the plain mean and the EBLUP
  // shrinks each estimate towards it by D / (sigma_u^2 + D). The fitter's
  // ridge, 1e-10 of the normal equations' diagonal, moves the coefficient by
  // about 1e-10 relative; the tolerances allow for the fit's own tolerance.
  const std::vector<double> y = {3.1, 5.2, 1.7, 4.4, 6.3, 2.2, 5.9, 4.0};
  const double D = 0.5;
  const double mean = 4.1;
  const double ss = 19.76;  // sum of squared deviations from the mean
  const kelp::Table t({{"area", kelp::Column({"a", "b", "c", "d", "e", "f", "g", "h"})},
                       {"y", kelp::Column(y)},
                       {"v", kelp::Column(std::vector<double>(8, D))}});
  struct Case {
    std::string method;
    double sigma_u2;
  };
  for (const Case& c : {Case{"REML", ss / 7 - D}, Case{"ML", ss / 8 - D}}) {
    SCOPED_TRACE(c.method);
    AreaLevel model(t);
    const SAEResults res =
        model.fh("y", {}, "area", {.variance = "v", .method = c.method, .run = {.tol = 1e-10}});
    expect_rel(res.stats().sigma_u * res.stats().sigma_u, c.sigma_u2, 1e-8);
    ASSERT_EQ(res.fixed_effects().size(), 1u);
    EXPECT_NEAR(res.fixed_effects()[0].est, mean, 1e-8 * mean);
    expect_rel(res.fixed_effects()[0].se, std::sqrt((c.sigma_u2 + D) / 8), 1e-7);
    const double gamma = c.sigma_u2 / (c.sigma_u2 + D);
    for (std::size_t i = 0; i < y.size(); ++i) {
      EXPECT_NEAR(res.prediction()[i].pred, gamma * y[i] + (1 - gamma) * mean, 1e-7);
      // Residuals standardised by the marginal variance; the inputs as the
      // direct estimates.
      EXPECT_NEAR(res.diagnostics()->standardized_residuals[i],
                  (y[i] - mean) / std::sqrt(c.sigma_u2 + D), 1e-7);
      EXPECT_EQ(res.direct_estimates()[i].est, y[i]);
      EXPECT_EQ(res.direct_estimates()[i].var, D);
    }
    EXPECT_EQ(res.prediction()[2].area, "c");
    EXPECT_EQ(res.direct_estimates()[2].area, "c");
    // An intercept explains nothing of the area values.
    EXPECT_EQ(res.diagnostics()->r_squared, 0.0);
    EXPECT_EQ(res.diagnostics()->area_effects.n, 8);
  }
}

TEST(AreaLevelFh, ConstantResponseIsLeftUnscaled) {
  // A constant response has standard deviation 0; dividing by it would
  // produce NaN everywhere. Unscaled, every area is predicted at the constant.
  const kelp::Table t({{"area", kelp::Column({1, 2, 3, 4, 5})},
                       {"y", kelp::Column({2.5, 2.5, 2.5, 2.5, 2.5})},
                       {"v", kelp::Column({0.2, 0.3, 0.4, 0.5, 0.6})}});
  AreaLevel model(t);
  const SAEResults res = model.fh("y", {}, "area", {.variance = "v"});
  EXPECT_NEAR(res.fixed_effects()[0].est, 2.5, 1e-8);
  for (const SAEPred& p : res.prediction()) {
    EXPECT_NEAR(p.pred, 2.5, 1e-8);
    EXPECT_TRUE(std::isfinite(p.mse));
  }
  EXPECT_LT(res.stats().sigma_u, 0.05);
}

TEST(AreaLevelFh, NegativePredictionsHaveNegativeCoefficientsOfVariation) {
  std::vector<double> neg(kY.size());
  std::transform(kY.begin(), kY.end(), neg.begin(), [](double v) { return -v; });
  AreaLevel model(reference_table().with_column("y", kelp::Column(neg)));
  const SAEResults res = model.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
  for (const SAEPred& p : res.prediction()) {
    ASSERT_LT(p.pred, 0.0);
    EXPECT_LT(p.cv, 0.0);
    EXPECT_NEAR(p.cv, std::sqrt(p.mse) / p.pred, 1e-12);
  }
}

// ---------------------------------------------------------------------------
// Options and their texts.

TEST(AreaLevelFh, MethodTextIsUpperCasedThenTrimmed) {
  struct Case {
    std::string given;
    std::string method;
  };
  for (const Case& c : {Case{" reml ", "REML"}, Case{"reml", "REML"}, Case{"\tMl\n", "ML"}}) {
    SCOPED_TRACE(c.given);
    AreaLevel model(reference_table());
    EXPECT_EQ(model.fh("y", "x1", "area", {.variance = "var", .method = c.given}).stats().method,
              c.method);
  }
  for (const std::string bad : {"REM", "FH", "", "RE ML"}) {
    SCOPED_TRACE(bad);
    AreaLevel model(reference_table());
    EXPECT_EQ(thrown_message<std::invalid_argument>(
                  [&] { model.fh("y", "x1", "area", {.variance = "var", .method = bad}); }),
              "fh: method must be 'REML' or 'ML'; got '" + bad + "'.");
  }
}

TEST(AreaLevelFh, MseTextSelectsTheMethodAndNamesTheModel) {
  struct Case {
    std::string mse;
    std::string label;
  };
  for (const Case& c : {Case{"prasad_rao", "Fay-Herriot (MSE: Prasad Rao)"},
                        Case{"PRASAD_RAO", "Fay-Herriot (MSE: Prasad Rao)"},
                        Case{"bootstrap", "Fay-Herriot (MSE: Bootstrap)"},
                        Case{"BOOTSTRAP", "Fay-Herriot (MSE: Bootstrap)"}}) {
    SCOPED_TRACE(c.mse);
    AreaLevel model(reference_table());
    const SAEResults res = model.fh("y", "x1", "area",
                                    {.variance = "var",
                                     .mse = c.mse,
                                     .run = {.n_reps = 4, .rstate = 3, .progress_bar = false}});
    EXPECT_EQ(res.model_type(), c.label);
  }
}

TEST(AreaLevelFh, RejectsInvalidMseOptions) {
  struct Case {
    FhOptions options;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{.variance = "var", .mse = "bootstap"},
       "fh: mse must be 'prasad_rao' or 'bootstrap'; got 'bootstap'."},
      {{.variance = "var", .mse = " bootstrap"},
       "fh: mse must be 'prasad_rao' or 'bootstrap'; got ' bootstrap'."},
      {{.variance = "var", .mse = "bootstrap", .run = {.n_reps = 0}},
       "fh: n_reps must be at least 1; got 0."},
      {{.variance = "var", .mse = "bootstrap", .run = {.batch_size = -2}},
       "fh: batch_size must be at least 1; got -2."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    AreaLevel model(reference_table());
    EXPECT_EQ(
        thrown_message<std::invalid_argument>([&] { model.fh("y", "x1", "area", c.options); }),
        c.message);
    EXPECT_FALSE(model.fitted().has_value());
  }
  // Replicate counts do not matter without the bootstrap.
  AreaLevel model(reference_table());
  EXPECT_NO_THROW(
      model.fh("y", "x1", "area", {.variance = "var", .run = {.n_reps = 0, .batch_size = 0}}));
}

TEST(AreaLevelFh, BootstrapIsReproducibleFromTheSeed) {
  std::ostringstream progress;
  const auto run = [&progress](kelp::RandomStateArg state) {
    AreaLevel model(reference_table());
    return model.fh("y", {"x1", "x2"}, "area",
                    {.variance = "var",
                     .mse = "bootstrap",
                     .run = {.n_reps = 40,
                             .batch_size = 7,
                             .rstate = state,
                             .progress_bar = false,
                             .progress_out = &progress}});
  };
  LogCapture log;
  set_log_level(LogLevel::kInfo);
  const SAEResults a = run(std::int64_t{2024});
  set_log_level(LogLevel::kWarning);
  const SAEResults b = run(std::int64_t{2024});
  const SAEResults c = run(kelp::RandomState(2024));
  const SAEResults d = run(std::int64_t{7});
  EXPECT_THAT(log.text(), HasSubstr("info|Computed MSE using Parametric Bootstrap (B=40)"));
  // 40 replicates in batches of 7: six batches, the last one short.
  EXPECT_THAT(progress.str(), StartsWith("  Batch 1/6 completed.\n"));
  EXPECT_THAT(progress.str(), HasSubstr("  Batch 6/6 completed.\n"));

  AreaLevel pr_model(reference_table());
  const SAEResults pr = pr_model.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
  bool any_differs = false;
  for (std::size_t i = 0; i < a.prediction().size(); ++i) {
    const SAEPred& p = a.prediction()[i];
    EXPECT_EQ(p.mse, b.prediction()[i].mse);
    EXPECT_EQ(p.mse, c.prediction()[i].mse);
    any_differs = any_differs || p.mse != d.prediction()[i].mse;
    // The bootstrap changes only the MSE and what derives from it.
    EXPECT_EQ(p.pred, pr.prediction()[i].pred);
    EXPECT_GT(p.mse, 0.0);
    EXPECT_TRUE(std::isfinite(p.mse));
    EXPECT_NEAR(p.cv, std::sqrt(p.mse) / p.pred, 1e-12);
  }
  EXPECT_TRUE(any_differs);
  EXPECT_EQ(a.fixed_effects(), pr.fixed_effects());
}

TEST(AreaLevelFh, BootstrapWithoutASeedStillRuns) {
  // No state, or a state whose seed is 0, draws a fresh seed.
  for (const kelp::RandomStateArg& state :
       {kelp::RandomStateArg{}, kelp::RandomStateArg{std::int64_t{0}}}) {
    AreaLevel model(reference_table());
    const SAEResults res = model.fh("y", "x1", "area",
                                    {.variance = "var",
                                     .mse = "bootstrap",
                                     .run = {.n_reps = 5, .rstate = state, .progress_bar = false}});
    for (const SAEPred& p : res.prediction()) EXPECT_GT(p.mse, 0.0);
  }
}

// ---------------------------------------------------------------------------
// Failures of the model table.

TEST(AreaLevelFh, MissingColumnsAreReportedBeforeTheMethod) {
  struct Case {
    std::string y;
    TermList x;
    std::string variance;
    std::string area;
    std::string missing;
  };
  const std::vector<Case> cases = {
      {"y", {"x1"}, "sampling_var", "area", "sampling_var"},
      {"income", {"x1"}, "var", "area", "income"},
      {"y", {"x1", "x9"}, "var", "area", "x9"},
      {"y", {"x1"}, "var", "district", "district"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.missing);
    AreaLevel model(reference_table());
    const kelp::ModelError e = thrown_model_error(
        [&] { model.fh(c.y, c.x, c.area, {.variance = c.variance, .method = "REM"}); });
    EXPECT_EQ(e.title(), "Missing columns");
    EXPECT_EQ(e.code(), std::optional<std::string>("MISSING_COLUMN"));
    EXPECT_THAT(e.detail(), HasSubstr(c.missing));
  }
}

TEST(AreaLevelFh, EmptyDatasetAfterDroppingNulls) {
  const kelp::Table t({{"area", kelp::Column({1, 2})},
                       {"y", kelp::Column({1.0, kelp::null})},
                       {"x", kelp::Column({kelp::null, 2.0})},
                       {"v", kelp::Column({0.5, 0.5})}});
  AreaLevel model(t);
  const kelp::ModelError e =
      thrown_model_error([&] { model.fh("y", "x", "area", {.variance = "v", .method = "REM"}); });
  EXPECT_EQ(e.title(), "Empty dataset");
  EXPECT_EQ(e.detail(), "Dataset empty.");
  EXPECT_FALSE(e.code().has_value());
}

TEST(AreaLevelFh, OptimizationFailureIsAModelError) {
  AreaLevel model(reference_table());
  const kelp::ModelError e = thrown_model_error(
      [&] { model.fh("y", "x1", "area", {.variance = "var", .run = {.max_iter = 0}}); });
  EXPECT_EQ(e.title(), "Optimization failed");
  EXPECT_EQ(e.detail(), "BFGS optimizer did not converge.");
  EXPECT_FALSE(e.code().has_value());
  EXPECT_FALSE(model.fitted().has_value());
}

TEST(AreaLevelFh, RejectsInvalidDataWithCounts) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const kelp::Table base = reference_table();
  struct Case {
    std::string name;
    kelp::Table table;
    bool drop_nulls;
    std::string title;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"negative and NaN variances",
       with_cell(with_cell(with_cell(base, "var", 2, -0.1), "var", 5, nan), "var", 9, -inf), true,
       "Invalid sampling variances",
       "3 areas have negative or non-finite sampling variances in column 'var'."},
      {"one infinite variance", with_cell(base, "var", 0, inf), true, "Invalid sampling variances",
       "1 area has a negative or non-finite sampling variance in column 'var'."},
      {"NaN response (a value, not a null)", with_cell(base, "y", 4, nan), true,
       "Non-finite values", "1 area has missing or non-finite values in column 'y'."},
      {"infinite covariate and null response kept",
       with_cell(with_cell(with_cell(base, "x2", 1, inf), "y", 1, kelp::null), "y", 3, kelp::null),
       false, "Non-finite values",
       "2 areas have missing or non-finite values in columns 'y', 'x2'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AreaLevel model(c.table);
    const kelp::ModelError e = thrown_model_error([&] {
      model.fh("y", {"x1", "x2"}, "area", {.variance = "var", .drop_nulls = c.drop_nulls});
    });
    EXPECT_EQ(e.title(), c.title);
    EXPECT_EQ(e.detail(), c.detail);
  }
}

TEST(AreaLevelFh, RejectsRepeatedAreasAndTooFewAreas) {
  const kelp::Table base = reference_table();
  struct Case {
    std::string name;
    kelp::Table table;
    std::string title;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"a repeated label", with_cell(base, "area", 9, std::int64_t{104}), "Duplicate areas",
       "Area '104' appears on 2 rows of the area table; each area must have one row."},
      {"as many areas as coefficients", base.take({0, 1, 2}), "Too few observations",
       "The Fay-Herriot fit needs more areas than design columns; found 3 areas for 3 columns."},
      {"one area", base.take({4}), "Too few observations",
       "The Fay-Herriot fit needs more areas than design columns; found 1 area for 3 columns."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AreaLevel model(c.table);
    const kelp::ModelError e = thrown_model_error([&] {
      model.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
    });
    EXPECT_EQ(e.title(), c.title);
    EXPECT_EQ(e.detail(), c.detail);
  }
}

TEST(AreaLevelFh, ZeroSamplingVariancesAreNamedInAWarning) {
  const kelp::Table base = reference_table();
  kelp::Table six_zero = base;
  for (std::size_t i = 0; i < 6; ++i) six_zero = with_cell(six_zero, "var", i, 0.0);
  struct Case {
    std::string name;
    kelp::Table table;
    std::string warning;  // empty: none
  };
  const std::vector<Case> cases = {
      {"none", with_cell(base, "var", 3, 1e-9), ""},
      {"one exact zero and one of about 1e-29 next to variances near 1",
       with_cell(with_cell(base, "var", 2, 0.0), "var", 7, 1.2e-29),
       "2 areas have a sampling variance of zero in column 'var' ('103', '108'): they are "
       "predicted by the direct estimate with an MSE of about 0, which overstates the precision. "
       "Pool or smooth the variances (for example with a generalised variance function) or "
       "collapse such areas with others."},
      {"more zeros than are listed", six_zero,
       "6 areas have a sampling variance of zero in column 'var' ('101', '102', '103', '104', "
       "'105' and 1 more): they are predicted"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    AreaLevel model(c.table);
    const SAEResults res = model.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
    if (c.warning.empty()) {
      EXPECT_EQ(log.text(), "");
    } else {
      EXPECT_THAT(log.text(), StartsWith("warning|" + c.warning));
    }
  }
}

TEST(AreaLevelFh, ScalingTheResponseAndVariancesScalesEveryResult) {
  // y -> c y and D -> c^2 D: predictions, coefficients and sigma_u move by c,
  // MSEs by c^2, the log-likelihood by -m log c; at c = 1e150 the squares of
  // the data are beyond the range of double.
  const kelp::Table base = reference_table();
  AreaLevel reference(base);
  const SAEResults ref = reference.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
  const std::vector<double> y = base.column("y").to_doubles();
  const std::vector<double> d = base.column("var").to_doubles();
  for (const double c : {1e-150, 1e-3, 1e3, 1e150}) {
    SCOPED_TRACE(c);
    std::vector<double> cy, cd;
    for (std::size_t i = 0; i < y.size(); ++i) {
      cy.push_back(c * y[i]);
      cd.push_back(c * c * d[i]);
    }
    AreaLevel model(base.with_column("y", kelp::Column(cy)).with_column("var", kelp::Column(cd)));
    const SAEResults res = model.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
    expect_rel(res.stats().sigma_u, c * ref.stats().sigma_u, 1e-8);
    EXPECT_NEAR(res.stats().log_likelihood,
                ref.stats().log_likelihood - static_cast<double>(y.size()) * std::log(c), 1e-6);
    for (std::size_t j = 0; j < ref.fixed_effects().size(); ++j) {
      expect_rel(res.fixed_effects()[j].est, c * ref.fixed_effects()[j].est, 1e-8);
      expect_rel(res.fixed_effects()[j].se, c * ref.fixed_effects()[j].se, 1e-8);
    }
    for (std::size_t i = 0; i < y.size(); ++i) {
      expect_rel(res.prediction()[i].pred, c * ref.prediction()[i].pred, 1e-8);
      expect_rel(res.prediction()[i].mse, c * c * ref.prediction()[i].mse, 1e-8);
    }
  }
}

TEST(AreaLevelFh, TextColumnsCannotBeModelVariables) {
  const kelp::Table t = reference_table().with_column(
      "label", kelp::Column(std::vector<std::string>(kY.size(), "north")));
  struct Case {
    std::string y;
    TermList x;
    std::string variance;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {"y", {"x1", "label"}, "var", "Column 'label' (covariate) holds text; it must be numeric."},
      {"label", {"x1"}, "var", "Column 'label' (response) holds text; it must be numeric."},
      {"y", {"x1"}, "label", "Column 'label' (sampling variance) holds text; it must be numeric."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.detail);
    AreaLevel model(t);
    const kelp::ModelError e =
        thrown_model_error([&] { model.fh(c.y, c.x, "area", {.variance = c.variance}); });
    EXPECT_EQ(e.title(), "Non-numeric column");
    EXPECT_EQ(e.detail(), c.detail);
  }
}

TEST(AreaLevelFh, CategoricalResolutionErrorsPassThrough) {
  AreaLevel model(reference_table());
  const kelp::ModelError e = thrown_model_error(
      [&] { model.fh("y", {kelp::Cat{"region"}}, "area", {.variance = "var"}); });
  EXPECT_EQ(e.title(), "Categorical Resolution Error");
}

// ---------------------------------------------------------------------------
// Rows, areas and covariates.

TEST(AreaLevelFh, RowsWithNullsAreDroppedBeforeCountingAreas) {
  const kelp::Table t =
      with_cell(with_cell(reference_table(), "x1", 3, kelp::null), "var", 7, kelp::null);
  AreaLevel model(t);
  const SAEResults res = model.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
  EXPECT_EQ(res.stats().n_areas, 13);
  EXPECT_EQ(res.stats().n_obs, 13);
  std::vector<std::string> areas;
  for (const SAEPred& p : res.prediction()) areas.push_back(p.area);
  EXPECT_THAT(areas, ::testing::Not(::testing::Contains("104")));
  EXPECT_THAT(areas, ::testing::Not(::testing::Contains("108")));
  EXPECT_EQ(areas.front(), "101");
  EXPECT_EQ(areas.back(), "115");
}

TEST(AreaLevelFh, AreaIdentifiersKeepTheirTextForm) {
  std::vector<std::string> names;
  std::vector<bool> valid;
  for (std::size_t i = 0; i < kY.size(); ++i) {
    names.push_back("District " + std::to_string(i));
    valid.push_back(i != 6);  // one area without a name: its row is dropped
  }
  const kelp::Table t = reference_table().with_column("name", kelp::Column(names, valid));
  AreaLevel model(t);
  const SAEResults res = model.fh("y", {"x1"}, "name", {.variance = "var"});
  ASSERT_EQ(res.prediction().size(), kY.size() - 1);
  EXPECT_EQ(res.prediction()[0].area, "District 0");
  EXPECT_EQ(res.prediction()[6].area, "District 7");
}

TEST(AreaLevelFh, AreaTermsNameTheColumn) {
  AreaLevel model(reference_table());
  const SAEResults by_name = model.fh("y", {"x1"}, "area", {.variance = "var"});
  const SAEResults by_re = model.fh("y", {"x1"}, kelp::RE{"area"}, {.variance = "var"});
  const SAEResults by_feature = model.fh("y", {"x1"}, kelp::Feature{"area"}, {.variance = "var"});
  EXPECT_EQ(by_name, by_re);
  EXPECT_EQ(by_name, by_feature);
}

TEST(AreaLevelFh, CategoricalCovariatesBecomeDummyColumns) {
  // Region levels in data order C, A, B, A, ...; reference A by default, or
  // the one named. The fit must equal one on hand-made 0/1 columns.
  const std::vector<std::string> region = {"C", "A", "B", "A", "C", "B", "A", "C",
                                           "B", "A", "C", "B", "A", "C", "B"};
  std::vector<double> is_b(region.size()), is_c(region.size()), is_a(region.size());
  for (std::size_t i = 0; i < region.size(); ++i) {
    is_a[i] = region[i] == "A";
    is_b[i] = region[i] == "B";
    is_c[i] = region[i] == "C";
  }
  const kelp::Table t = reference_table()
                            .with_column("region", kelp::Column(region))
                            .with_column("region_A_hand", kelp::Column(is_a))
                            .with_column("region_B_hand", kelp::Column(is_b))
                            .with_column("region_C_hand", kelp::Column(is_c));
  struct Case {
    TermList x;
    TermList x_hand;
    std::vector<std::string> terms;
  };
  const std::vector<Case> cases = {
      {{"x1", kelp::Cat{"region"}},
       {"x1", "region_B_hand", "region_C_hand"},
       {"Intercept", "x1", "region_B", "region_C"}},
      {{kelp::Cat{"region", "C"}, kelp::Feature{"x1"}},
       {"region_A_hand", "region_B_hand", "x1"},
       {"Intercept", "region_A", "region_B", "x1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.terms.back());
    AreaLevel model(t);
    const SAEResults res = model.fh("y", c.x, "area", {.variance = "var", .run = {.tol = 1e-9}});
    const SAEResults hand =
        model.fh("y", c.x_hand, "area", {.variance = "var", .run = {.tol = 1e-9}});
    ASSERT_EQ(res.fixed_effects().size(), c.terms.size());
    for (std::size_t j = 0; j < c.terms.size(); ++j) {
      EXPECT_EQ(res.fixed_effects()[j].term, c.terms[j]);
      EXPECT_NEAR(res.fixed_effects()[j].est, hand.fixed_effects()[j].est,
                  1e-9 * (1 + std::abs(hand.fixed_effects()[j].est)));
    }
    EXPECT_NEAR(res.stats().sigma_u, hand.stats().sigma_u, 1e-9);
    EXPECT_NEAR(res.prediction()[4].pred, hand.prediction()[4].pred, 1e-9);
  }
}

TEST(AreaLevelFh, PopDataIsIgnoredInAreaTableMode) {
  AreaLevel model(reference_table());
  const SAEResults plain = model.fh("y", {"x1"}, "area", {.variance = "var"});
  const SAEResults with_pop =
      model.fh("y", {"x1"}, "area",
               {.pop_data = kelp::Table({{"zzz", kelp::Column({1.0})}}), .variance = "var"});
  EXPECT_EQ(plain, with_pop);
}

TEST(AreaLevelFh, FittedHoldsTheLastSuccessfulResult) {
  AreaLevel model(reference_table());
  EXPECT_FALSE(model.fitted().has_value());
  const SAEResults first = model.fh("y", {"x1"}, "area", {.variance = "var"});
  ASSERT_TRUE(model.fitted().has_value());
  EXPECT_EQ(*model.fitted(), first);

  EXPECT_THROW(model.fh("y", {"x1"}, "area", {.variance = "var", .method = "REM"}),
               std::invalid_argument);
  EXPECT_THROW(model.fh("y", {"x1"}, "area", {.variance = "nope"}), kelp::ModelError);
  EXPECT_EQ(*model.fitted(), first);

  const SAEResults second = model.fh("y", {"x1", "x2"}, "area", {.variance = "var"});
  EXPECT_EQ(*model.fitted(), second);
  EXPECT_NE(first, second);
}

// ---------------------------------------------------------------------------
// Raw-sample mode.

// Seven areas a1..a7 with four units each (a7: five); pop_data covers
// a2..a8, so a1 and a8 drop out of the inner join.
kelp::Sample unit_sample() {
  std::vector<std::string> area;
  std::vector<double> y, z, w;
  const std::vector<double> level = {4.0, 5.5, 3.2, 6.1, 4.8, 5.0, 7.3};
  for (std::size_t a = 0; a < level.size(); ++a) {
    const std::size_t units = a == 6 ? 5 : 4;
    for (std::size_t k = 0; k < units; ++k) {
      std::string name = "a";
      name += std::to_string(a + 1);
      area.push_back(name);
      y.push_back(level[a] + 0.4 * static_cast<double>(k) - 0.3 * static_cast<double>(k % 2));
      z.push_back(1.0 + 0.1 * static_cast<double>(k + a));
      w.push_back(1.0);
    }
  }
  return kelp::Sample(kelp::Table({{"district", kelp::Column(area)},
                                   {"income", kelp::Column(y)},
                                   {"hh_size", kelp::Column(z)}}));
}

kelp::Table area_covariates() {
  return kelp::Table({{"district", kelp::Column({"a2", "a3", "a4", "a5", "a6", "a7", "a8"})},
                      {"x", kelp::Column({5.1, 3.9, 5.8, 4.6, 5.3, 6.9, 4.0})}});
}

TEST(AreaLevelRawSample, DirectEstimatesComeFromTheSample) {
  AreaLevel model(unit_sample());
  EXPECT_TRUE(model.is_sample());
  const kelp::Table direct =
      model.calculate_direct_estimates("income", "district", kelp::PopParam::MEAN);
  EXPECT_EQ(direct.column_names(),
            (std::vector<std::string>{"district", "direct_est", "direct_var"}));
  ASSERT_EQ(direct.num_rows(), 7u);
  // Unit weights: the direct estimate is the plain area mean.
  EXPECT_EQ(direct.column("district").text(0), "a1");
  EXPECT_NEAR(direct.column("direct_est").as_double(0), (4.0 + 4.1 + 4.8 + 4.9) / 4, 1e-12);
  const kelp::Estimate est = unit_sample().estimation().mean({.y = "income", .by = "district"});
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_DOUBLE_EQ(direct.column("direct_var").as_double(i), est.se()[i] * est.se()[i]);
  }
  // Text statistics select the same estimator as the enumeration.
  const kelp::Table totals = model.calculate_direct_estimates("income", "district", "Total");
  const kelp::Table totals_enum =
      model.calculate_direct_estimates("income", "district", kelp::PopParam::TOTAL);
  EXPECT_NEAR(totals.column("direct_est").as_double(0), 4.0 + 4.1 + 4.8 + 4.9, 1e-12);
  EXPECT_EQ(totals.column("direct_est").to_doubles(),
            totals_enum.column("direct_est").to_doubles());
  const kelp::Table ratio =
      model.calculate_direct_estimates("income", "district", kelp::PopParam::RATIO, "hh_size");
  EXPECT_NEAR(ratio.column("direct_est").as_double(0), (4.0 + 4.1 + 4.8 + 4.9) / 4.6, 1e-12);
}

TEST(AreaLevelRawSample, InnerJoinKeepsAreasPresentOnBothSides) {
  AreaLevel model(unit_sample());
  const SAEResults res =
      model.fh("income", {"x"}, kelp::RE{"district"}, {.pop_data = area_covariates()});
  EXPECT_EQ(res.y(), "direct_est");
  std::vector<std::string> areas;
  for (const SAEPred& p : res.prediction()) areas.push_back(p.area);
  EXPECT_EQ(areas, (std::vector<std::string>{"a2", "a3", "a4", "a5", "a6", "a7"}));
  EXPECT_EQ(res.stats().n_areas, 6);
  EXPECT_EQ(res.fixed_effects().back().term, "x");
  ASSERT_TRUE(model.fitted().has_value());

  // The same fit through area-table mode on the joined direct estimates.
  const kelp::Table joined =
      model.calculate_direct_estimates("income", "district", kelp::PopParam::MEAN)
          .inner_join(area_covariates(), "district");
  AreaLevel table_model(joined);
  const SAEResults via_table =
      table_model.fh("direct_est", {"x"}, "district", {.variance = "direct_var"});
  EXPECT_EQ(res, via_table);
}

TEST(AreaLevelRawSample, Failures) {
  AreaLevel from_table(reference_table());
  AreaLevel from_sample(unit_sample());
  // Without pop_data the missing table is named first, whatever the input.
  for (AreaLevel* model : {&from_table, &from_sample}) {
    EXPECT_EQ(thrown_message<std::invalid_argument>([&] { model->fh("y", {"x1"}, "area"); }),
              "Missing 'pop_data'. When running on raw sample data (variance=None), you MUST "
              "provide 'pop_data'.");
  }
  EXPECT_EQ(thrown_message<std::invalid_argument>(
                [&] { from_table.fh("y", {"x1"}, "area", {.pop_data = area_covariates()}); }),
            "Automated aggregation requires a 'kelp.Sample' object.");

  // A pop_data table without the area column.
  const kelp::ModelError e = thrown_model_error([&] {
    from_sample.fh("income", {"x"}, "district",
                   {.pop_data = area_covariates().rename("district", "region")});
  });
  EXPECT_EQ(e.title(), "Missing columns");
  EXPECT_EQ(e.code(), std::optional<std::string>("MISSING_COLUMN"));
  EXPECT_FALSE(from_sample.fitted().has_value());
}

TEST(AreaLevelRawSample, RepeatedPopDataRowsAndZeroVariances) {
  AreaLevel model(unit_sample());
  const kelp::Table pop = area_covariates();
  const kelp::ModelError e = thrown_model_error([&] {
    model.fh("income", {"x"}, "district", {.pop_data = pop.take({0, 1, 1, 2, 3, 4, 5, 6})});
  });
  EXPECT_EQ(e.title(), "Duplicate areas");
  EXPECT_EQ(e.detail(), "Area 'a3' appears on 2 rows of 'pop_data'; each area must have one row.");

  // Area a4 answers alike in all its units: its direct variance is 0.
  const kelp::Table units = unit_sample().data();
  std::vector<double> income = units.column("income").to_doubles();
  for (std::size_t i = 0; i < income.size(); ++i) {
    if (units.column("district").text(i) == "a4") income[i] = 3.0;
  }
  AreaLevel constant(kelp::Sample(units.with_column("income", kelp::Column(income))));
  LogCapture log;
  const SAEResults res = constant.fh("income", {"x"}, "district", {.pop_data = pop});
  EXPECT_THAT(log.text(),
              StartsWith("warning|1 area has a sampling variance of zero estimated from the "
                         "sample (an area within one PSU, or a proportion of 0 or 1) ('a4'): it "
                         "is predicted by the direct estimate"));
  EXPECT_NEAR(res.prediction()[2].pred, 3.0, 1e-12);
}

TEST(AreaLevelRawSample, UnsupportedStatisticsAreLoggedThenRaised) {
  AreaLevel model(unit_sample());
  struct Case {
    Statistic statistic;
    std::optional<std::string> denominator;
    std::string message;
    bool not_implemented;
  };
  const std::vector<Case> cases = {
      {std::string("mean"), std::nullopt, "Statistic mean not supported.", true},
      {kelp::PopParam::MEDIAN, std::nullopt, "Statistic Median not supported.", true},
      {std::string("Median"), std::nullopt, "Statistic Median not supported.", true},
      {kelp::PopParam::RATIO, std::nullopt,
       "The Ratio statistic needs a denominator variable: set 'ratio_denom'.", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    LogCapture log;
    const FhOptions options{
        .pop_data = area_covariates(), .statistic = c.statistic, .ratio_denom = c.denominator};
    const std::string message = c.not_implemented
                                    ? thrown_message<NotImplementedError>(
                                          [&] { model.fh("income", {"x"}, "district", options); })
                                    : thrown_message<std::invalid_argument>(
                                          [&] { model.fh("income", {"x"}, "district", options); });
    EXPECT_EQ(message, c.message);
    EXPECT_EQ(log.text(), "error|Failed to delegate to kelp.estimation: " + c.message + "\n");
  }
  // A failure inside the survey layer (an unknown variable) is logged too.
  LogCapture log;
  EXPECT_ANY_THROW(model.calculate_direct_estimates("wealth", "district", kelp::PopParam::MEAN));
  EXPECT_THAT(log.text(), StartsWith("error|Failed to delegate to kelp.estimation: "));
  // Without a Sample nothing is logged.
  LogCapture quiet;
  AreaLevel from_table(reference_table());
  EXPECT_THROW(from_table.calculate_direct_estimates("y", "area", kelp::PopParam::MEAN),
               std::invalid_argument);
  EXPECT_EQ(quiet.text(), "");
}

}  // namespace
}  // namespace kelp_sae
