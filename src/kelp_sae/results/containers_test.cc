// Result records: text forms, width settings, dictionary and table export.
#include "kelp_sae/results/containers.h"
#include "kelp_sae/core/optimization_result.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kelp_sae {
namespace {

SAEResults sample_result() {
  return SAEResults(
      "Area Level", "y", "Fay-Herriot (MSE: analytical)",
      SAEStats{.method = "REML",
               .n_obs = 10,
               .n_areas = 10,
               .sigma_u = 0.5,
               .sigma_e = 0.0,
               .log_likelihood = -12.25,
               .aic = 30.5,
               .bic = 31.5,
               .kic = 33.5,
               .icc = 0.25},
      {{"Intercept", 1.0, 0.5, 2.0, 0.0455, 0.02, 1.98},
       {"x1", 1.5, 0.25, 6.0, 1.973e-09, 1.01, 1.99}},
      {"Area", "Normal", 0.5, 0.1},
      {{"A", 10.0, 0.25, 0.05, 9.02, 10.98}, {"B", 11.0, 0.36, 0.0545, 9.824, 12.176, "Mean"}});
}

#define EXPECT_THROW_MSG(stmt, type, msg)         \
  do {                                            \
    try {                                         \
      stmt;                                       \
      ADD_FAILURE() << "no exception: " #stmt;    \
    } catch (const type& e) {                     \
      EXPECT_EQ(std::string(e.what()), msg);      \
    } catch (...) {                               \
      ADD_FAILURE() << "wrong exception: " #stmt; \
    }                                             \
  } while (0)

TEST(TextForms, Records) {
  struct Case {
    std::string got;
    std::string want;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {
      {to_string(FixedEffect{"x1", 1.5, 0.25, 6.0, 1.973e-09, 1.01, 1.99}),
       "FixedEffect(term='x1', est=1.5000, se=0.2500, z=6.00, p=1.973e-09)"},
      {to_string(FixedEffect{"Intercept", -0.00004, 2.0, 0.0, 1.0, 0, 0}),
       "FixedEffect(term='Intercept', est=-0.0000, se=2.0000, z=0.00, p=1)"},
      {to_string(FixedEffect{"x", 1.0, 0.0, 0.0, 0.05, 0, 0}),
       "FixedEffect(term='x', est=1.0000, se=0.0000, z=0.00, p=0.05)"},
      {to_string(FixedEffect{"x", 1.0, 1.0, 12345.678, 0.12345678, 0, 0}),
       "FixedEffect(term='x', est=1.0000, se=1.0000, z=12345.68, p=0.1235)"},
      {to_string(FixedEffect{"x", nan, inf, -inf, nan, 0, 0}),
       "FixedEffect(term='x', est=nan, se=inf, z=-inf, p=nan)"},
      {to_string(FixedEffect{"x", -nan, 0, 0, 12345.0, 0, 0}),
       "FixedEffect(term='x', est=nan, se=0.0000, z=0.00, p=1.234e+04)"},
      {to_string(FixedEffect{"it's", 0, 0, 0, 0, 0, 0}),
       "FixedEffect(term=\"it's\", est=0.0000, se=0.0000, z=0.00, p=0)"},
      {to_string(FixedEffect{"a'\"b\\\n", 0, 0, 0, 0, 0, 0}),
       "FixedEffect(term='a\\'\"b\\\\\\n', est=0.0000, se=0.0000, z=0.00, p=0)"},
      {to_string(RandomEffect{"Area", "Normal", 0.123456, 0.0}),
       "RandomEffect(term='Area', dist=Normal, sigma=0.1235)"},
      {to_string(RandomEffect{std::vector<std::string>{"region", "area"}, "Normal", 2.0, 0.0}),
       "RandomEffect(term='region, area', dist=Normal, sigma=2.0000)"},
      {to_string(SAEStats{.method = "ML",
                          .n_obs = 200,
                          .n_areas = 20,
                          .sigma_u = 1.23456,
                          .log_likelihood = -100.0,
                          .icc = 0.5}),
       "SAEStats(method=ML, n_areas=20, n_obs=200, sigma_u=1.2346, icc=0.5000, "
       "logLik=-100.0000)"},
      {to_string(SAEPred{"7", 1.0, 0.02, 0.1414, 0.7, 1.3}),
       "SAEPred(area='7', pred=1.0000, mse=0.0200, cv=0.1414)"},
      {to_string(SAEPred{"7", 1.0, std::nan(""), std::nan(""), std::nan(""), std::nan("")}),
       "SAEPred(area='7', pred=1.0000, mse=, cv=)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(c.got, c.want);
  }
  std::ostringstream os;
  os << FixedEffect{"x1", 1.5, 0.25, 6.0, 1.973e-09, 1.01, 1.99} << '|'
     << SAEPred{"A", 1, 2, 3, 4, 5};
  EXPECT_EQ(os.str(),
            "FixedEffect(term='x1', est=1.5000, se=0.2500, z=6.00, p=1.973e-09)|"
            "SAEPred(area='A', pred=1.0000, mse=2.0000, cv=3.0000)");
}

TEST(TextForms, OptimizationResultShowsShortestReprOfTheLoss) {
  struct Case {
    double fun;
    bool success;
    int message;
    std::string want;
  };
  const Case cases[] = {
      {12.5, true, 0, "OptimizationResult(success=True, fun=12.5, message=0)"},
      {100.0, false, 2, "OptimizationResult(success=False, fun=100.0, message=2)"},
      {0.1, true, 0, "OptimizationResult(success=True, fun=0.1, message=0)"},
      {-1.0 / 3.0, true, 0, "OptimizationResult(success=True, fun=-0.3333333333333333, message=0)"},
      {1e-5, true, 0, "OptimizationResult(success=True, fun=1e-05, message=0)"},
      {0.0001, true, 0, "OptimizationResult(success=True, fun=0.0001, message=0)"},
      {1e16, true, 0, "OptimizationResult(success=True, fun=1e+16, message=0)"},
      {1234567890123456.0, true, 0,
       "OptimizationResult(success=True, fun=1234567890123456.0, message=0)"},
      {-2.5e-300, true, 0, "OptimizationResult(success=True, fun=-2.5e-300, message=0)"},
      {0.0, true, 0, "OptimizationResult(success=True, fun=0.0, message=0)"},
      {std::numeric_limits<double>::quiet_NaN(), false, 3,
       "OptimizationResult(success=False, fun=nan, message=3)"},
      {-std::numeric_limits<double>::infinity(), false, 3,
       "OptimizationResult(success=False, fun=-inf, message=3)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    OptimizationResult r{Eigen::VectorXd::Zero(1), Eigen::MatrixXd::Identity(1, 1), c.fun,
                         c.success, c.message};
    EXPECT_EQ(to_string(r), c.want);
  }
}

TEST(OptimizationResult, StructuredBindingsInFieldOrder) {
  OptimizationResult r{Eigen::VectorXd::Constant(2, 3.0), Eigen::MatrixXd::Identity(2, 2), 1.5,
                       true, 0};
  auto [params, hessian_inv, fun, success, message] = r;
  EXPECT_EQ(params.size(), 2);
  EXPECT_EQ(hessian_inv.rows(), 2);
  EXPECT_EQ(fun, 1.5);
  EXPECT_TRUE(success);
  EXPECT_EQ(message, 0);
}

TEST(Records, DefaultsAndValueSemantics) {
  SAEPred p{"A", 1, 2, 3, 4, 5};
  EXPECT_EQ(p.indicator, "mean");
  SAEResults a = sample_result();
  SAEResults b = a;
  EXPECT_EQ(a, b);
  b.set_y("z");
  EXPECT_NE(a, b);
  EXPECT_EQ(a.y(), "y");
}

TEST(PrintWidth, OwnWidth) {
  SAEResults r = sample_result();
  EXPECT_EQ(&r.set_print_width(21), &r);
  EXPECT_EQ(r.print_width(), 21);
  EXPECT_THROW_MSG(r.set_print_width(20), std::invalid_argument,
                   "print width must be > 20 characters.");
  EXPECT_THROW_MSG(r.set_print_width(-5), std::invalid_argument,
                   "print width must be > 20 characters.");
  EXPECT_EQ(r.print_width(), 21);  // unchanged after a failure
  EXPECT_EQ(&r.set_print_width(std::nullopt), &r);
  EXPECT_EQ(r.print_width(), std::nullopt);
}

TEST(PrintWidth, TextFollowsPythonIntConversion) {
  struct Case {
    std::string text;
    std::optional<int> width;  // nullopt: rejected as no integer
  };
  const Case cases[] = {
      {"80", 80},   {" 42\n", 42}, {"+33", 33},  {"1_00", 100},       {"0080", 80}, {"abc", {}},
      {"12.5", {}}, {"", {}},      {"  ", {}},   {"1e3", {}},         {"4 2", {}},  {"_100", {}},
      {"100_", {}}, {"1__0", {}},  {"0x40", {}}, {"99999999999", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SAEResults r = sample_result();
    r.set_print_width(50);
    if (c.width) {
      r.set_print_width(std::string_view(c.text));
      EXPECT_EQ(r.print_width(), c.width);
    } else {
      std::string quoted = "'" + c.text + "'";
      if (c.text == " 42\n") quoted = "' 42\\n'";
      EXPECT_THROW_MSG(r.set_print_width(std::string_view(c.text)), std::invalid_argument,
                       "print width must be int or None; got " + quoted);
      EXPECT_EQ(r.print_width(), 50);
    }
  }
  SAEResults r = sample_result();
  EXPECT_THROW_MSG(r.set_print_width(std::string_view("-30")), std::invalid_argument,
                   "print width must be > 20 characters.");
  EXPECT_THROW_MSG(r.set_print_width(std::string_view("it's")), std::invalid_argument,
                   "print width must be int or None; got \"it's\"");
}

TEST(PrintWidth, TypeWideDefault) {
  SAEResults::set_default_print_width(std::nullopt);
  SAEResults::set_default_print_width(120);
  EXPECT_EQ(SAEResults::default_print_width(), 120);
  EXPECT_THROW_MSG(SAEResults::set_default_print_width(20), std::invalid_argument,
                   "class print width must be > 20 characters.");
  EXPECT_THROW_MSG(SAEResults::set_default_print_width(std::string_view("wide")),
                   std::invalid_argument, "class print width must be int or None; got 'wide'");
  EXPECT_EQ(SAEResults::default_print_width(), 120);
  SAEResults::set_default_print_width(std::string_view("64"));
  EXPECT_EQ(SAEResults::default_print_width(), 64);
  EXPECT_EQ(sample_result().print_width(), std::nullopt);  // a result's own width is separate
  SAEResults::set_default_print_width(std::nullopt);
  EXPECT_EQ(SAEResults::default_print_width(), std::nullopt);
}

TEST(Export, ToDictKeepsFieldOrderAndOmitsWidth) {
  SAEResults r = sample_result();
  r.set_print_width(80);
  const nlohmann::ordered_json j = r.to_dict();
  EXPECT_EQ(j.dump(),
            R"j({"level":"Area Level","y":"y","model_type":"Fay-Herriot (MSE: analytical)",)j"
            R"j("stats":{"method":"REML","n_obs":10,"n_areas":10,"sigma_u":0.5,"sigma_e":0.0,)j"
            R"j("log_likelihood":-12.25,"aic":30.5,"bic":31.5,"kic":33.5,"icc":0.25},)j"
            R"j("fixed_effects":[{"term":"Intercept","est":1.0,"se":0.5,"t_score":2.0,)j"
            R"j("p_value":0.0455,"lci":0.02,"uci":1.98},{"term":"x1","est":1.5,"se":0.25,)j"
            R"j("t_score":6.0,"p_value":1.973e-09,"lci":1.01,"uci":1.99}],)j"
            R"j("random_effects":{"term":"Area","dist":"Normal","est":0.5,"se":0.1},)j"
            R"j("prediction":[{"area":"A","pred":10.0,"mse":0.25,"cv":0.05,"lci":9.02,)j"
            R"j("uci":10.98,"indicator":"mean"},{"area":"B","pred":11.0,"mse":0.36,"cv":0.0545,)j"
            R"j("lci":9.824,"uci":12.176,"indicator":"Mean"}]})j");
  EXPECT_TRUE(j["stats"]["n_obs"].is_number_integer());

  r.set_random_effects({std::vector<std::string>{"region", "area"}, "Normal", 1.0, 0.0});
  r.set_fixed_effects({});
  const auto j2 = r.to_dict();
  EXPECT_EQ(j2["random_effects"]["term"].dump(), R"j(["region","area"])j");
  EXPECT_TRUE(j2["fixed_effects"].is_array());
  EXPECT_TRUE(j2["fixed_effects"].empty());
}

TEST(Export, DiagnosticsBlockHoldsStatisticsNotPlotValues) {
  SAEResults r = sample_result();
  Diagnostics d;
  d.residuals = {.n = 6000,
                 .skewness = 0.5,
                 .kurtosis = 3.25,
                 .shapiro_w = 0.99,
                 .shapiro_p = 0.125,
                 .shapiro_n = 5000,
                 .subsampled = true};
  d.area_effects = {.n = 10};  // too few to test: NaN statistics are null
  d.r_squared = 0.75;
  d.boxcox_lambda = {-1.0, 1.0};
  d.boxcox_loglik = {-10.5, std::nan("")};
  d.standardized_residuals = {0.1, 0.2};
  r.set_diagnostics(d);
  EXPECT_EQ(r.to_dict()["diagnostics"].dump(),
            R"j({"residuals":{"n":6000,"skewness":0.5,"kurtosis":3.25,"shapiro_w":0.99,)j"
            R"j("shapiro_p":0.125,"shapiro_n":5000,"subsampled":true},)j"
            R"j("area_effects":{"n":10,"skewness":null,"kurtosis":null,"shapiro_w":null,)j"
            R"j("shapiro_p":null,"shapiro_n":0,"subsampled":false},"r_squared":0.75,)j"
            R"j("boxcox_profile":{"lambda":[-1.0,1.0],"loglik":[-10.5,null]}})j");
  EXPECT_FALSE(sample_result().to_dict().contains("diagnostics"));
}

TEST(Export, ToTableColumnsInFieldOrder) {
  const SAEResults r = sample_result();
  struct Case {
    std::string component;
    std::vector<std::string> columns;
    std::size_t rows;
  };
  const Case cases[] = {
      {"fixed", {"term", "est", "se", "t_score", "p_value", "lci", "uci"}, 2},
      {"predictions", {"area", "pred", "mse", "cv", "lci", "uci", "indicator"}, 2},
      {"random", {"term", "dist", "est", "se"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.component);
    const kelp::Table t = r.to_table(c.component);
    EXPECT_EQ(t.column_names(), c.columns);
    EXPECT_EQ(t.num_rows(), c.rows);
  }
  const kelp::Table fixed = r.to_table();
  EXPECT_EQ(fixed.column("term").text(1), "x1");
  EXPECT_EQ(fixed.column("p_value").as_double(1), 1.973e-09);
  const kelp::Table preds = r.to_table("predictions");
  EXPECT_EQ(preds.column("indicator").text(0), "mean");
  EXPECT_EQ(preds.column("uci").as_double(1), 12.176);
  const kelp::Table random = r.to_table("random");
  EXPECT_EQ(random.column("term").text(0), "Area");
  EXPECT_EQ(random.column("se").as_double(0), 0.1);

  SAEResults list_term = r;
  list_term.set_random_effects({std::vector<std::string>{"region", "area"}, "Normal", 1.0, 0.0});
  EXPECT_EQ(list_term.to_table("random").column("term").text(0), "region, area");
}

TEST(Export, EmptyListsGiveZeroRowTables) {
  SAEResults r = sample_result();
  r.set_fixed_effects({});
  r.set_prediction({});
  const kelp::Table fixed = r.to_table("fixed");
  EXPECT_EQ(fixed.num_rows(), 0u);
  EXPECT_EQ(fixed.num_columns(), 7u);
  EXPECT_EQ(fixed.column("term").type(), kelp::DataType::String);
  EXPECT_EQ(fixed.column("est").type(), kelp::DataType::Float64);
  EXPECT_EQ(r.to_table("predictions").num_rows(), 0u);
}

TEST(Export, InvalidComponent) {
  const SAEResults r = sample_result();
  for (const std::string c : {"Fixed", "", "random ", "prediction"}) {
    SCOPED_TRACE(c);
    EXPECT_THROW_MSG(
        r.to_table(c), std::invalid_argument,
        "Invalid component '" + c + "'. Expected one of ['fixed', 'predictions', 'random'].");
  }
}

}  // namespace
}  // namespace kelp_sae
