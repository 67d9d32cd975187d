#include "kelp_sae/models/unit.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "kelp/errors.h"
#include "kelp_sae/core/logging.h"
#include "kelp_sae/kernels/testdata/nlme_reference.h"
#include "kelp_sae/models/common.h"
#include "tests/support/expect_error.h"

namespace kelp_sae {
namespace {

using kelp_sae::testing::kNlme;
using kelp_sae::testing::NlmeReference;

using kelp_sae::testing::expect_invalid_argument;
using kelp_sae::testing::expect_model_error;
using kelp_sae::testing::thrown_model_error;

using kelp::Column;
using kelp::Table;
using ::testing::HasSubstr;

// The nested-error data set (255 units in 20 areas, covariates x1 and x2)
// whose nlme fits are the references below.
Table nested_error_sample() {
  return kelp::read_csv(std::string(KELP_SAE_SOURCE_DIR) +
                        "/src/kelp_sae/kernels/testdata/nested_error.csv");
}

// One row per area 1..22 with covariate means and sizes; areas 21 and 22
// have no sample.
Table area_means_population() {
  std::vector<std::int64_t> area;
  std::vector<double> x1, x2;
  std::vector<std::int64_t> N;
  for (int a = 1; a <= 22; ++a) {
    area.push_back(a);
    x1.push_back(9.0 + 0.1 * a);
    x2.push_back(0.5 + 0.1 * a);
    N.push_back(100 + a);
  }
  return Table({{"area", Column(area)}, {"x1", Column(x1)}, {"x2", Column(x2)}, {"N", Column(N)}});
}

TEST(UnitLevelEblup, FitAgreesWithNlmeAndStatisticsFollowFromTheLikelihood) {
  const UnitLevel model(nested_error_sample());
  for (const NlmeReference& ref : kNlme) {
    SCOPED_TRACE(ref.method);
    const SAEResults res =
        model.eblup("y", {"x1", "x2"}, "area", area_means_population(),
                    {.pop_size = "N", .method = ref.method, .run = {.tol = 1e-9}});
    const SAEStats& st = res.stats();
    EXPECT_NEAR(st.sigma_u, ref.sigma_u, 1e-5 * ref.sigma_u);
    EXPECT_NEAR(st.sigma_e, ref.sigma_e, 1e-6 * ref.sigma_e);
    ASSERT_EQ(res.fixed_effects().size(), 3u);
    const char* terms[] = {"Intercept", "x1", "x2"};
    for (std::size_t k = 0; k < 3; ++k) {
      const FixedEffect& fe = res.fixed_effects()[k];
      EXPECT_EQ(fe.term, terms[k]);
      EXPECT_NEAR(fe.est, ref.beta[k], 1e-6 * (1.0 + std::abs(ref.beta[k])));
      EXPECT_NEAR(fe.se, ref.se[k], 1e-5 * ref.se[k]);
    }
    // Both likelihoods carry nlme's constants: (n - p) log 2 pi for REML and
    // n log 2 pi for ML.
    EXPECT_NEAR(st.log_likelihood, ref.loglik, 1e-6 * std::abs(ref.loglik));

    EXPECT_EQ(st.method, ref.method);
    EXPECT_EQ(st.n_obs, 255);
    EXPECT_EQ(st.n_areas, 22);
    const double k_params = 5.0;
    const double neg2 = -2.0 * st.log_likelihood;
    EXPECT_NEAR(st.aic, neg2 + 2.0 * k_params, 1e-9);
    EXPECT_NEAR(st.bic, neg2 + k_params * std::log(255.0), 1e-9);
    EXPECT_NEAR(st.kic, neg2 + 3.0 * k_params, 1e-9);
    const double su2 = st.sigma_u * st.sigma_u;
    EXPECT_NEAR(st.icc, su2 / (su2 + st.sigma_e * st.sigma_e), 1e-15);

    EXPECT_EQ(res.level(), "Unit Level");
    EXPECT_EQ(res.y(), "y");
    EXPECT_EQ(res.model_type(), "BHF (EBLUP) - MSE: Analytical");
    const RandomEffect& re = res.random_effects();
    EXPECT_EQ(re.term, (std::variant<std::string, std::vector<std::string>>("Area")));
    EXPECT_EQ(re.dist, "Normal");
    EXPECT_EQ(re.est, st.sigma_u);
    EXPECT_EQ(re.se, 0.0);

    // R-squared by hand from nlme's fit: the variance of x' beta over the
    // units against the variance components.
    const Table t = nested_error_sample();
    const auto x1 = t.column("x1").to_doubles();
    const auto x2 = t.column("x2").to_doubles();
    std::vector<double> f;
    for (std::size_t j = 0; j < x1.size(); ++j) {
      f.push_back(ref.beta[0] + ref.beta[1] * x1[j] + ref.beta[2] * x2[j]);
    }
    double mean = 0.0, var_f = 0.0;
    for (const double v : f) mean += v / static_cast<double>(f.size());
    for (const double v : f) var_f += (v - mean) * (v - mean) / static_cast<double>(f.size() - 1);
    const double u2 = ref.sigma_u * ref.sigma_u, e2 = ref.sigma_e * ref.sigma_e;
    ASSERT_TRUE(res.diagnostics().has_value());
    const Diagnostics& d = *res.diagnostics();
    EXPECT_NEAR(d.r_squared_marginal, var_f / (var_f + u2 + e2), 1e-5);
    EXPECT_NEAR(d.r_squared_conditional, (var_f + u2) / (var_f + u2 + e2), 1e-5);
    EXPECT_EQ(d.residuals.n, 255);
    EXPECT_EQ(d.area_effects.n, 20);
    // Unweighted sample means of the 20 sampled areas, every unit counted once.
    ASSERT_EQ(res.direct_estimates().size(), 20u);
    long long units = 0;
    for (const DirectEstimate& e : res.direct_estimates()) units += e.n;
    EXPECT_EQ(units, 255);
  }
}

TEST(UnitLevelEblup, DefaultToleranceIsCloseToTheOptimum) {
  const SAEResults res =
      UnitLevel(nested_error_sample())
          .eblup("y", {"x1", "x2"}, "area", area_means_population(), {.pop_size = "N"});
  EXPECT_NEAR(res.stats().sigma_u, kNlme[0].sigma_u, 1e-3);
  EXPECT_NEAR(res.stats().sigma_e, kNlme[0].sigma_e, 1e-3);
}

// Intercept only: beta_hat is a weighted mean with variance se^2, so every
// MSE term can be worked out by hand from sigma_u, sigma_e and se.
TEST(UnitLevelEblup, InterceptOnlyPredictionsAndAnalyticalMseByHand) {
  const Table sample({{"area", Column({"a", "a", "a", "b", "c", "c"})},
                      {"y", Column({10.0, 12.0, 11.0, 20.0, 5.0, 7.0})}});
  // "b" is sampled once; "z" has no sample; "c" is not in the population.
  const Table pop({{"area", Column({"z", "b", "a"})}, {"N", Column({50, 40, 30})}});
  const SAEResults res = UnitLevel(sample).eblup("y", TermList{}, "area", pop, {.pop_size = "N"});
  const double su2 = std::pow(res.stats().sigma_u, 2);
  const double se2 = std::pow(res.stats().sigma_e, 2);
  ASSERT_EQ(res.fixed_effects().size(), 1u);
  const double b0 = res.fixed_effects()[0].est;
  const double v0 = std::pow(res.fixed_effects()[0].se, 2);
  ASSERT_GT(su2, 1e-3);  // a clear area effect, so the shrinkage is not trivial
  ASSERT_EQ(res.prediction().size(), 3u);
  EXPECT_EQ(res.stats().n_areas, 3);

  const double n = 6.0, p = 1.0, M = 3.0;
  const double var_e2 = 2.0 * se2 * se2 / (n - p);
  const double var_u2 = 2.0 * su2 * su2 / M;
  struct Expected {
    std::string area;
    double n_i;
    double y_bar;
  };
  const std::vector<Expected> expected = {{"a", 3.0, 11.0}, {"b", 1.0, 20.0}, {"z", 0.0, 0.0}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Expected& e = expected[i];
    SCOPED_TRACE(e.area);
    const SAEPred& pr = res.prediction()[i];
    EXPECT_EQ(pr.area, e.area);
    EXPECT_EQ(pr.indicator, "Mean");
    double pred = b0;
    double mse = su2 + v0;  // no sample: the synthetic estimate
    if (e.n_i > 0) {
      const double V = su2 + se2 / e.n_i;
      const double gamma = su2 / V;
      pred = b0 + gamma * (e.y_bar - b0);
      const double d_e = -su2 / (e.n_i * V * V);
      const double d_u = (se2 / e.n_i) / (V * V);
      mse = su2 * (1.0 - gamma) + (1.0 - gamma) * (1.0 - gamma) * v0 +
            2.0 * V * (d_e * d_e * var_e2 + d_u * d_u * var_u2);
    }
    EXPECT_NEAR(pr.pred, pred, 1e-10 * std::abs(pred));
    EXPECT_NEAR(pr.mse, mse, 1e-10 * mse);
    EXPECT_NEAR(pr.cv, std::sqrt(pr.mse) / pr.pred, 1e-14);
    EXPECT_NEAR(pr.lci, pr.pred - 1.96 * std::sqrt(pr.mse), 1e-12);
    EXPECT_NEAR(pr.uci, pr.pred + 1.96 * std::sqrt(pr.mse), 1e-12);
  }
}

// A census of unit records and the table of its area means and sizes must
// give the same EBLUPs and analytical MSEs.
TEST(UnitLevelEblup, BothPopulationFormsAgree) {
  std::vector<std::string> area;
  std::vector<double> x1, x2;
  std::map<std::string, std::vector<double>> sums;  // area -> {N, sum x1, sum x2}
  for (int a = 1; a <= 22; ++a) {
    if (a == 7) continue;  // a sampled area missing from the population
    const int size = 3 + a % 4;
    for (int j = 0; j < size; ++j) {
      const std::string label =
          std::to_string(a % 2 == 0 ? 100 + a : a).substr(a % 2 == 0 ? 1 : 0);  // "04" is area 4
      area.push_back(label);
      x1.push_back(8.0 + 0.3 * a + 0.7 * j);
      x2.push_back(std::fmod(0.37 * a * (j + 1), 2.0));
    }
  }
  const Table census({{"area", Column(area)}, {"x1", Column(x1)}, {"x2", Column(x2)}});
  // The area means, computed independently of the model code.
  std::map<std::string, std::array<double, 3>> agg;
  for (std::size_t i = 0; i < area.size(); ++i) {
    auto& s = agg[std::to_string(std::stoi(area[i]))];
    s[0] += 1.0;
    s[1] += x1[i];
    s[2] += x2[i];
  }
  std::vector<std::string> m_area;
  std::vector<double> m_x1, m_x2, m_n;
  for (const auto& [label, s] : agg) {
    m_area.push_back(label);
    m_n.push_back(s[0]);
    m_x1.push_back(s[1] / s[0]);
    m_x2.push_back(s[2] / s[0]);
  }
  const Table means(
      {{"area", Column(m_area)}, {"x1", Column(m_x1)}, {"x2", Column(m_x2)}, {"N", Column(m_n)}});

  const UnitLevel model(nested_error_sample());
  const SAEResults from_units = model.eblup("y", {"x1", "x2"}, "area", census);
  const SAEResults from_means = model.eblup("y", {"x1", "x2"}, "area", means, {.pop_size = "N"});
  ASSERT_EQ(from_units.prediction().size(), 21u);
  ASSERT_EQ(from_means.prediction().size(), 21u);
  for (std::size_t i = 0; i < 21; ++i) {
    const SAEPred& u = from_units.prediction()[i];
    const SAEPred& m = from_means.prediction()[i];
    SCOPED_TRACE(u.area);
    EXPECT_EQ(u.area, m.area);
    EXPECT_NE(u.area, "7");
    EXPECT_NEAR(u.pred, m.pred, 1e-12 * std::abs(m.pred));
    EXPECT_NEAR(u.mse, m.mse, 1e-12 * m.mse);
  }
  // Areas 21 and 22 have no sample: the synthetic estimate x_bar' beta.
  const auto& fe = from_means.fixed_effects();
  for (std::size_t i : {13u, 14u}) {  // labels sort as 1, 10, ..., 19, 2, 20, 21, 22, 3, ...
    const SAEPred& pr = from_means.prediction()[i];
    ASSERT_TRUE(pr.area == "21" || pr.area == "22") << pr.area;
    const std::size_t row = i;  // the means table lists the areas in the same order
    ASSERT_EQ(m_area[row], pr.area);
    const double synthetic = fe[0].est + fe[1].est * m_x1[row] + fe[2].est * m_x2[row];
    EXPECT_NEAR(pr.pred, synthetic, 1e-12 * std::abs(synthetic));
  }
}

TEST(UnitLevelEblup, NonPositivePredictionsHaveZeroCv) {
  const Table sample(
      {{"area", Column({1, 1, 2, 2, 3, 3})}, {"y", Column({-1.0, -2.0, 0.5, 1.5, 4.0, 6.0})}});
  const Table pop({{"area", Column({1, 2, 3})}});
  const SAEResults res = UnitLevel(sample).eblup("y", TermList{}, "area", pop);
  ASSERT_EQ(res.prediction().size(), 3u);
  for (const SAEPred& pr : res.prediction()) {
    SCOPED_TRACE(pr.area);
    if (pr.pred > 0.0) {
      EXPECT_NEAR(pr.cv, std::sqrt(pr.mse) / pr.pred, 1e-14);
    } else {
      EXPECT_EQ(pr.cv, 0.0);
    }
  }
  EXPECT_LT(res.prediction()[0].pred, 0.0);
}

// A constant covariate is all zeros in the scaled design and collinear with
// the intercept in the raw one; the predictions stay those of the model
// without it.
// A covariate constant in the sample cannot be told from the intercept: the
// fit is refused, naming it, whatever its value in the population.
TEST(UnitLevelEblup, ConstantCovariateIsRejected) {
  const Table data = nested_error_sample();
  const Table with_const = data.with_column("c", Column(std::vector<double>(data.num_rows(), 5.0)));
  const Table pop = area_means_population().with_column("c", Column(std::vector<double>(22, 5.0)));
  expect_model_error(
      [&] {
        UnitLevel(with_const).eblup("y", {"x1", "c", "x2"}, "area", pop, {.pop_size = "N"});
      },
      "Collinear covariates", "'c' is constant in the data, like the intercept; drop it.");
}

TEST(UnitLevelEblup, MethodAndMseTextsInAnyCase) {
  const UnitLevel model(nested_error_sample());
  const Table pop = area_means_population();
  const SAEResults upper = model.eblup("y", {"x1"}, "area", pop, {.pop_size = "N"});
  const SAEResults lower = model.eblup("y", {"x1"}, "area", pop,
                                       {.pop_size = "N", .method = "reml", .mse = "analytical"});
  EXPECT_EQ(lower.stats().method, "reml");
  EXPECT_EQ(lower.model_type(), "BHF (EBLUP) - MSE: Analytical");
  EXPECT_EQ(lower.prediction(), upper.prediction());
  const SAEResults ml = model.eblup("y", {"x1"}, "area", pop, {.pop_size = "N", .method = "Ml"});
  EXPECT_EQ(ml.stats().method, "Ml");
  EXPECT_NE(ml.stats().sigma_u, upper.stats().sigma_u);
}

TEST(UnitLevelEblup, SampleInputAndFittedStaysEmpty) {
  const Table data = nested_error_sample();
  const UnitLevel from_table(data);
  const UnitLevel from_sample{kelp::Sample(data)};
  const SAEResults a =
      from_table.eblup("y", {"x1"}, kelp::RE{"area"}, area_means_population(), {.pop_size = "N"});
  const SAEResults b = from_sample.eblup("y", {"x1"}, kelp::Feature{"area"},
                                         area_means_population(), {.pop_size = "N"});
  EXPECT_EQ(a, b);
  EXPECT_FALSE(from_table.fitted().has_value());
  EXPECT_TRUE(from_sample.sample().has_value());
}

TEST(UnitLevelEblup, OptionErrors) {
  const UnitLevel model(nested_error_sample());
  const Table pop = area_means_population();
  const auto run = [&](EblupOptions o, const std::string& y = "y", const TermList& x = {"x1"}) {
    o.pop_size = "N";
    return model.eblup(y, x, "area", pop, o);
  };
  expect_invalid_argument([&] { run({.mse = "jackknife"}); },
                          "eblup: mse must be 'Analytical' or 'Bootstrap'; got 'jackknife'.");
  // The mse option is checked after the features are resolved and before
  // the sample is read.
  expect_model_error([&] { run({.mse = "jackknife"}, "y", {kelp::Cat{"nope"}}); },
                     "Categorical Resolution Error");
  expect_invalid_argument([&] { run({.mse = "jackknife"}, "nope"); },
                          "eblup: mse must be 'Analytical' or 'Bootstrap'; got 'jackknife'.");

  expect_invalid_argument([&] { run({.method = "GLS"}); },
                          "eblup: method must be 'REML' or 'ML'; got 'GLS'.");
  expect_invalid_argument([&] { run({.method = " FH"}); },
                          "eblup: method must be 'REML' or 'ML'; got ' FH'.");
  try {
    run({.intercept = false, .mse = "Bootstrap"});
    ADD_FAILURE() << "bootstrap without intercept accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_THAT(e.what(), HasSubstr("bootstrap MSE needs the intercept"));
  }
  expect_invalid_argument([&] { run({.mse = "Bootstrap", .run = {.n_reps = 0}}); },
                          "eblup: n_reps must be at least 1; got 0.");
  expect_invalid_argument([&] { run({.mse = "bootstrap", .run = {.batch_size = -2}}); },
                          "eblup: batch_size must be at least 1; got -2.");
}

TEST(UnitLevelEblup, AFitThatDidNotConvergeIsAnError) {
  const UnitLevel model(nested_error_sample());
  const kelp::ModelError e = thrown_model_error([&] {
    model.eblup("y", {"x1"}, "area", area_means_population(),
                {.pop_size = "N", .run = {.max_iter = 0}});
  });
  EXPECT_EQ(e.title(), "Optimization failed");
  EXPECT_EQ(e.detail(), "BFGS optimizer did not converge.");
}

TEST(UnitLevelEblup, InputErrorsKeepTheirTitles) {
  const Table pop({{"area", Column({1, 2})}, {"x", Column({1.0, 2.0})}});
  const Table sample({{"area", Column({1, 1, 2, 2})},
                      {"y", Column({1.0, 2.0, 3.0, 5.0})},
                      {"x", Column({1.0, kelp::null, 2.0, 4.0})},
                      {"label", Column({"a", "b", "c", "d"})}});
  const UnitLevel model(sample);
  expect_model_error([&] { model.eblup("nope", {"x"}, "area", pop); }, "Missing columns");
  expect_model_error([&] { model.eblup("y", {"x"}, "area", pop); }, "Input data contains NaNs",
                     "Missing values found in 'y' or predictor variables. Ensure "
                     "'drop_nulls=True' or clean your data manually.");
  expect_model_error([&] { model.eblup("y", {"label"}, "area", pop); }, "Non-numeric column");
  expect_model_error(
      [&] {
        model.eblup("y", {"x"}, "area", Table({{"area", Column({1})}}), {.drop_nulls = true});
      },
      "Missing Population Columns");
  // No more units than coefficients, with either MSE.
  const Table tiny(
      {{"area", Column({1, 2})}, {"y", Column({1.0, 3.0})}, {"x", Column({1.0, 2.0})}});
  for (const char* mse : {"Analytical", "Bootstrap"}) {
    SCOPED_TRACE(mse);
    expect_model_error([&] { UnitLevel(tiny).eblup("y", {"x"}, "area", pop, {.mse = mse}); },
                       "Too few observations",
                       "The nested-error fit needs more sample units than design columns; found "
                       "2 sample units for 2 columns.");
  }
  const Table empty({{"area", Column({1})}, {"y", Column({kelp::null})}});
  expect_model_error(
      [&] { UnitLevel(empty).eblup("y", TermList{}, "area", pop, {.drop_nulls = true}); },
      "Empty dataset", "Dataset empty after dropping nulls.");
}

TEST(UnitLevelEblup, InfiniteValuesAndPopulationSizesBelowOne) {
  const double inf = std::numeric_limits<double>::infinity();
  const Table sample({{"area", Column({1, 1, 2, 2, 3})},
                      {"y", Column({1.0, 2.0, 3.0, 5.0, 4.0})},
                      {"x", Column({1.0, 3.0, 2.0, 4.0, 2.5})}});
  const Table pop({{"area", Column({1, 2, 3})}, {"x", Column({1.0, 2.0, 3.0})}});
  const auto with = [](const Table& t, const std::string& name, std::size_t row, double v) {
    std::vector<double> values = t.column(name).to_doubles();
    values[row] = v;
    return t.with_column(name, Column(values));
  };
  struct Case {
    std::string name;
    Table sample;
    Table pop;
    std::optional<std::string> pop_size;
    std::string title;
    std::string detail;
  };
  const Table sized = pop.with_column("N", Column({10.0, 20.0, 30.0}));
  const std::vector<Case> cases = {
      {"infinite response", with(sample, "y", 1, inf), pop, std::nullopt, "Non-finite values",
       "Column 'y' of the sample holds 1 infinite value; every value must be a finite number."},
      {"infinite covariates", with(with(sample, "x", 0, -inf), "x", 4, inf), pop, std::nullopt,
       "Non-finite values",
       "Column 'x' of the sample holds 2 infinite values; every value must be a finite number."},
      {"infinite census covariate", sample, with(pop, "x", 2, inf), std::nullopt,
       "Non-finite values",
       "Column 'x' of the population table holds 1 infinite value; every value must be a finite "
       "number."},
      {"zero size", sample, with(sized, "N", 1, 0.0), "N", "Invalid population sizes",
       "Area '2' has population size 0 in column 'N'; sizes must be at least 1."},
      {"negative size", sample, with(sized, "N", 0, -5.0), "N", "Invalid population sizes",
       "Area '1' has population size -5 in column 'N'; sizes must be at least 1."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    expect_model_error(
        [&] { UnitLevel(c.sample).eblup("y", {"x"}, "area", c.pop, {.pop_size = c.pop_size}); },
        c.title, c.detail);
  }
}

TEST(UnitLevelEblup, PopulationMismatchesAreWarned) {
  const Table sample = nested_error_sample();  // areas 1..20
  const Table pop = area_means_population();   // areas 1..22, N = 100 + area
  std::vector<std::string> prefixed;
  std::vector<std::int64_t> small_n = pop.column("N").int_values();
  small_n[2] = 3;
  for (std::size_t a = 0; a < 22; ++a) {
    std::string label = "c";
    label += std::to_string(a + 1);
    prefixed.push_back(label);
  }
  struct Case {
    std::string name;
    Table pop;
    std::string warning;
  };
  const std::vector<Case> cases = {
      {"every sampled area in the population", pop, ""},
      {"labels that never match", pop.with_column("area", Column(prefixed)),
       "warning|None of the 20 sampled areas occurs among the 22 population areas (sample '1', "
       "'10', '11' and 17 more; population 'c1', 'c10', 'c11' and 19 more): every prediction is "
       "synthetic. Check that both tables label areas alike.\n"},
      {"sampled areas missing from the population", pop.take({0, 1, 2, 3, 4, 5, 6, 7, 8, 20, 21}),
       "warning|11 of the 20 sampled areas do not occur in the population table and get no "
       "prediction: '10', '11', '12', '13', '14' and 6 more.\n"},
      {"a size below the sample size", pop.with_column("N", Column(small_n)),
       "warning|1 population area has a size in column 'N' below the area's sample size: '3'.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    kelp_sae::LogCapture log("kelp_sae.models.unit");
    const SAEResults res =
        UnitLevel(sample).eblup("y", {"x1", "x2"}, "area", c.pop, {.pop_size = "N"});
    EXPECT_EQ(log.text(), c.warning);
    EXPECT_EQ(res.prediction().size(), c.pop.num_rows());
  }
}

TEST(UnitLevelEblup, ResultsBeyondTheRangeOfDoubleAreAnError) {
  // With y near 1e155 the variance components' squares overflow.
  const Table base = nested_error_sample();
  std::vector<double> y = base.column("y").to_doubles();
  for (double& v : y) v *= 1e155;
  const kelp::ModelError e = thrown_model_error([&] {
    UnitLevel(base.with_column("y", Column(y)))
        .eblup("y", {"x1", "x2"}, "area", area_means_population(), {.pop_size = "N"});
  });
  EXPECT_EQ(e.title(), "Non-finite results");
  EXPECT_THAT(e.detail(), HasSubstr("express the data in larger units."));
}

TEST(UnitLevelEblup, BootstrapIsDeterministicForAFixedSeedAndThreadCount) {
  const UnitLevel model(nested_error_sample());
  const Table pop = area_means_population();
  const auto run = [&](kelp::RandomStateArg rstate, std::string mse = "Bootstrap") {
    return model.eblup(
        "y", {"x1", "x2"}, "area", pop,
        {.pop_size = "N",
         .mse = std::move(mse),
         .run = {.n_reps = 30, .batch_size = 4, .rstate = rstate, .progress_bar = false}});
  };
  const int threads = omp_get_max_threads();
  omp_set_num_threads(1);
  const SAEResults one_thread = run(std::int64_t{42});
  omp_set_num_threads(2);
  const SAEResults two_threads = run(std::int64_t{42}, "BOOTSTRAP");
  omp_set_num_threads(threads);
  EXPECT_EQ(one_thread.prediction(), two_threads.prediction());
  EXPECT_EQ(two_threads.model_type(), "BHF (EBLUP) - MSE: Bootstrap");
  EXPECT_EQ(run(kelp::RandomState(42)).prediction(), one_thread.prediction());

  const SAEResults other_seed = run(std::int64_t{43}, "bootstrap");
  const SAEResults analytical = run(std::int64_t{42}, "Analytical");
  ASSERT_EQ(other_seed.prediction().size(), 22u);
  for (std::size_t i = 0; i < 22; ++i) {
    const SAEPred& a = one_thread.prediction()[i];
    SCOPED_TRACE(a.area);
    EXPECT_NE(a.mse, other_seed.prediction()[i].mse);
    EXPECT_GT(a.mse, 0.0);
    // The EBLUPs themselves do not depend on the MSE method.
    EXPECT_EQ(a.pred, analytical.prediction()[i].pred);
    EXPECT_NEAR(a.cv, std::sqrt(a.mse) / a.pred, 1e-14);
  }
}

// Sizes unknown: a unit-record population with one row per area gives N_i = 1
// everywhere, which the bootstrap reads exactly like sizes given as 1. Its
// MSEs are then close to the analytical ones.
TEST(UnitLevelEblup, BootstrapWithUnknownSizesAgreesWithAnalyticalMse) {
  const UnitLevel model(nested_error_sample());
  const Table means = area_means_population();
  const Table one_row_per_area = means.select({"area", "x1", "x2"});
  const Table unit_sizes = means.with_column("N", Column(std::vector<std::int64_t>(22, 1)));
  const EblupOptions boot{
      .mse = "Bootstrap",
      .run = {.n_reps = 400, .batch_size = 50, .rstate = 7, .progress_bar = false}};
  const SAEResults from_units = model.eblup("y", {"x1", "x2"}, "area", one_row_per_area, boot);
  EblupOptions with_size = boot;
  with_size.pop_size = "N";
  const SAEResults from_sizes = model.eblup("y", {"x1", "x2"}, "area", unit_sizes, with_size);
  EXPECT_EQ(from_units.prediction(), from_sizes.prediction());

  const SAEResults analytical = model.eblup("y", {"x1", "x2"}, "area", one_row_per_area);
  double log_ratio = 0.0;
  for (std::size_t i = 0; i < 22; ++i) {
    log_ratio += std::log(from_units.prediction()[i].mse / analytical.prediction()[i].mse);
  }
  // 400 replicates: each area's MSE has a relative error near sqrt(2/400) = 7%;
  // the geometric mean over 22 areas is well within 15% of the analytical one.
  EXPECT_NEAR(log_ratio / 22.0, 0.0, 0.15);
}

TEST(UnitLevelEblup, BootstrapNeedsSampledAreasInThePopulation) {
  const Table pop({{"area", Column({"elsewhere"})}, {"x1", Column({1.0})}, {"x2", Column({1.0})}});
  expect_model_error(
      [&] {
        UnitLevel(nested_error_sample())
            .eblup("y", {"x1", "x2"}, "area", pop,
                   {.mse = "Bootstrap", .run = {.progress_bar = false}});
      },
      "No sampled population areas");
}

TEST(UnitLevelEblup, ZeroStandardErrorGivesZeroScoreAndUnitPValue) {
  const std::vector<FixedEffect> rows = models::make_fixed_effects(
      {"Intercept", "x"}, Eigen::Vector2d(2.0, 3.0), Eigen::Vector2d(0.0, 1.5));
  EXPECT_EQ(rows[0].t_score, 0.0);
  EXPECT_EQ(rows[0].p_value, 1.0);
  EXPECT_EQ(rows[0].lci, 2.0);
  EXPECT_NEAR(rows[1].p_value, 2.0 * (1.0 - 0.5 * std::erfc(-2.0 / std::sqrt(2.0))), 1e-15);
}

// Results in any unit of the response: y -> c y scales the predictions, the
// coefficients and their standard errors by c and every MSE by c^2.
TEST(UnitLevelEblup, ScalingTheResponseScalesEveryResult) {
  const Table base = nested_error_sample();
  std::vector<std::string> group;
  for (std::size_t i = 0; i < base.num_rows(); ++i) group.push_back(std::string(1, "ABC"[i % 3]));
  const Table data = base.with_column("g", Column(group));
  const Table pop = area_means_population()
                        .with_column("g_B", Column(std::vector<double>(22, 0.3)))
                        .with_column("g_C", Column(std::vector<double>(22, 0.4)));
  const std::vector<double>& y = base.column("y").float_values();
  const TermList x{"x1", kelp::Cat{"g"}};
  const auto near = [](double got, double want, double tol) {
    EXPECT_NEAR(got, want, tol * std::abs(want));
  };
  for (const char* method : {"REML", "ML"}) {
    for (const char* mse : {"Analytical", "Bootstrap"}) {
      const EblupOptions options{
          .pop_size = "N",
          .method = method,
          .mse = mse,
          .run = {.n_reps = 12, .batch_size = 4, .rstate = 3, .progress_bar = false}};
      const SAEResults one = UnitLevel(data).eblup("y", x, "area", pop, options);
      // At 1e-150 and 1e150 the squares of the data leave the range of double.
      for (const double c : {1e-150, 1e-3, 1.0, 1e3, 1e150}) {
        SCOPED_TRACE(std::string(method) + " " + mse + " c=" + std::to_string(c));
        std::vector<double> yc(y);
        for (double& v : yc) v *= c;
        const SAEResults r =
            UnitLevel(data.with_column("yc", Column(yc))).eblup("yc", x, "area", pop, options);
        ASSERT_EQ(r.prediction().size(), one.prediction().size());
        for (std::size_t i = 0; i < r.prediction().size(); ++i) {
          near(r.prediction()[i].pred, c * one.prediction()[i].pred, 1e-8);
          near(r.prediction()[i].mse, c * c * one.prediction()[i].mse, 1e-8);
        }
        ASSERT_EQ(r.fixed_effects().size(), 4u);
        for (std::size_t k = 0; k < 4; ++k) {
          near(r.fixed_effects()[k].est, c * one.fixed_effects()[k].est, 1e-8);
          near(r.fixed_effects()[k].se, c * one.fixed_effects()[k].se, 1e-8);
        }
      }
    }
  }
}

}  // namespace
}  // namespace kelp_sae
