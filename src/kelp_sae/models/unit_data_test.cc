#include "kelp_sae/models/unit_data.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelp/errors.h"
#include "tests/support/expect_error.h"

namespace kelp_sae {
namespace {

using kelp_sae::testing::expect_model_error;
using kelp_sae::testing::thrown_model_error;

using kelp::Column;
using kelp::Table;

TEST(NormalizeAreaLabel, ListedCases) {
  struct Case {
    kelp::Value value;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {std::int64_t{7}, "7"},
      {std::string("007"), "7"},
      {7.0, "7"},
      {std::string(" 7 "), "7"},
      {std::string("7.0"), "7"},
      {std::int64_t{0}, ""},
      {0.0, ""},
      {std::string("0.0"), ""},
      {std::string("12.00"), "12.00"},
      {std::string("0012"), "12"},
      {12.0, "12"},
      {100.0, "100"},
      {std::int64_t{100}, "100"},
      {7.5, "7.5"},
      {std::string("\t00a1\n"), "a1"},
      {kelp::null, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(kelp::value_to_text(c.value));
    EXPECT_EQ(normalize_area_label(c.value), c.expected);
  }
}

TEST(StandardizeAreaCol, ReplacesColumnUnderSameNameKeepingNullsAndOtherColumns) {
  const Table t({{"id", Column({1.0, 7.0, kelp::null, 12.0})}, {"y", Column({1, 2, 3, 4})}});
  const Table out = standardize_area_col(t, "id");
  EXPECT_EQ(out.column_names(), (std::vector<std::string>{"id", "y"}));
  const Column& id = out.column("id");
  ASSERT_EQ(id.type(), kelp::DataType::String);
  EXPECT_EQ(id.text(0), "1");
  EXPECT_EQ(id.text(1), "7");
  EXPECT_TRUE(id.is_null(2));
  EXPECT_EQ(id.text(3), "12");
  EXPECT_EQ(out.column("y").as_double(3), 4.0);
  EXPECT_THROW(standardize_area_col(t, "nope"), kelp::ColumnNotFoundError);
}

TEST(CodeAreas, MergesLabelsThatNormaliseAlikeAndSortsByText) {
  const Column c({"b", "007", " 7", "10", kelp::null, "b"});
  const AreaCoding coding = code_areas(c);
  EXPECT_EQ(coding.labels, (std::vector<std::string>{"10", "7", "b"}));
  EXPECT_EQ(coding.codes, (std::vector<std::int32_t>{2, 1, 1, 0, -1, 2}));
  EXPECT_EQ(coding.null_count, 1u);
}

// Sample with areas given as integers: text order puts "10" before "9".
Table small_sample() {
  return Table({{"area", Column({9, 10, 9, 10, 3})},
                {"y", Column({1.0, 2.0, 3.0, 4.0, 5.0})},
                {"x", Column({10.0, 20.0, 30.0, 40.0, 50.0})},
                {"w", Column({1, 1, 1, 1, 1})}});
}

UnitFeatures features_of(const Table& t, const TermList& x) { return resolve_unit_features(x, t); }

TEST(PrepareUnitSample, SortsByAreaTextStablyAndCodesAreas) {
  const Table t = small_sample();
  const UnitSample s = prepare_unit_sample(t, "y", "area", features_of(t, {"x"}));
  EXPECT_EQ(s.unique_areas, (std::vector<std::string>{"10", "3", "9"}));
  EXPECT_EQ(s.y, (Eigen::VectorXd(5) << 2.0, 4.0, 5.0, 1.0, 3.0).finished());
  EXPECT_EQ(s.X_raw().col(0), (Eigen::VectorXd(5) << 20.0, 40.0, 50.0, 10.0, 30.0).finished());
  EXPECT_EQ(s.area_indices, (Eigen::VectorXi(5) << 0, 0, 1, 2, 2).finished());
  EXPECT_EQ(s.area_offsets, (std::vector<Eigen::Index>{0, 2, 3, 5}));
  EXPECT_EQ(s.feature_names, (std::vector<std::string>{"x"}));
}

TEST(PrepareUnitSample, DropNullsRemovesRowsAndAreasLeftWithoutUnits) {
  const Table t({{"area", Column({"a", "b", kelp::null, "c"})},
                 {"y", Column({1.0, kelp::null, 3.0, 4.0})},
                 {"x", Column({1.0, 2.0, 3.0, kelp::null})},
                 {"unused", Column({kelp::null, kelp::null, kelp::null, kelp::null})}});
  const UnitSample s =
      prepare_unit_sample(t, "y", "area", features_of(t, {"x"}), {.drop_nulls = true});
  EXPECT_EQ(s.unique_areas, (std::vector<std::string>{"a"}));
  EXPECT_EQ(s.n(), 1);
}

TEST(PrepareUnitSample, TitlesAndMessages) {
  const Table t = small_sample();
  const std::string nan_detail =
      "Missing values found in 'y' or predictor variables. Ensure 'drop_nulls=True' or clean "
      "your data manually.";
  std::string missing_detail;
  try {
    (void)t.column("nope");
  } catch (const kelp::ColumnNotFoundError& e) {
    missing_detail = e.what();
  }
  expect_model_error([&] { prepare_unit_sample(t, "nope", "area", features_of(t, {"x"})); },
                     "Missing columns", missing_detail);
  expect_model_error(
      [&] {
        prepare_unit_sample(t, "y", "area", features_of(t, {"x", "nope"}));
      },
      "Missing columns", missing_detail);

  const Table empty(
      {{"area", Column(std::vector<std::string>{})}, {"y", Column(std::vector<double>{})}});
  expect_model_error([&] { prepare_unit_sample(empty, "y", "area", {}); }, "Empty dataset",
                     "Dataset empty after dropping nulls.");
  const Table all_null({{"area", Column({"a", "b"})}, {"y", Column({kelp::null, kelp::null})}});
  expect_model_error([&] { prepare_unit_sample(all_null, "y", "area", {}, {.drop_nulls = true}); },
                     "Empty dataset", "Dataset empty after dropping nulls.");

  // Without drop_nulls a null feature is a missing value, not an empty table.
  const Table null_x(
      {{"area", Column({"a", "b"})}, {"y", Column({1.0, 2.0})}, {"x", Column({1.0, kelp::null})}});
  expect_model_error([&] { prepare_unit_sample(null_x, "y", "area", features_of(null_x, {"x"})); },
                     "Input data contains NaNs", nan_detail);
  // The detail names a library argument; the error says which, for programs
  // that name their own option instead.
  EXPECT_EQ(thrown_model_error([&] {
              prepare_unit_sample(null_x, "y", "area", features_of(null_x, {"x"}));
            }).argument(),
            "drop_nulls");
  const Table nan_y({{"area", Column({"a", "b"})}, {"y", Column({1.0, std::nan("")})}});
  expect_model_error([&] { prepare_unit_sample(nan_y, "y", "area", {}, {.drop_nulls = true}); },
                     "Input data contains NaNs", nan_detail);

  const Table text_x(
      {{"area", Column({"a", "b"})}, {"y", Column({1.0, 2.0})}, {"x", Column({"low", "high"})}});
  expect_model_error([&] { prepare_unit_sample(text_x, "y", "area", features_of(text_x, {"x"})); },
                     "Non-numeric column",
                     "Column 'x' (covariate) holds text; it must be numeric.");
  const Table text_y({{"area", Column({"a", "b"})}, {"y", Column({"1", "2"})}});
  expect_model_error([&] { prepare_unit_sample(text_y, "y", "area", {}); }, "Non-numeric column",
                     "Column 'y' (response) holds text; it must be numeric.");

  const Table null_area({{"area", Column({"a", kelp::null})}, {"y", Column({1.0, 2.0})}});
  expect_model_error([&] { prepare_unit_sample(null_area, "y", "area", {}); },
                     "Missing area labels",
                     "Area column 'area' has 1 null values. Ensure 'drop_nulls=True' or clean your "
                     "data manually.");
}

TEST(PrepareUnitPopulation, UnitRecordsGiveCountsAndMeansJoinedWithSample) {
  const Table smp = small_sample();  // areas 10, 3, 9
  const UnitSample s = prepare_unit_sample(smp, "y", "area", features_of(smp, {"x"}));
  // Area 3 is missing from the population; area 4 has no sample; the
  // population labels 009 and 10.0 match the sample's 9 and 10.
  const Table pop({{"area", Column({"009", "4", "10.0", "009", "4", "4"})},
                   {"x", Column({1.0, 2.0, 3.0, 5.0, kelp::null, 8.0})}});
  const UnitPopulation p = prepare_unit_population(pop, "area", s);
  EXPECT_EQ(p.pop_areas, (std::vector<std::string>{"10", "4", "9"}));
  EXPECT_EQ(p.N_i, Eigen::Vector3d(1.0, 3.0, 2.0));
  EXPECT_EQ(p.X_pop_means.col(0), Eigen::Vector3d(3.0, 5.0, 3.0));  // null skipped in area 4
  EXPECT_EQ(p.n_i, Eigen::Vector3d(2.0, 0.0, 2.0));
  EXPECT_EQ(p.y_bar_s, Eigen::Vector3d(3.0, 0.0, 2.0));
  EXPECT_EQ(p.X_smp_means.col(0), Eigen::Vector3d(30.0, 0.0, 20.0));
  EXPECT_EQ(p.sample_area, (std::vector<int>{0, -1, 2}));

  const UnitSampleBlocks b = build_sample_blocks(s, p);
  EXPECT_EQ(b.design.offsets, (std::vector<Eigen::Index>{0, 2, 4}));
  EXPECT_EQ(b.area_idx_in_pop, Eigen::Vector2i(0, 2));
  Eigen::MatrixXd expected(4, 2);
  expected << 1, 20, 1, 40, 1, 10, 1, 30;
  EXPECT_EQ(b.design.X, expected);
}

TEST(PrepareUnitPopulation, AreaTableWithSizesAndOneRowPerArea) {
  const Table smp = small_sample();
  const UnitSample s = prepare_unit_sample(smp, "y", "area", features_of(smp, {"x"}));
  const Table pop({{"area", Column({9, 3, 10})},
                   {"x", Column({1.5, 2.5, 3.5})},
                   {"N", Column({100, 200, 300})}});
  const UnitPopulation p = prepare_unit_population(pop, "area", s, {.pop_size = "N"});
  EXPECT_EQ(p.pop_areas, (std::vector<std::string>{"10", "3", "9"}));
  EXPECT_EQ(p.N_i, Eigen::Vector3d(300.0, 200.0, 100.0));
  EXPECT_EQ(p.X_pop_means.col(0), Eigen::Vector3d(3.5, 2.5, 1.5));
  EXPECT_EQ(p.n_i, Eigen::Vector3d(2.0, 1.0, 2.0));
}

TEST(PrepareUnitPopulation, TitlesAndMessages) {
  const Table smp = small_sample();
  const UnitSample s = prepare_unit_sample(smp, "y", "area", features_of(smp, {"x"}));
  std::string missing_detail;
  try {
    (void)Table({{"area", Column({1})}}).select({"area", "x"});
  } catch (const kelp::ColumnNotFoundError& e) {
    missing_detail = e.what();
  }
  expect_model_error(
      [&] {
        prepare_unit_population(Table({{"area", Column({1})}}), "area", s);
      },
      "Missing Population Columns", missing_detail);
  expect_model_error(
      [&] {
        prepare_unit_population(Table({{"area", Column({1})}, {"x", Column({1.0})}}), "area", s,
                                {.pop_size = "N"});
      },
      "Missing Population Columns");
  expect_model_error(
      [&] {
        prepare_unit_population(
            Table({{"area", Column({1, 1})}, {"x", Column({1.0, 2.0})}, {"N", Column({5, 6})}}),
            "area", s, {.pop_size = "N"});
      },
      "Duplicate population areas",
      "Area '1' appears on 2 rows of the population table; with 'N' it must hold one row per "
      "area.");
  expect_model_error(
      [&] {
        prepare_unit_population(Table({{"area", Column({1, 2})},
                                       {"x", Column({1.0, kelp::null})},
                                       {"N", Column({5, 6})}}),
                                "area", s, {.pop_size = "N"});
      },
      "Population data contains NaNs",
      "Missing values found in population column 'x' for area '2'. Ensure 'drop_nulls=True' or "
      "clean your data manually.");
  // Dropping nulls removes the incomplete row instead.
  const UnitPopulation p = prepare_unit_population(
      Table({{"area", Column({1, 2})}, {"x", Column({1.0, kelp::null})}, {"N", Column({5, 6})}}),
      "area", s, {.pop_size = "N", .drop_nulls = true});
  EXPECT_EQ(p.pop_areas, (std::vector<std::string>{"1"}));
  expect_model_error(
      [&] {
        prepare_unit_population(Table({{"area", Column({1})}, {"x", Column({kelp::null})}}), "area",
                                s, {.drop_nulls = true});
      },
      "Empty dataset", "Population data empty after dropping nulls.");
  expect_model_error(
      [&] {
        prepare_unit_population(Table({{"area", Column({1})}, {"x", Column({"a"})}}), "area", s);
      },
      "Non-numeric column");
  expect_model_error(
      [&] {
        prepare_unit_population(
            Table({{"area", Column({kelp::null, 1})}, {"x", Column({1.0, 2.0})}}), "area", s);
      },
      "Missing area labels");
}

}  // namespace
}  // namespace kelp_sae
