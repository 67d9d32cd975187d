#include "kelp_sae/models/common.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/errors.h"

namespace kelp_sae::models {
namespace {

TEST(ModelCommon, FixedEffectRowsUseNormalPValues) {
  // Reference p-values: 2 (1 - Phi(|z|)) from standard normal tables
  // (R: 2 * pnorm(-abs(z))).
  const std::vector<std::string> names = {"Intercept", "x1", "x2", "x3"};
  const Eigen::Vector4d est(3.92, -0.5, 2.0, 1e-3);
  const Eigen::Vector4d se(2.0, 0.25, 0.0, 1e-4);
  const std::vector<FixedEffect> rows = make_fixed_effects(names, est, se);
  ASSERT_EQ(rows.size(), 4u);
  struct Expected {
    double z, p;
  };
  const std::vector<Expected> expected = {{1.96, 0.0499957902964},
                                          {-2.0, 0.0455002638964},
                                          {0.0, 1.0},  // se 0: no test
                                          {10.0, 1.52397060483e-23}};
  for (std::size_t j = 0; j < rows.size(); ++j) {
    SCOPED_TRACE(names[j]);
    EXPECT_EQ(rows[j].term, names[j]);
    EXPECT_EQ(rows[j].est, est(static_cast<Eigen::Index>(j)));
    EXPECT_NEAR(rows[j].t_score, expected[j].z, 1e-12);
    EXPECT_NEAR(rows[j].p_value, expected[j].p, 1e-11 * expected[j].p);
    EXPECT_NEAR(rows[j].lci,
                est(static_cast<Eigen::Index>(j)) - 1.96 * se(static_cast<Eigen::Index>(j)), 1e-15);
    EXPECT_NEAR(rows[j].uci,
                est(static_cast<Eigen::Index>(j)) + 1.96 * se(static_cast<Eigen::Index>(j)), 1e-15);
  }
  EXPECT_THROW(make_fixed_effects({"a"}, est, se), std::invalid_argument);
  EXPECT_NEAR(standard_normal_cdf(-1.0), 0.158655253931457, 1e-15);
}

TEST(ModelCommon, OptionTexts) {
  struct Case {
    std::string in, title, method, lower;
  };
  const std::vector<Case> cases = {
      {"prasad_rao", "Prasad Rao", "PRASAD_RAO", "prasad_rao"},
      {"BOOTSTRAP", "Bootstrap", "BOOTSTRAP", "bootstrap"},
      {" reml ", " Reml ", "REML", " reml "},
      {"fay-herriot2x", "Fay-Herriot2X", "FAY-HERRIOT2X", "fay-herriot2x"},
      {"", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(title_case_label(c.in), c.title);
    EXPECT_EQ(normalize_method(c.in), c.method);
    EXPECT_EQ(to_lower(c.in), c.lower);
  }
}

TEST(ModelCommon, FreshSeedsStayBelowTwoToTheThirty) {
  for (int i = 0; i < 100; ++i) EXPECT_LT(fresh_seed(), std::uint64_t{1} << 30);
}

TEST(ModelCommon, NumericColumnsRejectText) {
  const kelp::Table t({{"x", kelp::Column({1, 2})}, {"s", kelp::Column({"a", "b"})}});
  EXPECT_EQ(numeric_column(t, "x", "covariate"), Eigen::Vector2d(1.0, 2.0));
  try {
    numeric_column(t, "s", "covariate");
    ADD_FAILURE() << "no error";
  } catch (const kelp::ModelError& e) {
    EXPECT_EQ(e.title(), "Non-numeric column");
    EXPECT_EQ(e.detail(), "Column 's' (covariate) holds text; it must be numeric.");
  }
  EXPECT_THROW(numeric_column(t, "z", "covariate"), kelp::ColumnNotFoundError);
}

}  // namespace
}  // namespace kelp_sae::models
