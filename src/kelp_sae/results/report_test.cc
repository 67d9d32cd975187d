// The console report of SAEResults: golden layouts, styles and widths.
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "kelp/printing.h"
#include "kelp_sae/results/containers.h"

namespace kelp_sae {
namespace {

SAEResults golden_result() {
  return SAEResults("Area Level", "income", "Fay-Herriot (MSE: analytical)",
                    SAEStats{.method = "REML",
                             .n_obs = 48,
                             .n_areas = 48,
                             .sigma_u = 0.5,
                             .sigma_e = 0.0,
                             .log_likelihood = -123.4567,
                             .aic = 254.9134,
                             .bic = 262.4001,
                             .kic = 258.9134,
                             .icc = 0.3125},
                    {{"Intercept", 12.3456, 0.9876, 12.5, 0.0, 10.4099, 14.2813},
                     {"log_income_per_capita", 0.0123, 0.0456, 0.27, 0.7874, -0.0771, 0.1017},
                     {"x2", -1.5, 0.25, -6.0, 1.973e-09, -1.99, -1.01}},
                    {"Area", "Normal", 0.5, 0.0}, {{"A", 1.0, 0.1, 0.3, 0.4, 1.6}});
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot open " << path;
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Width rules are global; every test leaves them absent.
class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override { SAEResults::set_default_print_width(std::nullopt); }
  void TearDown() override { SAEResults::set_default_print_width(std::nullopt); }
};

TEST_F(ReportTest, MatchesGoldenLayouts) {
  for (int width : {100, 60}) {
    SCOPED_TRACE(width);
    SAEResults r = golden_result();
    const std::string expected =
        read_file(std::string(KELP_SAE_SOURCE_DIR) + "/src/kelp_sae/results/testdata/report_w" +
                  std::to_string(width) + ".txt");
    EXPECT_EQ(r.set_print_width(width).render(), expected);
    EXPECT_EQ(to_string(r), expected);
    std::ostringstream os;  // not a terminal: plain text
    os << r;
    EXPECT_EQ(os.str(), expected);
  }
}

TEST_F(ReportTest, NoLineExceedsTheWidth) {
  SAEResults r = golden_result();
  r.set_random_effects(
      {std::vector<std::string>{"region", "district_of_residence"}, "Normal", 12345.678, 0.0});
  r.set_model_type("BHF (EBLUP) - MSE: bootstrap with a rather long label for narrow reports");
  for (int width = 21; width <= 130; ++width) {
    SCOPED_TRACE(width);
    const auto lines = lines_of(r.set_print_width(width).render());
    ASSERT_GE(lines.size(), 16u);
    for (const auto& line : lines) EXPECT_EQ(kelp::cell_len(line), static_cast<size_t>(width));
  }
}

TEST_F(ReportTest, ColourOnlyWhenAsked) {
  SAEResults r = golden_result();
  r.set_print_width(100);
  const std::string plain = r.render(false);
  EXPECT_EQ(plain.find('\x1b'), std::string::npos);

  const std::string color = r.render(true);
  EXPECT_NE(color.find("SAE: \x1b[1mFay-Herriot (MSE: analytical)\x1b[0m - Area Level"),
            std::string::npos);
  EXPECT_NE(color.find("\x1b[1mMethod\x1b[0m"), std::string::npos);
  EXPECT_NE(color.find("\x1b[1mTerm\x1b[0m"), std::string::npos);
  EXPECT_NE(color.find("\x1b[1;31m0.0000\x1b[0m"), std::string::npos);
  EXPECT_EQ(color.find("\x1b[1;31m0.7874"), std::string::npos);
  EXPECT_NE(color.find("\x1b[1mRandom Effects: \x1b[0mArea (Normal) \x1b[3mSigma: \x1b[0m0.5000  "
                       "\x1b[3mSigma²: \x1b[0m0.2500"),
            std::string::npos);
}

TEST_F(ReportTest, PValueHighlightedStrictlyBelowFivePercent) {
  struct Case {
    double p;
    bool highlighted;
  };
  for (const Case& c : {Case{0.05, false}, Case{0.0499, true}, Case{0.0500001, false},
                        Case{1.0, false}, Case{std::nan(""), false}}) {
    SCOPED_TRACE(c.p);
    SAEResults r = golden_result();
    r.set_fixed_effects({{"x", 1.0, 1.0, 1.0, c.p, -0.96, 2.96}});
    const std::string color = r.set_print_width(100).render(true);
    EXPECT_EQ(color.find("\x1b[1;31m") != std::string::npos, c.highlighted);
  }
}

TEST_F(ReportTest, RandomEffectsLine) {
  struct Case {
    RandomEffect re;
    std::string line;
  };
  const Case cases[] = {
      {{"Area", "Normal", 0.5, 0.0}, "Random Effects: Area (Normal) Sigma: 0.5000  Sigma²: 0.2500"},
      {{std::vector<std::string>{"a", "b"}, "Normal", 2.0, 0.1},
       "Random Effects: ['a', 'b'] (Normal) Sigma: 2.0000  Sigma²: 4.0000"},
      {{"Area", "Normal", std::nan(""), 0.0},
       "Random Effects: Area (Normal) Sigma: nan  Sigma²: nan"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    SAEResults r = golden_result();
    r.set_random_effects(c.re);
    const std::string text = r.set_print_width(120).render();
    EXPECT_NE(text.find("│ " + c.line + " "), std::string::npos) << text;
  }
}

TEST_F(ReportTest, TransformationAndDiagnosticsSections) {
  SAEResults r = golden_result();
  r.set_transformation(TransformationInfo{
      .transformation = "boxcox", .lambda = 0.25, .shift = 1.5, .poverty_line = 120.0});
  Diagnostics d;
  d.residuals = {.n = 6000,
                 .skewness = 0.5,
                 .kurtosis = 3.25,
                 .shapiro_w = 0.99,
                 .shapiro_p = 0.0125,
                 .shapiro_n = 5000,
                 .subsampled = true};
  d.area_effects = {.n = 10, .skewness = -0.125};
  d.r_squared_marginal = 0.375;
  d.r_squared_conditional = 0.625;
  r.set_diagnostics(d);
  const std::string text = r.set_print_width(120).render();
  for (const char* expected :
       {"Transformation  boxcox", "Lambda          0.2500", "Shift           1.5000",
        "Poverty line  120.0000", "on the transformed scale, without the Jacobian",
        "Residuals      6000     0.5000     3.2500           0.9900    0.0125",
        "Area effects     10    -0.1250          -                -         -",
        "Marginal R²: 0.3750  Conditional R²: 0.6250",
        "residuals on a fixed subsample of 5000 of 6000 values"}) {
    SCOPED_TRACE(expected);
    EXPECT_NE(text.find(expected), std::string::npos) << text;
  }
  EXPECT_EQ(text.find("area effects on a fixed subsample"), std::string::npos);
  d.r_squared = 0.875;
  r.set_diagnostics(d);
  EXPECT_NE(r.render().find("R²: 0.8750"), std::string::npos);
}

TEST_F(ReportTest, EmptyFixedEffectsStillRender) {
  SAEResults r = golden_result();
  r.set_fixed_effects({});
  const auto lines = lines_of(r.set_print_width(80).render());
  // frame 2, grid 4, blanks 2, table edges 2 + header + rule.
  EXPECT_EQ(lines.size(), 13u);
  EXPECT_NE(lines[7].find("Term"), std::string::npos);
}

TEST_F(ReportTest, WidthRanking) {
  SAEResults r = golden_result();
  auto top_width = [&] { return kelp::cell_len(lines_of(r.render()).front()); };

  setenv("COLUMNS", "77", 1);
  EXPECT_EQ(top_width(), 77u);  // terminal width when nothing is set
  SAEResults::set_default_print_width(90);
  EXPECT_EQ(top_width(), 90u);  // the type-wide default wins over the terminal
  r.set_print_width(64);
  EXPECT_EQ(top_width(), 64u);  // the result's own width wins over both
  r.set_print_width(std::nullopt);
  SAEResults::set_default_print_width(std::nullopt);
  unsetenv("COLUMNS");
  if (!kelp::terminal_width()) {
    EXPECT_EQ(top_width(), 100u);
  }
}

}  // namespace
}  // namespace kelp_sae
