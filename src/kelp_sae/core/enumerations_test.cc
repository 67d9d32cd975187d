#include "kelp_sae/core/enumerations.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelp_sae {
namespace {

template <TextEnum E>
std::vector<std::string> texts() {
  std::vector<std::string> out;
  for (E e : all_values<E>()) out.emplace_back(to_string(e));
  return out;
}

TEST(Enumerations, ValuesInDeclarationOrder) {
  using V = std::vector<std::string>;
  EXPECT_EQ(texts<AreaMethod>(), (V{"Fay-Herriot", "FH Space-Time", "FH Spatial"}));
  EXPECT_EQ(texts<Indicator>(), (V{"Mean", "Median", "Poverty Headcount", "Poverty Gap",
                                   "Poverty Severity", "Gini Coefficient", "Quintile Share Ratio",
                                   "Quantile 10", "Quantile 25", "Quantile 75", "Quantile 90"}));
  EXPECT_EQ(texts<ImputationType>(), (V{"Parametric", "Residual Bootstrap"}));
  EXPECT_EQ(texts<MseMethod>(), (V{"Analytical", "Bootstrap", "Jackknife"}));
  EXPECT_EQ(texts<SaeLevel>(), (V{"Unit Level", "Area Level"}));
  EXPECT_EQ(texts<Transformation>(), (V{"None", "Log", "Log-Shift", "Box-Cox", "Arcsinh"}));
  EXPECT_EQ(texts<UnitMethod>(), (V{"Battese-Fuller", "EBP", "ELL"}));
  static_assert(all_values<Indicator>()[5] == Indicator::GINI);
}

template <TextEnum E>
void expect_round_trip() {
  for (E e : all_values<E>()) {
    SCOPED_TRACE(std::string(to_string(e)));
    EXPECT_EQ(from_string<E>(to_string(e)), e);
    EXPECT_TRUE(e == to_string(e));
    EXPECT_TRUE(to_string(e) == e);
  }
}

TEST(Enumerations, RoundTripThroughValueText) {
  expect_round_trip<AreaMethod>();
  expect_round_trip<Indicator>();
  expect_round_trip<ImputationType>();
  expect_round_trip<MseMethod>();
  expect_round_trip<SaeLevel>();
  expect_round_trip<Transformation>();
  expect_round_trip<UnitMethod>();
}

TEST(Enumerations, EdgeCases) {
  EXPECT_EQ(to_string(Transformation::NONE), "None");
  EXPECT_EQ(from_string<Transformation>("None"), Transformation::NONE);
  EXPECT_EQ(to_string(Indicator::QSR), "Quintile Share Ratio");
  EXPECT_TRUE(SaeLevel::AREA == "Area Level");
  EXPECT_FALSE(SaeLevel::AREA == "area level");  // exact comparison
  EXPECT_TRUE(SaeLevel::AREA != "Unit Level");
  EXPECT_EQ(member_name(Indicator::POVERTY_GAP), "POVERTY_GAP");

  std::ostringstream os;
  os << Indicator::GINI << '|' << MseMethod::BOOTSTRAP;
  EXPECT_EQ(os.str(), "Gini Coefficient|Bootstrap");
}

TEST(Enumerations, UnknownTextIsRejected) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"GINI",
       "'GINI' is not a valid Indicator; expected one of 'Mean', 'Median', 'Poverty Headcount', "
       "'Poverty Gap', 'Poverty Severity', 'Gini Coefficient', 'Quintile Share Ratio', "
       "'Quantile 10', 'Quantile 25', 'Quantile 75', 'Quantile 90'."},
      {"mean",
       "'mean' is not a valid Indicator; expected one of 'Mean', 'Median', 'Poverty Headcount', "
       "'Poverty Gap', 'Poverty Severity', 'Gini Coefficient', 'Quintile Share Ratio', "
       "'Quantile 10', 'Quantile 25', 'Quantile 75', 'Quantile 90'."},
      {"",
       "'' is not a valid Indicator; expected one of 'Mean', 'Median', 'Poverty Headcount', "
       "'Poverty Gap', 'Poverty Severity', 'Gini Coefficient', 'Quintile Share Ratio', "
       "'Quantile 10', 'Quantile 25', 'Quantile 75', 'Quantile 90'."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      from_string<Indicator>(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
  EXPECT_THROW(from_string<SaeLevel>("Area"), std::invalid_argument);
}

TEST(Enumerations, Descriptions) {
  EXPECT_EQ(description<Indicator>(), "Standard Poverty and Inequality Indicators.");
  EXPECT_EQ(description<ImputationType>(), "Strategy for Mass Imputation (Census generation).");
  EXPECT_EQ(description<MseMethod>(),
            "Method for estimating the Mean Squared Error (Uncertainty).");
  EXPECT_EQ(description<SaeLevel>(), "Categorizes the model type based on input data granularity.");
  EXPECT_EQ(description<Transformation>(),
            "Transformations applied to the dependent variable (y) before modeling.\n"
            "Important for SAE when data is skewed (e.g., Income).");
  EXPECT_EQ(description<AreaMethod>(), "");
  EXPECT_EQ(description<UnitMethod>(), "");
}

}  // namespace
}  // namespace kelp_sae
