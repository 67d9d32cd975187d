// kelp::Table: an immutable columnar table shared by handle.
//
// A table holds named, typed columns of equal length: 64-bit floats, 64-bit
// integers or texts, each with nulls. Copying a Table copies a handle; the
// columns themselves are never modified after construction, so copies are
// cheap and safe to share. Every operation returns a new table.
//
//   kelp::Table t({{"area", kelp::Column({1, 2, 3})},
//                  {"y", kelp::Column({1.5, 2.0, kelp::null})}});
//   auto clean = t.drop_nulls();
//   double y0 = clean.column("y").as_double(0);
//   kelp::Table csv = kelp::read_csv("survey.csv");
//
// Column access by a name the table does not hold throws ColumnNotFoundError,
// whose message names the column and lists the available ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kelp {

enum class DataType { Float64, Int64, String };

// Text of a type for messages: "f64", "i64", "str".
std::string_view to_string(DataType type);

// Marker for a null entry in column literals: Column({1.0, kelp::null, 3.0}).
struct NullValue {
  friend bool operator==(NullValue, NullValue) = default;
};
inline constexpr NullValue null{};

// One cell: null, float, integer or text.
using Value = std::variant<NullValue, double, std::int64_t, std::string>;

// Text form of a value, as shown in labels and design-column names:
// integers without a decimal point ("3"), floats in the shortest form that
// reads back to the same number with ".0" kept for whole numbers ("12.0",
// "1.5", "1e-07", "nan"), texts unchanged, null as "null".
std::string value_to_text(const Value& value);
std::string double_to_text(double value);

// A column access or lookup by a name the table does not hold. With a
// source (a file name), the message starts with it: "census.csv: column ...".
class ColumnNotFoundError : public std::out_of_range {
 public:
  ColumnNotFoundError(const std::string& name, const std::vector<std::string>& available,
                      std::string_view source = {});
  const std::string& column() const noexcept { return column_; }

 private:
  std::string column_;
};

// A typed column with nulls. Values of null entries are unspecified
// (0.0, 0 or "") and must not be read as data.
class Column {
 public:
  Column();  // an empty float column
  explicit Column(std::vector<double> values, std::vector<bool> valid = {});
  explicit Column(std::vector<std::int64_t> values, std::vector<bool> valid = {});
  explicit Column(std::vector<std::string> values, std::vector<bool> valid = {});
  // Literals: Column({1.0, 2.5}), Column({1, 2}), Column({"a", "b"}); use
  // kelp::null for a missing entry. All non-null entries must be of one kind.
  Column(std::initializer_list<Value> values);

  static Column from_values(const std::vector<Value>& values);
  static Column nulls(DataType type, std::size_t n);

  DataType type() const noexcept { return type_; }
  bool is_numeric() const noexcept { return type_ != DataType::String; }
  std::size_t size() const noexcept;
  std::size_t null_count() const noexcept;
  bool is_null(std::size_t i) const { return !valid_.empty() && !valid_[i]; }

  // Typed storage (valid only for the matching type).
  const std::vector<double>& float_values() const;
  const std::vector<std::int64_t>& int_values() const;
  const std::vector<std::string>& text_values() const;

  // Element as a double: floats as stored, integers converted, null as NaN.
  // Throws std::invalid_argument for a text column.
  double as_double(std::size_t i) const;
  // The whole column as doubles (null as NaN); throws for text columns.
  std::vector<double> to_doubles() const;
  // Element as a cell value, and its text form (value_to_text).
  Value value(std::size_t i) const;
  std::string text(std::size_t i) const;

  // Rows in the given order (indices may repeat).
  Column take(const std::vector<std::size_t>& rows) const;

 private:
  DataType type_ = DataType::Float64;
  std::vector<double> f64_;
  std::vector<std::int64_t> i64_;
  std::vector<std::string> str_;
  std::vector<bool> valid_;  // empty means: no nulls
};

class Table {
 public:
  Table();  // no columns, no rows
  // Columns in the given order; all must have the same length and distinct
  // names (std::invalid_argument otherwise).
  Table(std::vector<std::pair<std::string, Column>> columns);
  Table(std::initializer_list<std::pair<std::string, Column>> columns);

  std::size_t num_rows() const noexcept;
  std::size_t num_columns() const noexcept;
  const std::vector<std::string>& column_names() const noexcept;
  bool has_column(std::string_view name) const noexcept;
  // Throws ColumnNotFoundError for an unknown name.
  const Column& column(std::string_view name) const;
  const Column& column(std::size_t index) const;

  // The named columns, in the order given (ColumnNotFoundError if one is missing).
  Table select(const std::vector<std::string>& names) const;
  // A copy with the column added, or replaced in place when the name exists.
  Table with_column(const std::string& name, Column column) const;
  Table rename(const std::string& from, const std::string& to) const;
  // Rows with no null in the given columns (all columns when empty). A float
  // NaN is a value, not a null.
  Table drop_nulls(const std::vector<std::string>& subset = {}) const;
  // Rows in the given order (indices may repeat).
  Table take(const std::vector<std::size_t>& rows) const;
  // Stable ascending sort by one column: numbers numerically (a float NaN
  // after every number), texts by byte order; nulls last.
  Table sort_by(std::string_view name) const;

  // Distinct non-null values of a column, ascending (numerically for number
  // columns, by text otherwise), as a column of the same type.
  Column distinct(std::string_view name) const;

  // Row indices of each distinct non-null key of a column, keys ascending as
  // in distinct(); rows keep their table order inside a group.
  struct Group {
    Value key;
    std::vector<std::size_t> rows;
  };
  std::vector<Group> group_by(std::string_view name) const;

  // Joins on one key column present in both tables. Keys match when their
  // text forms (value_to_text) are equal, so an integer 7 matches a text "7"
  // (but not a float 7.0, whose text is "7.0"); null keys match nothing.
  // Output: the left table's columns, then the right table's other columns;
  // a right column whose name is already taken gets `suffix` appended
  // (std::invalid_argument if that name is taken too).
  // Inner join: left rows with a match, in left order (a left row matching
  // several right rows repeats). Left join: every left row; unmatched right
  // columns are null.
  Table inner_join(const Table& right, const std::string& on,
                   const std::string& suffix = "_right") const;
  Table left_join(const Table& right, const std::string& on,
                  const std::string& suffix = "_right") const;

 private:
  struct Impl;
  explicit Table(std::shared_ptr<const Impl> impl);
  std::shared_ptr<const Impl> impl_;
};

}  // namespace kelp

// Reading and writing tables as CSV (read_csv, write_csv) comes with the table.
#include "kelp/csv.h"  // IWYU pragma: export
