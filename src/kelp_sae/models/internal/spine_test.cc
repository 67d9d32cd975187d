#include "kelp_sae/models/internal/spine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "kelp/errors.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/models/area.h"
#include "kelp_sae/models/unit.h"
#include "tests/support/expect_error.h"

namespace kelp_sae::models::internal {
namespace {

TEST(Spine, RunOptionsAreCheckedInOnePlace) {
  struct Case {
    RunOptions options;
    bool bootstrap;
    const char* message;  // empty: accepted
  };
  const Case cases[] = {
      {{.n_reps = 0, .batch_size = 0}, false, ""},  // unused without the bootstrap
      {{.n_reps = 0}, true, "ebp: n_reps must be at least 1; got 0."},
      {{.batch_size = -3}, true, "ebp: batch_size must be at least 1; got -3."},
      {{.tol = -1e-4}, false, "ebp: tol must be a finite number at least 0; got -0.0001."},
      {{.tol = std::nan("")}, false, "ebp: tol must be a finite number at least 0; got nan."},
      {{.max_iter = -1}, false, "ebp: max_iter must be at least 0; got -1."},
      {{.rstate = std::int64_t{-2}}, false, ""},  // unused without the bootstrap
      {{.rstate = std::int64_t{-2}}, true, "ebp: rstate must be at least 0; got -2."},
      {{.tol = 0.0, .max_iter = 0}, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const auto resolve = [&] {
      return resolve_run("ebp", c.options, EbpOptions::kRunDefaults, c.bootstrap,
                         ZeroSeed::kIsSeed);
    };
    if (*c.message == '\0') {
      EXPECT_NO_THROW(resolve());
      continue;
    }
    try {
      resolve();
      ADD_FAILURE() << "accepted";
    } catch (const ArgumentError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(Spine, UnsetRunSettingsTakeTheModelsDefaults) {
  // Setting one run value keeps the model's other defaults: eblup's
  // iteration limit stays 500 when only n_reps is given.
  struct Case {
    const char* model;
    RunOptions run;
    RunDefaults defaults;
    int n_reps;
    int max_iter;
  };
  const Case cases[] = {
      {"fh", FhOptions{}.run, FhOptions::kRunDefaults, 100, 100},
      {"eblup", EblupOptions{}.run, EblupOptions::kRunDefaults, 100, 500},
      {"ebp", EbpOptions{}.run, EbpOptions::kRunDefaults, 50, 500},
      {"fh", FhOptions{.run = {.n_reps = 10}}.run, FhOptions::kRunDefaults, 10, 100},
      {"eblup", EblupOptions{.run = {.n_reps = 10}}.run, EblupOptions::kRunDefaults, 10, 500},
      {"ebp", EbpOptions{.run = {.n_reps = 10}}.run, EbpOptions::kRunDefaults, 10, 500},
      {"eblup", EblupOptions{.run = {.max_iter = 7}}.run, EblupOptions::kRunDefaults, 100, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    const RunSettings run =
        resolve_run(c.model, c.run, c.defaults, /*bootstrap=*/true, ZeroSeed::kIsSeed);
    EXPECT_EQ(run.n_reps, c.n_reps);
    EXPECT_EQ(run.max_iter, c.max_iter);
  }
  // The seed is resolved with the bootstrap only.
  EXPECT_EQ(resolve_run("eblup", {.rstate = std::int64_t{9}}, EblupOptions::kRunDefaults, true,
                        ZeroSeed::kIsSeed)
                .seed,
            9u);
  EXPECT_EQ(resolve_run("eblup", {.rstate = std::int64_t{9}}, EblupOptions::kRunDefaults, false,
                        ZeroSeed::kIsSeed)
                .seed,
            0u);
}

TEST(Spine, SeedResolution) {
  // An integer state is the seed itself, 0 included, unless 0 means "fresh".
  EXPECT_EQ(resolve_seed("eblup", std::int64_t{0}, ZeroSeed::kIsSeed), 0u);
  EXPECT_EQ(resolve_seed("fh", std::int64_t{42}, ZeroSeed::kDrawFresh), 42u);
  EXPECT_EQ(resolve_seed("fh", kelp::RandomState(7), ZeroSeed::kDrawFresh), 7u);
  // Negative integers are rejected whatever 0 means.
  for (const ZeroSeed zero : {ZeroSeed::kIsSeed, ZeroSeed::kDrawFresh}) {
    try {
      resolve_seed("eblup", std::int64_t{-1}, zero);
      ADD_FAILURE() << "negative seed accepted";
    } catch (const ArgumentError& e) {
      EXPECT_EQ(e.argument(), "rstate");
      EXPECT_STREQ(e.what(), "eblup: rstate must be at least 0; got -1.");
    }
  }
  // Fresh seeds lie in [0, 2^30) and differ between calls (a repeat has
  // probability 2^-30 per pair).
  std::vector<std::uint64_t> fresh;
  for (int i = 0; i < 3; ++i) fresh.push_back(resolve_seed("fh", {}, ZeroSeed::kIsSeed));
  for (std::uint64_t s : fresh) EXPECT_LT(s, std::uint64_t{1} << 30);
  EXPECT_FALSE(fresh[0] == fresh[1] && fresh[1] == fresh[2]);
}

TEST(Spine, OptionTextsParseOnceWithTheirMessages) {
  EXPECT_EQ(parse_variance_method("fh", " reml "), VarianceMethod::REML);
  EXPECT_EQ(parse_variance_method("fh", "ml"), VarianceMethod::ML);
  EXPECT_THROW(parse_variance_method("fh", "REM"), ArgumentError);
}

TEST(Spine, LikelihoodConstantFollowsTheMethod) {
  // -2 log L = 10 without constant, n = 20, p = 3.
  const double log2pi = std::log(2.0 * std::numbers::pi);
  EXPECT_NEAR(gaussian_log_likelihood(10.0, VarianceMethod::ML, 20, 3), -0.5 * (10 + 20 * log2pi),
              1e-12);
  EXPECT_NEAR(gaussian_log_likelihood(10.0, VarianceMethod::REML, 20, 3), -0.5 * (10 + 17 * log2pi),
              1e-12);
}

TEST(Spine, PredictionRowsApplyTheCvRule) {
  const Eigen::Vector3d pred(2.0, -2.0, 0.0);
  const Eigen::Vector3d mse(4.0, 4.0, 1.0);
  const std::vector<std::string> areas = {"a", "b", "c"};
  const auto fh = prediction_rows(areas, pred, mse, CvRule::kNonZeroPrediction);
  const auto unit = prediction_rows(areas, pred, mse, CvRule::kPositivePrediction, "Mean");
  EXPECT_DOUBLE_EQ(fh[0].cv, 1.0);
  EXPECT_DOUBLE_EQ(fh[1].cv, -1.0);
  EXPECT_DOUBLE_EQ(unit[1].cv, 0.0);
  EXPECT_DOUBLE_EQ(fh[2].cv, 0.0);
  EXPECT_DOUBLE_EQ(fh[0].lci, 2.0 - 1.96 * 2.0);
  EXPECT_DOUBLE_EQ(fh[0].uci, 2.0 + 1.96 * 2.0);
  EXPECT_EQ(fh[0].indicator, "mean");
  EXPECT_EQ(unit[0].indicator, "Mean");
}

TEST(Spine, DesignsTheFitCannotIdentifyAreRejected) {
  // Columns on very different scales: the test must not depend on the units.
  const Eigen::VectorXd one = Eigen::VectorXd::Ones(6);
  Eigen::VectorXd tiny(6);
  tiny << 1e-9, 3e-9, 2e-9, 7e-9, 5e-9, 4e-9;
  Eigen::VectorXd huge(6);
  huge << 3e12, 1e12, 4e12, 1e12, 5e12, 9e12;
  const auto design = [](std::initializer_list<Eigen::VectorXd> columns) {
    Eigen::MatrixXd X(6, static_cast<Eigen::Index>(columns.size()));
    Eigen::Index j = 0;
    for (const Eigen::VectorXd& c : columns) X.col(j++) = c;
    return X;
  };
  const DesignRows rows{.fit = "The EBP fit", .unit = "sample unit"};
  struct Case {
    Eigen::MatrixXd X;
    std::vector<std::string> names;
    std::string title;  // empty: accepted
    std::string detail;
  };
  const std::vector<Case> cases = {
      {design({one, tiny, huge}), {"Intercept", "tiny", "huge"}, "", ""},
      // Near-collinear but identified: 1e-5 of the column is its own.
      {design({one, tiny, (tiny * 2e20 + huge * 1e-5).eval()}), {"Intercept", "t", "u"}, "", ""},
      {design({one, (one * 4e9).eval(), huge}),
       {"Intercept", "age", "huge"},
       "Collinear covariates",
       "'age' is constant in the data, like the intercept; drop it."},
      {design({one, tiny, huge, (tiny * 3e20 - huge * 2.0 + one * 1e12).eval()}),
       {"Intercept", "tiny", "huge", "mix"},
       "Collinear covariates",
       "'mix' is a linear combination of 'Intercept', 'tiny' and 'huge' in the data; drop one of "
       "them."},
      {design({one, huge, (huge * -1e-20).eval()}),
       {"Intercept", "x", "x_small"},
       "Collinear covariates",
       "'x_small' is a linear combination of 'x' in the data; drop one of them."},
      {design({one, Eigen::VectorXd::Zero(6)}),
       {"Intercept", "d"},
       "Collinear covariates",
       "'d' is 0 in every row of the data; drop it."},
      // Without an intercept a constant column is a column like any other.
      {design({(one * 4.0).eval(), huge}), {"age", "huge"}, "", ""},
      {design({one, tiny, huge, one, tiny, huge}).topRows(3),
       {"Intercept", "a", "b", "c", "d", "e"},
       "Too few observations",
       "The EBP fit needs more sample units than design columns; found 3 sample units for 6 "
       "columns."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.detail);
    if (c.title.empty()) {
      EXPECT_NO_THROW(check_design(c.X, c.names, rows));
    } else {
      testing::expect_model_error([&] { check_design(c.X, c.names, rows); }, c.title, c.detail);
    }
  }
  const DesignRows areas{.fit = "The Fay-Herriot fit", .unit = "area"};
  testing::expect_model_error([&] { check_design(design({one}).topRows(1), {"Intercept"}, areas); },
                              "Too few observations",
                              "The Fay-Herriot fit needs more areas than design columns; found 1 "
                              "area for 1 columns.");

  testing::expect_model_error(
      [] {
        check_covariate_names({"age", "x", "age"});
      },
      "Duplicate covariates", "Covariate 'age' is given 2 times; give each covariate once.");
  EXPECT_NO_THROW(check_covariate_names({"age", "x", "region_North"}));
}

}  // namespace
}  // namespace kelp_sae::models::internal
