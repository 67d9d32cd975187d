#include "kelp_sae/results/features.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "kelp/errors.h"

namespace kelp_sae {
namespace {

using Names = std::vector<std::string>;

// Cell values of a Float64 column, NaN for null (dummies never hold NaN).
std::vector<double> cells(const kelp::Column& column) {
  std::vector<double> out(column.size());
  for (std::size_t i = 0; i < column.size(); ++i) {
    out[i] = column.is_null(i) ? std::numeric_limits<double>::quiet_NaN() : column.as_double(i);
  }
  return out;
}

void expect_cells(const kelp::Column& column, const std::vector<double>& expected) {
  ASSERT_EQ(column.type(), kelp::DataType::Float64);
  const std::vector<double> got = cells(column);
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (std::isnan(expected[i])) {
      EXPECT_TRUE(column.is_null(i)) << "row " << i;
    } else {
      EXPECT_EQ(got[i], expected[i]) << "row " << i;
    }
  }
}

const double kNull = std::numeric_limits<double>::quiet_NaN();

kelp::Table survey() {
  return kelp::Table({
      {"income", kelp::Column({10.0, 12.5, 9.0, 11.0, 8.0})},
      {"a", kelp::Column({1, 2, 3, 4, 5})},
      {"b", kelp::Column({0.5, 0.25, 0.125, 1.0, 2.0})},
      {"region", kelp::Column({"B", "C", "A", kelp::null, "B"})},
      {"age", kelp::Column({10, 3, 2, 3, kelp::null})},
      {"score", kelp::Column({1.5, 0.5, 2.0, 1.5, 0.5})},
      {"one", kelp::Column({"x", "x", kelp::null, "x", "x"})},
      {"empty", kelp::Column({kelp::null, kelp::null, kelp::null, kelp::null, kelp::null})},
  });
}

TEST(ResolveModelFeaturesTest, NamesOfTermLists) {
  const kelp::Table data = survey();
  struct Case {
    std::string label;
    TermList terms;
    Names names;
  };
  const std::vector<Case> cases = {
      {"single name", "income", {"income"}},
      {"list of names", Names{"a", "b"}, {"a", "b"}},
      {"empty list", TermList{}, {}},
      {"feature", kelp::Feature{"income"}, {"income"}},
      {"cat, smallest level is the reference", kelp::Cat{"region"}, {"region_B", "region_C"}},
      {"cat with ref", kelp::Cat{"region", "C"}, {"region_A", "region_B"}},
      {"integer levels sort numerically", kelp::Cat{"age"}, {"age_3", "age_10"}},
      {"integer ref by its text", kelp::Cat{"age", "10"}, {"age_2", "age_3"}},
      {"float levels keep their text form", kelp::Cat{"score"}, {"score_1.5", "score_2.0"}},
      {"single level contributes nothing", kelp::Cat{"one"}, {}},
      {"only nulls contribute nothing", kelp::Cat{"empty"}, {}},
      {"mixed, in order, duplicates kept",
       {"a", kelp::Cat{"one"}, kelp::Feature{"b"}, kelp::Cat{"region"}, "a"},
       {"a", "b", "region_B", "region_C", "a"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const ResolvedFeatures resolved = resolve_model_features(c.terms, data);
    EXPECT_EQ(resolved.names, c.names);
    ASSERT_EQ(resolved.columns.size(), c.names.size());
    for (std::size_t i = 0; i < c.names.size(); ++i) {
      EXPECT_EQ(resolved.columns[i].name, c.names[i]);
    }
  }
}

TEST(ResolveModelFeaturesTest, DummiesAreZeroOneWithNullsKept) {
  const kelp::Table data = survey();
  const ResolvedFeatures region = resolve_model_features(kelp::Cat{"region", "B"}, data);
  ASSERT_EQ(region.names, (Names{"region_A", "region_C"}));
  // region: B, C, A, null, B
  expect_cells(region.columns[0].evaluate(data), {0, 0, 1, kNull, 0});
  expect_cells(region.columns[1].evaluate(data), {0, 1, 0, kNull, 0});

  const ResolvedFeatures age = resolve_model_features(kelp::Cat{"age"}, data);
  // age: 10, 3, 2, 3, null; reference 2
  expect_cells(age.columns[0].evaluate(data), {0, 1, 0, 1, kNull});
  expect_cells(age.columns[1].evaluate(data), {1, 0, 0, 0, kNull});

  const ResolvedFeatures score = resolve_model_features(kelp::Cat{"score"}, data);
  expect_cells(score.columns[0].evaluate(data), {1, 0, 0, 1, 0});
}

TEST(ResolveModelFeaturesTest, DummiesEvaluateOnOtherTables) {
  // Levels come from the sample; a population table may store the same
  // column with another type.
  const kelp::Table sample = survey();
  const ResolvedFeatures age = resolve_model_features(kelp::Cat{"age"}, sample);
  const kelp::Table as_float({{"age", kelp::Column({3.0, 10.0, 7.0})}});
  expect_cells(age.columns[0].evaluate(as_float), {1, 0, 0});
  expect_cells(age.columns[1].evaluate(as_float), {0, 1, 0});
  const kelp::Table as_text({{"age", kelp::Column({"10", "3", kelp::null})}});
  expect_cells(age.columns[0].evaluate(as_text), {0, 1, kNull});
  expect_cells(age.columns[1].evaluate(as_text), {1, 0, kNull});
}

TEST(ResolveModelFeaturesTest, PlainColumnsEvaluateAsStored) {
  const kelp::Table data = survey();
  const ResolvedFeatures resolved = resolve_model_features(Names{"a", "region"}, data);
  const kelp::Column a = resolved.columns[0].evaluate(data);
  EXPECT_EQ(a.type(), kelp::DataType::Int64);
  EXPECT_EQ(a.int_values(), (std::vector<std::int64_t>{1, 2, 3, 4, 5}));
  const kelp::Column region = resolved.columns[1].evaluate(data);
  EXPECT_EQ(region.type(), kelp::DataType::String);
  EXPECT_EQ(region.null_count(), 1u);
}

TEST(ResolveModelFeaturesTest, MissingColumns) {
  const kelp::Table data = survey();
  std::string not_found;
  try {
    (void)data.column("district");
  } catch (const kelp::ColumnNotFoundError& e) {
    not_found = e.what();
  }
  ASSERT_FALSE(not_found.empty());
  try {
    resolve_model_features({"a", kelp::Cat{"district"}}, data);
    FAIL() << "no exception";
  } catch (const kelp::ModelError& e) {
    EXPECT_EQ(e.title(), "Categorical Resolution Error");
    EXPECT_EQ(e.detail(), not_found);
  }
  // A reference that is not a level never falls back to another level.
  struct RefCase {
    kelp::Cat cat;
    std::string detail;
  };
  for (const RefCase& c :
       {RefCase{{"region", "Z"},
                "'Z' is not a level of column 'region'; its levels are 'A', "
                "'B', 'C'."},
        RefCase{{"one", "y"}, "'y' is not a level of column 'one'; its levels are 'x'."},
        RefCase{{"empty", "a"}, "'a' is not a level of column 'empty'; its levels are none."}}) {
    SCOPED_TRACE(c.cat.name);
    try {
      resolve_model_features(c.cat, data);
      ADD_FAILURE() << "no exception";
    } catch (const kelp::ModelError& e) {
      EXPECT_EQ(e.title(), "Unknown reference level");
      EXPECT_EQ(e.detail(), c.detail);
    }
  }
  // A plain column is only looked up when evaluated.
  const ResolvedFeatures resolved = resolve_model_features("district", data);
  ASSERT_EQ(resolved.names, Names{"district"});
  EXPECT_THROW(resolved.columns[0].evaluate(data), kelp::ColumnNotFoundError);
}

TEST(SelectWithFeaturesTest, BuildsLeadingFeatureTrailingColumns) {
  const kelp::Table data = survey();
  const ResolvedFeatures resolved = resolve_model_features({"b", kelp::Cat{"region", "C"}}, data);
  const kelp::Table t = select_with_features(data, {"income"}, resolved, {"a"});
  EXPECT_EQ(t.column_names(), (Names{"income", "b", "region_A", "region_B", "a"}));
  EXPECT_EQ(t.num_rows(), 5u);
  expect_cells(t.column("region_B"), {1, 0, 0, kNull, 1});
  EXPECT_EQ(t.column("income").to_doubles(), data.column("income").to_doubles());
  EXPECT_THROW(select_with_features(data, {"nope"}, resolved), kelp::ColumnNotFoundError);
}

}  // namespace
}  // namespace kelp_sae
