#include "kelp/table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kelp {
namespace {

using ::testing::ElementsAre;

TEST(ColumnLiteral, InfersTypeFromEntries) {
  const Column ints({1, 2, kelp::null});
  EXPECT_EQ(ints.type(), DataType::Int64);
  EXPECT_THAT(ints.int_values()[1], 2);
  EXPECT_EQ(ints.null_count(), 1u);
  EXPECT_TRUE(ints.is_null(2));

  const Column floats({1.0, 2.5});
  EXPECT_EQ(floats.type(), DataType::Float64);
  EXPECT_EQ(floats.null_count(), 0u);

  const Column mixed({1, 2.5, kelp::null});
  EXPECT_EQ(mixed.type(), DataType::Float64);
  EXPECT_EQ(mixed.float_values()[0], 1.0);

  const Column texts({"a", kelp::null, "b"});
  EXPECT_EQ(texts.type(), DataType::String);
  EXPECT_THAT(texts.text_values()[2], "b");
  EXPECT_TRUE(texts.is_null(1));

  const Column std_strings({std::string("x")});
  EXPECT_EQ(std_strings.type(), DataType::String);

  EXPECT_THROW(Column({1, "a"}), std::invalid_argument);
}

TEST(Column, NumericAccessTurnsNullsIntoNaN) {
  const Column c({3, kelp::null, -4});
  EXPECT_EQ(c.as_double(0), 3.0);
  EXPECT_TRUE(std::isnan(c.as_double(1)));
  const std::vector<double> d = c.to_doubles();
  EXPECT_EQ(d[2], -4.0);
  EXPECT_TRUE(std::isnan(d[1]));
  EXPECT_THROW((void)Column({"a"}).as_double(0), std::invalid_argument);
  EXPECT_THROW((void)c.float_values(), std::invalid_argument);
  EXPECT_THROW(Column(std::vector<double>{1.0, 2.0}, {true}), std::invalid_argument);
}

TEST(ValueText, PythonLikeForms) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {12.0, "12.0"},
      {1.5, "1.5"},
      {0.1, "0.1"},
      {1e-7, "1e-07"},
      {1e16, "1e+16"},
      {1e-5, "1e-05"},
      {0.0001, "0.0001"},
      {1e22, "1e+22"},
      {1e15, "1000000000000000.0"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {1.0 / 3.0, "0.3333333333333333"},
      {-2.0, "-2.0"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(double_to_text(c.value), c.text);
  }
  EXPECT_EQ(value_to_text(std::int64_t{3}), "3");
  EXPECT_EQ(value_to_text(std::string("North")), "North");
  EXPECT_EQ(value_to_text(kelp::null), "null");
}

Table sample_table() {
  return Table({{"area", Column({3, 1, 2, 1, kelp::null})},
                {"y", Column({1.5, 2.0, kelp::null, 4.0, 5.0})},
                {"name", Column({"c", "a", "b", "a", "z"})}});
}

TEST(Table, ConstructionChecksShape) {
  EXPECT_THROW(Table({{"a", Column({1, 2})}, {"b", Column({1})}}), std::invalid_argument);
  EXPECT_THROW(Table({{"a", Column({1})}, {"a", Column({2})}}), std::invalid_argument);
  const Table t = sample_table();
  EXPECT_EQ(t.num_rows(), 5u);
  EXPECT_EQ(t.num_columns(), 3u);
  EXPECT_TRUE(t.has_column("y"));
  EXPECT_FALSE(t.has_column("x"));
  EXPECT_EQ(Table().num_rows(), 0u);
}

TEST(Table, MissingColumnNamesItAndListsAvailable) {
  const Table t = sample_table();
  try {
    (void)t.column("income");
    FAIL() << "expected ColumnNotFoundError";
  } catch (const ColumnNotFoundError& e) {
    EXPECT_EQ(e.column(), "income");
    EXPECT_STREQ(e.what(), "column \"income\" not found; available columns: area, y, name");
  }
  EXPECT_THROW((void)t.select({"area", "nope"}), ColumnNotFoundError);
  EXPECT_THROW((void)t.sort_by("nope"), ColumnNotFoundError);
  EXPECT_THROW((void)t.drop_nulls({"nope"}), ColumnNotFoundError);
}

TEST(Table, SelectRenameWithColumn) {
  const Table t = sample_table();
  const Table s = t.select({"name", "area"});
  EXPECT_THAT(s.column_names(), ElementsAre("name", "area"));
  const Table r = t.rename("y", "income");
  EXPECT_THAT(r.column_names(), ElementsAre("area", "income", "name"));
  EXPECT_THROW((void)t.rename("y", "area"), std::invalid_argument);
  const Table w = t.with_column("y", Column({0, 0, 0, 0, 0}));
  EXPECT_EQ(w.column("y").type(), DataType::Int64);
  EXPECT_THAT(w.column_names(), ElementsAre("area", "y", "name"));
  EXPECT_EQ(t.column("y").type(), DataType::Float64);  // the original is untouched
  EXPECT_THROW((void)t.with_column("z", Column({1})), std::invalid_argument);
}

TEST(Table, DropNullsKeepsNaN) {
  const Table t({{"a", Column({1.0, std::numeric_limits<double>::quiet_NaN(), kelp::null})},
                 {"b", Column({kelp::null, 1, 2})}});
  EXPECT_EQ(t.drop_nulls({"a"}).num_rows(), 2u);
  EXPECT_EQ(t.drop_nulls().num_rows(), 1u);
  EXPECT_TRUE(std::isnan(t.drop_nulls().column("a").as_double(0)));
}

TEST(Table, SortIsStableWithNullsLast) {
  const Table t = sample_table().sort_by("area");
  EXPECT_EQ(t.column("area").text(0), "1");
  EXPECT_EQ(t.column("y").as_double(0), 2.0);  // first of the two area-1 rows
  EXPECT_EQ(t.column("y").as_double(1), 4.0);
  EXPECT_EQ(t.column("area").text(3), "3");
  EXPECT_TRUE(t.column("area").is_null(4));

  const Table texts({{"k", Column({"b", "B", "a", kelp::null, "10", "9"})}});
  const Column sorted = texts.sort_by("k").column("k");
  std::vector<std::string> got;
  for (std::size_t i = 0; i < sorted.size(); ++i) got.push_back(sorted.text(i));
  EXPECT_THAT(got, ElementsAre("10", "9", "B", "a", "b", "null"));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Table f({{"x", Column({nan, 2.0, kelp::null, -1.0})}});
  const Column fs = f.sort_by("x").column("x");
  EXPECT_EQ(fs.as_double(0), -1.0);
  EXPECT_EQ(fs.as_double(1), 2.0);
  EXPECT_TRUE(std::isnan(fs.as_double(2)) && !fs.is_null(2));
  EXPECT_TRUE(fs.is_null(3));
}

TEST(Table, DistinctAndGroupBy) {
  const Table t = sample_table();
  const Column d = t.distinct("area");
  EXPECT_EQ(d.type(), DataType::Int64);
  EXPECT_THAT(d.int_values(), ElementsAre(1, 2, 3));

  const auto groups = t.group_by("area");
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].key, Value(std::int64_t{1}));
  EXPECT_THAT(groups[0].rows, ElementsAre(1, 3));
  EXPECT_THAT(groups[2].rows, ElementsAre(0));

  // Numbers order numerically, not by text; -0.0 and 0.0 are one value.
  const Table f({{"x", Column({10.0, 9.0, -0.0, 0.0, 9.0})}});
  EXPECT_THAT(f.distinct("x").float_values(), ElementsAre(0.0, 9.0, 10.0));
  EXPECT_THAT(f.group_by("x")[0].rows, ElementsAre(2, 3));
}

TEST(Table, InnerJoinMatchesTextFormsAndSuffixesClashes) {
  const Table left({{"area", Column({1, 2, 3, 2})}, {"v", Column({10, 20, 30, 21})}});
  const Table right({{"area", Column({"2", "3", "3", "4"})}, {"v", Column({0.2, 0.3, 0.33, 0.4})}});
  const Table j = left.inner_join(right, "area", "_smp");
  EXPECT_THAT(j.column_names(), ElementsAre("area", "v", "v_smp"));
  EXPECT_EQ(j.column("area").type(), DataType::Int64);
  EXPECT_EQ(j.column("v_smp").type(), DataType::Float64);
  EXPECT_THAT(j.column("v").int_values(), ElementsAre(20, 30, 30, 21));
  EXPECT_THAT(j.column("v_smp").float_values(), ElementsAre(0.2, 0.3, 0.33, 0.2));
}

TEST(Table, LeftJoinKeepsEveryLeftRow) {
  const Table left({{"area", Column({"a", "b", kelp::null})}, {"n", Column({1, 2, 3})}});
  const Table right({{"area", Column({"b", kelp::null})},
                     {"label", Column({"B", "none"})},
                     {"m", Column({5, 6})}});
  const Table j = left.left_join(right, "area");
  EXPECT_THAT(j.column_names(), ElementsAre("area", "n", "label", "m"));
  ASSERT_EQ(j.num_rows(), 3u);
  EXPECT_TRUE(j.column("label").is_null(0));
  EXPECT_EQ(j.column("label").text(1), "B");
  EXPECT_TRUE(j.column("m").is_null(2));  // null keys match nothing
  EXPECT_EQ(j.column("m").type(), DataType::Int64);
  EXPECT_THROW((void)left.left_join(right, "nope"), ColumnNotFoundError);
}

TEST(Table, FloatKeysJoinIntegersOnlyThroughTextForm) {
  // 7.0 reads "7.0" and does not match the integer 7 ("7").
  const Table left({{"k", Column({7.0, 8.5})}});
  const Table right({{"k", Column({7, 8})}, {"v", Column({1, 2})}});
  EXPECT_EQ(left.inner_join(right, "k").num_rows(), 0u);
  const Table right_text({{"k", Column({"8.5"})}, {"v", Column({1})}});
  EXPECT_EQ(left.inner_join(right_text, "k").num_rows(), 1u);
}

TEST(Table, JoinRejectsNamesThatClashEvenWithSuffix) {
  const Table left({{"k", Column({1})}, {"v", Column({1})}, {"v_right", Column({2})}});
  const Table right({{"k", Column({1})}, {"v", Column({3})}});
  EXPECT_THROW((void)left.inner_join(right, "k"), std::invalid_argument);
}

TEST(Column, NullsAndAllNullLiterals) {
  const Column n = Column::nulls(DataType::String, 3);
  EXPECT_EQ(n.type(), DataType::String);
  EXPECT_EQ(n.null_count(), 3u);
  EXPECT_EQ(Column({kelp::null, kelp::null}).type(), DataType::Float64);
  EXPECT_EQ(Column().size(), 0u);
}

TEST(Table, TakeRepeatsAndChecksBounds) {
  const Table t = sample_table();
  const Table r = t.take({4, 4, 0});
  EXPECT_EQ(r.num_rows(), 3u);
  EXPECT_EQ(r.column("name").text(1), "z");
  EXPECT_TRUE(r.column("area").is_null(0));
  EXPECT_THROW((void)t.take({5}), std::out_of_range);
}

}  // namespace
}  // namespace kelp
