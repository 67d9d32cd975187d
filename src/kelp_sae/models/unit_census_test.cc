#include "kelp_sae/models/unit_census.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kelp/errors.h"
#include "tests/support/expect_error.h"

namespace kelp_sae {
namespace {

using kelp::Column;
using kelp::Table;
using kelp_sae::testing::thrown_model_error;

TEST(UnitCensus, RowsGroupedByNormalisedAreaInTableOrder) {
  // Areas "10", "2" and "007" (= "7") interleaved; labels sort as text.
  const Table census({{"area", Column(std::vector<std::string>{"2", "10", "007", "2", "7", "10"})},
                      {"x", Column(std::vector<double>{1, 2, 3, 4, 5, 6})},
                      {"unused", Column(std::vector<std::string>{"a", "b", "c", "d", "e", "f"})}});
  const UnitCensus c = prepare_unit_census(census, "area", {"x"});
  EXPECT_EQ(c.pop_areas, (std::vector<std::string>{"10", "2", "7"}));
  EXPECT_EQ(c.design.offsets, (std::vector<Eigen::Index>{0, 2, 4, 6}));
  ASSERT_EQ(c.design.X.cols(), 2);
  EXPECT_TRUE((c.design.X.col(0).array() == 1.0).all());
  EXPECT_EQ(std::vector<double>(c.design.X.col(1).begin(), c.design.X.col(1).end()),
            (std::vector<double>{2, 6, 1, 4, 3, 5}));

  // Rows with a null are dropped on request; an area left empty disappears.
  const Table with_null = census.with_column(
      "x", Column(std::vector<double>{1, 2, 3, 4, 5, 6}, {true, true, false, true, false, true}));
  const UnitCensus dropped = prepare_unit_census(with_null, "area", {"x"}, {.drop_nulls = true});
  EXPECT_EQ(dropped.pop_areas, (std::vector<std::string>{"10", "2"}));
  EXPECT_EQ(dropped.design.offsets, (std::vector<Eigen::Index>{0, 2, 4}));
}

TEST(UnitCensus, CensusHandedOverIsReadWhole) {
  // Moved in, the census gives up each column once it is in the design; a
  // column read twice (a covariate that is also the population weight) must
  // outlive its first use.
  constexpr std::size_t n = 1000;
  const auto census = [] {
    std::vector<std::int64_t> area(n);
    std::vector<double> size(n), x(n);
    for (std::size_t i = 0; i < n; ++i) {
      area[i] = i % 2 == 0 ? 2 : 1;
      size[i] = static_cast<double>(i % 7 + 1);
      x[i] = static_cast<double>(i);
    }
    return Table({{"area", Column(std::move(area))},
                  {"size", Column(std::move(size))},
                  {"x", Column(std::move(x))}});
  };
  const UnitCensusOptions options{.weights = "size"};
  const Table shared = census();
  const UnitCensus kept = prepare_unit_census(shared, "area", {"size", "x"}, options);
  Table moved = census();
  const UnitCensus released = prepare_unit_census(std::move(moved), "area", {"size", "x"}, options);
  EXPECT_EQ(released.pop_areas, kept.pop_areas);
  EXPECT_EQ(released.design.X, kept.design.X);
  EXPECT_EQ(released.design.weights, kept.design.weights);
  EXPECT_EQ(released.design.weights[0], 2.0);  // row 1, the first of area 1
}

TEST(UnitCensus, Errors) {
  const Table census({{"area", Column(std::vector<std::int64_t>{1, 1, 2})},
                      {"x", Column(std::vector<double>{1, 2, 3})},
                      {"g", Column(std::vector<std::string>{"a", "b", "a"})}});
  struct Case {
    const char* name;
    Table table;
    std::vector<std::string> features;
    std::string title;
    std::string detail;  // prefix
  };
  const Case cases[] = {
      {"missing",
       census,
       {"x", "z"},
       "Missing Population Columns",
       "Population data is missing columns required by the model formula: "},
      {"text", census, {"g"}, "Non-numeric column", ""},
      {"infinite",
       census.with_column("x", Column(std::vector<double>{1, INFINITY, 3})),
       {"x"},
       "Population data contains NaNs",
       "Missing or non-finite values found in population column 'x' for area '1'."},
      {"null area",
       census.with_column("area", Column(std::vector<std::int64_t>{1, 1, 2}, {true, false, true})),
       {"x"},
       "Missing area labels",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const kelp::ModelError e =
        thrown_model_error([&] { prepare_unit_census(c.table, "area", c.features); });
    EXPECT_EQ(e.title(), c.title);
    EXPECT_EQ(e.detail().substr(0, c.detail.size()), c.detail);
  }
}

TEST(UnitCensus, PopulationWeights) {
  const Table census({{"area", Column(std::vector<std::string>{"b", "a", "b", "a", "a", "b"})},
                      {"x", Column(std::vector<double>{1, 2, 3, 4, 5, 6})},
                      {"hh", Column(std::vector<std::int64_t>{1, 2, 0, 4, 5, 6})}});
  // Weights follow their rows into the area blocks; a weight of 0 is kept.
  const UnitCensus c = prepare_unit_census(census, "area", {"x"}, {.weights = "hh"});
  EXPECT_EQ(c.design.weights, (std::vector<double>{2, 4, 5, 1, 0, 6}));
  EXPECT_TRUE(prepare_unit_census(census, "area", {"x"}).design.weights.empty());

  struct Case {
    const char* name;
    Column weights;
    std::string title;
    std::string detail;
  };
  const Case cases[] = {
      {"negative, null and infinite",
       Column(std::vector<double>{1, -2, 1, INFINITY, 1, 3}, {true, true, true, true, true, false}),
       "Invalid population weights",
       "Population weight column 'hh' has 3 missing, negative or non-finite values (rows 2, 4, "
       "6); weights must be finite and non-negative."},
      {"area of zero weight", Column(std::vector<double>{0, 1, 0, 1, 1, 0}),
       "Invalid population weights",
       "Population weights in column 'hh' are all 0 in area 'b'; an area needs a positive total "
       "weight."},
      {"text", Column(std::vector<std::string>{"1", "1", "1", "1", "1", "1"}), "Non-numeric column",
       ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    const kelp::ModelError e = thrown_model_error([&] {
      prepare_unit_census(census.with_column("hh", k.weights), "area", {"x"}, {.weights = "hh"});
    });
    EXPECT_EQ(e.title(), k.title);
    EXPECT_EQ(e.detail().substr(0, k.detail.size()), k.detail);
  }
  EXPECT_EQ(thrown_model_error([&] {
              prepare_unit_census(census, "area", {"x"}, {.weights = "persons"});
            }).title(),
            "Missing Population Columns");
}

}  // namespace
}  // namespace kelp_sae
