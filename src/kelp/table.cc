#include "kelp/table.h"
#include "kelp/errors.h"

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace kelp {

// ---------------------------------------------------------------------------
// Text forms
// ---------------------------------------------------------------------------

std::string_view to_string(DataType type) {
  switch (type) {
    case DataType::Float64:
      return "f64";
    case DataType::Int64:
      return "i64";
    case DataType::String:
      return "str";
  }
  return "?";
}

std::string double_to_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // fmt's default presentation is the shortest text that reads back to the
  // same double, switching to exponent notation at the same thresholds as
  // Python's repr; only the ".0" of whole numbers has to be added.
  std::string text = fmt::format("{}", value);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string value_to_text(const Value& value) {
  struct Visitor {
    std::string operator()(NullValue) const { return "null"; }
    std::string operator()(double v) const { return double_to_text(v); }
    std::string operator()(std::int64_t v) const { return std::to_string(v); }
    std::string operator()(const std::string& v) const { return v; }
  };
  return std::visit(Visitor{}, value);
}

namespace {

// The names of a message, each made printable; past `shown` names, how many
// more there are.
std::string join_names(const std::vector<std::string>& names, std::size_t shown = 40) {
  if (names.empty()) return "(none)";
  std::string out;
  const std::size_t n = std::min(names.size(), shown);
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += ", ";
    out += printable(names[i]);
  }
  if (names.size() > n) out += fmt::format(" and {} more", names.size() - n);
  return out;
}

}  // namespace

ColumnNotFoundError::ColumnNotFoundError(const std::string& name,
                                         const std::vector<std::string>& available,
                                         std::string_view source)
    : std::out_of_range(fmt::format("{}{}column \"{}\" not found; available columns: {}", source,
                                    source.empty() ? "" : ": ", printable(name),
                                    join_names(available))),
      column_(name) {}

// ---------------------------------------------------------------------------
// Column
// ---------------------------------------------------------------------------

namespace {

// An empty validity vector stands for "no nulls"; keep that form whenever it
// applies so that null checks stay cheap.
std::vector<bool> normalise_validity(std::vector<bool> valid, std::size_t n) {
  if (valid.empty()) return valid;
  if (valid.size() != n) {
    throw std::invalid_argument(
        fmt::format("column validity has {} entries for {} values", valid.size(), n));
  }
  if (std::find(valid.begin(), valid.end(), false) == valid.end()) return {};
  return valid;
}

void check_type(DataType actual, DataType wanted) {
  if (actual != wanted) {
    throw std::invalid_argument(
        fmt::format("column of type {} accessed as {}", to_string(actual), to_string(wanted)));
  }
}

}  // namespace

Column::Column() = default;

Column::Column(std::vector<double> values, std::vector<bool> valid)
    : type_(DataType::Float64), f64_(std::move(values)) {
  valid_ = normalise_validity(std::move(valid), f64_.size());
}

Column::Column(std::vector<std::int64_t> values, std::vector<bool> valid)
    : type_(DataType::Int64), i64_(std::move(values)) {
  valid_ = normalise_validity(std::move(valid), i64_.size());
}

Column::Column(std::vector<std::string> values, std::vector<bool> valid)
    : type_(DataType::String), str_(std::move(values)) {
  valid_ = normalise_validity(std::move(valid), str_.size());
}

Column::Column(std::initializer_list<Value> values)
    : Column(from_values(std::vector<Value>(values))) {}

Column Column::from_values(const std::vector<Value>& values) {
  bool has_float = false;
  bool has_int = false;
  bool has_text = false;
  bool has_null = false;
  for (const Value& v : values) {
    has_null |= std::holds_alternative<NullValue>(v);
    has_float |= std::holds_alternative<double>(v);
    has_int |= std::holds_alternative<std::int64_t>(v);
    has_text |= std::holds_alternative<std::string>(v);
  }
  if (has_text && (has_float || has_int)) {
    throw std::invalid_argument("column values mix numbers and texts");
  }
  const std::size_t n = values.size();
  std::vector<bool> valid;
  if (has_null) {
    valid.resize(n);
    for (std::size_t i = 0; i < n; ++i) valid[i] = !std::holds_alternative<NullValue>(values[i]);
  }
  if (has_text) {
    std::vector<std::string> out(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (const auto* s = std::get_if<std::string>(&values[i])) out[i] = *s;
    }
    return Column(std::move(out), std::move(valid));
  }
  if (has_int && !has_float) {
    std::vector<std::int64_t> out(n, 0);
    for (std::size_t i = 0; i < n; ++i) {
      if (const auto* x = std::get_if<std::int64_t>(&values[i])) out[i] = *x;
    }
    return Column(std::move(out), std::move(valid));
  }
  // Floats, a mix of floats and integers, or nothing but nulls.
  std::vector<double> out(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    if (const auto* d = std::get_if<double>(&values[i])) {
      out[i] = *d;
    } else if (const auto* x = std::get_if<std::int64_t>(&values[i])) {
      out[i] = static_cast<double>(*x);
    }
  }
  return Column(std::move(out), std::move(valid));
}

Column Column::nulls(DataType type, std::size_t n) {
  std::vector<bool> valid(n, false);
  switch (type) {
    case DataType::Float64:
      return Column(std::vector<double>(n, 0.0), std::move(valid));
    case DataType::Int64:
      return Column(std::vector<std::int64_t>(n, 0), std::move(valid));
    case DataType::String:
      return Column(std::vector<std::string>(n), std::move(valid));
  }
  return Column();
}

std::size_t Column::size() const noexcept {
  switch (type_) {
    case DataType::Float64:
      return f64_.size();
    case DataType::Int64:
      return i64_.size();
    case DataType::String:
      return str_.size();
  }
  return 0;
}

std::size_t Column::null_count() const noexcept {
  return static_cast<std::size_t>(std::count(valid_.begin(), valid_.end(), false));
}

const std::vector<double>& Column::float_values() const {
  check_type(type_, DataType::Float64);
  return f64_;
}

const std::vector<std::int64_t>& Column::int_values() const {
  check_type(type_, DataType::Int64);
  return i64_;
}

const std::vector<std::string>& Column::text_values() const {
  check_type(type_, DataType::String);
  return str_;
}

double Column::as_double(std::size_t i) const {
  if (i >= size()) throw std::out_of_range(fmt::format("row {} of a column of {} rows", i, size()));
  if (type_ == DataType::String) {
    throw std::invalid_argument("a text column cannot be read as numbers");
  }
  if (is_null(i)) return std::numeric_limits<double>::quiet_NaN();
  return type_ == DataType::Float64 ? f64_[i] : static_cast<double>(i64_[i]);
}

std::vector<double> Column::to_doubles() const {
  if (type_ == DataType::String) {
    throw std::invalid_argument("a text column cannot be read as numbers");
  }
  std::vector<double> out;
  if (type_ == DataType::Float64) {
    out = f64_;
  } else {
    out.reserve(i64_.size());
    for (std::int64_t v : i64_) out.push_back(static_cast<double>(v));
  }
  if (!valid_.empty()) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (!valid_[i]) out[i] = std::numeric_limits<double>::quiet_NaN();
    }
  }
  return out;
}

Value Column::value(std::size_t i) const {
  if (i >= size()) throw std::out_of_range(fmt::format("row {} of a column of {} rows", i, size()));
  if (is_null(i)) return null;
  switch (type_) {
    case DataType::Float64:
      return f64_[i];
    case DataType::Int64:
      return i64_[i];
    case DataType::String:
      return str_[i];
  }
  return null;
}

std::string Column::text(std::size_t i) const { return value_to_text(value(i)); }

Column Column::take(const std::vector<std::size_t>& rows) const {
  const std::size_t n = size();
  for (std::size_t r : rows) {
    if (r >= n) throw std::out_of_range(fmt::format("row {} of a column of {} rows", r, n));
  }
  std::vector<bool> valid;
  if (!valid_.empty()) {
    valid.resize(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) valid[k] = valid_[rows[k]];
  }
  auto gather = [&rows](const auto& src) {
    std::remove_cvref_t<decltype(src)> out(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) out[k] = src[rows[k]];
    return out;
  };
  switch (type_) {
    case DataType::Float64:
      return Column(gather(f64_), std::move(valid));
    case DataType::Int64:
      return Column(gather(i64_), std::move(valid));
    case DataType::String:
      return Column(gather(str_), std::move(valid));
  }
  return Column();
}

namespace {

constexpr std::size_t kNoRow = std::numeric_limits<std::size_t>::max();

// Rows in the given order, where kNoRow gives a null entry.
Column take_or_null(const Column& col, const std::vector<std::size_t>& rows) {
  const std::size_t m = rows.size();
  std::vector<bool> valid(m);
  for (std::size_t k = 0; k < m; ++k) valid[k] = rows[k] != kNoRow && !col.is_null(rows[k]);
  auto gather = [&rows, m](const auto& src, auto fill) {
    std::vector<std::remove_cvref_t<decltype(src[0])>> out(m, fill);
    for (std::size_t k = 0; k < m; ++k) {
      if (rows[k] != kNoRow) out[k] = src[rows[k]];
    }
    return out;
  };
  switch (col.type()) {
    case DataType::Float64:
      return Column(gather(col.float_values(), 0.0), std::move(valid));
    case DataType::Int64:
      return Column(gather(col.int_values(), std::int64_t{0}), std::move(valid));
    case DataType::String:
      return Column(gather(col.text_values(), std::string()), std::move(valid));
  }
  return Column();
}

// Total order for sorting and distinct values: numerically for numbers (NaN
// after every other number), bytewise for texts. Nulls are handled apart.
bool float_less(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a < b;
}

// Bit pattern identifying equal floats: -0.0 equals 0.0, all NaNs are one value.
std::uint64_t float_key(double v) {
  if (std::isnan(v)) return 0x7ff8000000000000ULL;
  if (v == 0.0) return 0;
  return std::bit_cast<std::uint64_t>(v);
}

// First-seen representative row of each distinct non-null value, plus the
// group id of every row (kNoRow for nulls).
struct Grouping {
  std::vector<std::size_t> first_row;  // one per group, in order of first appearance
  std::vector<std::size_t> group_of_row;
};

template <typename Key, typename KeyFn>
Grouping group_rows(const Column& col, KeyFn key_of) {
  Grouping g;
  const std::size_t n = col.size();
  g.group_of_row.assign(n, kNoRow);
  std::unordered_map<Key, std::size_t> index;
  for (std::size_t i = 0; i < n; ++i) {
    if (col.is_null(i)) continue;
    auto [it, inserted] = index.try_emplace(key_of(i), g.first_row.size());
    if (inserted) g.first_row.push_back(i);
    g.group_of_row[i] = it->second;
  }
  return g;
}

Grouping group_column(const Column& col) {
  switch (col.type()) {
    case DataType::Float64: {
      const auto& v = col.float_values();
      return group_rows<std::uint64_t>(col, [&v](std::size_t i) { return float_key(v[i]); });
    }
    case DataType::Int64: {
      const auto& v = col.int_values();
      return group_rows<std::int64_t>(col, [&v](std::size_t i) { return v[i]; });
    }
    case DataType::String: {
      const auto& v = col.text_values();
      return group_rows<std::string_view>(col,
                                          [&v](std::size_t i) { return std::string_view(v[i]); });
    }
  }
  return {};
}

// Orders rows (all non-null) of a column ascending, stably.
void stable_sort_rows(const Column& col, std::vector<std::size_t>& rows) {
  switch (col.type()) {
    case DataType::Float64: {
      const auto& v = col.float_values();
      std::stable_sort(rows.begin(), rows.end(),
                       [&v](std::size_t a, std::size_t b) { return float_less(v[a], v[b]); });
      break;
    }
    case DataType::Int64: {
      const auto& v = col.int_values();
      std::stable_sort(rows.begin(), rows.end(),
                       [&v](std::size_t a, std::size_t b) { return v[a] < v[b]; });
      break;
    }
    case DataType::String: {
      const auto& v = col.text_values();
      std::stable_sort(rows.begin(), rows.end(), [&v](std::size_t a, std::size_t b) {
        return std::string_view(v[a]) < std::string_view(v[b]);
      });
      break;
    }
  }
}

// Distinct keys in ascending order: order[r] is the first row of the key of
// rank r, rank[g] the rank of group g.
struct RankedGroups {
  Grouping grouping;
  std::vector<std::size_t> order;
  std::vector<std::size_t> rank;
};

RankedGroups rank_groups(const Column& col) {
  RankedGroups g;
  g.grouping = group_column(col);
  g.order = g.grouping.first_row;
  stable_sort_rows(col, g.order);
  g.rank.resize(g.order.size());
  for (std::size_t r = 0; r < g.order.size(); ++r) g.rank[g.grouping.group_of_row[g.order[r]]] = r;
  return g;
}

}  // namespace

// ---------------------------------------------------------------------------
// Table
// ---------------------------------------------------------------------------

// Columns are shared between tables: selecting, renaming or adding a column
// copies handles, not data.
struct Table::Impl {
  std::vector<std::string> names;
  std::vector<std::shared_ptr<const Column>> columns;
  std::unordered_map<std::string, std::size_t> index;
  std::size_t rows = 0;

  // Checks distinct names and equal lengths.
  static std::shared_ptr<const Impl> make(std::vector<std::string> names,
                                          std::vector<std::shared_ptr<const Column>> columns);
};

Table::Table() : impl_(std::make_shared<const Impl>()) {}

Table::Table(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

Table::Table(std::vector<std::pair<std::string, Column>> columns) {
  std::vector<std::string> names;
  std::vector<std::shared_ptr<const Column>> cols;
  names.reserve(columns.size());
  cols.reserve(columns.size());
  for (auto& [name, col] : columns) {
    names.push_back(name);
    cols.push_back(std::make_shared<const Column>(std::move(col)));
  }
  impl_ = Impl::make(std::move(names), std::move(cols));
}

Table::Table(std::initializer_list<std::pair<std::string, Column>> columns)
    : Table(std::vector<std::pair<std::string, Column>>(columns)) {}

std::shared_ptr<const Table::Impl> Table::Impl::make(
    std::vector<std::string> names, std::vector<std::shared_ptr<const Column>> columns) {
  auto impl = std::make_shared<Impl>();
  for (std::size_t j = 0; j < names.size(); ++j) {
    if (!impl->index.try_emplace(names[j], j).second) {
      throw std::invalid_argument(fmt::format("duplicate column name \"{}\"", printable(names[j])));
    }
    if (j > 0 && columns[j]->size() != columns[0]->size()) {
      throw std::invalid_argument(fmt::format("column \"{}\" has {} rows but column \"{}\" has {}",
                                              printable(names[j]), columns[j]->size(),
                                              printable(names[0]), columns[0]->size()));
    }
  }
  impl->rows = columns.empty() ? 0 : columns[0]->size();
  impl->names = std::move(names);
  impl->columns = std::move(columns);
  return impl;
}

std::size_t Table::num_rows() const noexcept { return impl_->rows; }
std::size_t Table::num_columns() const noexcept { return impl_->names.size(); }
const std::vector<std::string>& Table::column_names() const noexcept { return impl_->names; }

bool Table::has_column(std::string_view name) const noexcept {
  return impl_->index.find(std::string(name)) != impl_->index.end();
}

const Column& Table::column(std::string_view name) const {
  auto it = impl_->index.find(std::string(name));
  if (it == impl_->index.end()) throw ColumnNotFoundError(std::string(name), impl_->names);
  return *impl_->columns[it->second];
}

const Column& Table::column(std::size_t index) const {
  if (index >= impl_->columns.size()) {
    throw std::out_of_range(
        fmt::format("column index {} of a table with {} columns", index, impl_->columns.size()));
  }
  return *impl_->columns[index];
}

Table Table::select(const std::vector<std::string>& names) const {
  std::vector<std::shared_ptr<const Column>> cols;
  cols.reserve(names.size());
  for (const std::string& name : names) {
    auto it = impl_->index.find(name);
    if (it == impl_->index.end()) throw ColumnNotFoundError(name, impl_->names);
    cols.push_back(impl_->columns[it->second]);
  }
  return Table(Impl::make(names, std::move(cols)));
}

Table Table::with_column(const std::string& name, Column column) const {
  if (!impl_->names.empty() && column.size() != impl_->rows) {
    throw std::invalid_argument(fmt::format("column \"{}\" has {} rows but the table has {}", name,
                                            column.size(), impl_->rows));
  }
  std::vector<std::string> names = impl_->names;
  std::vector<std::shared_ptr<const Column>> cols = impl_->columns;
  auto ptr = std::make_shared<const Column>(std::move(column));
  auto it = impl_->index.find(name);
  if (it != impl_->index.end()) {
    cols[it->second] = std::move(ptr);
  } else {
    names.push_back(name);
    cols.push_back(std::move(ptr));
  }
  return Table(Impl::make(std::move(names), std::move(cols)));
}

Table Table::rename(const std::string& from, const std::string& to) const {
  auto it = impl_->index.find(from);
  if (it == impl_->index.end()) throw ColumnNotFoundError(from, impl_->names);
  std::vector<std::string> names = impl_->names;
  names[it->second] = to;
  return Table(Impl::make(std::move(names), impl_->columns));
}

Table Table::drop_nulls(const std::vector<std::string>& subset) const {
  std::vector<const Column*> cols;
  if (subset.empty()) {
    for (const auto& c : impl_->columns) cols.push_back(c.get());
  } else {
    for (const std::string& name : subset) cols.push_back(&column(name));
  }
  bool any_null = false;
  for (const Column* c : cols) any_null |= c->null_count() > 0;
  if (!any_null) return *this;
  std::vector<std::size_t> keep;
  keep.reserve(impl_->rows);
  for (std::size_t i = 0; i < impl_->rows; ++i) {
    bool ok = true;
    for (const Column* c : cols) {
      if (c->is_null(i)) {
        ok = false;
        break;
      }
    }
    if (ok) keep.push_back(i);
  }
  return take(keep);
}

Table Table::take(const std::vector<std::size_t>& rows) const {
  std::vector<std::shared_ptr<const Column>> cols;
  cols.reserve(impl_->columns.size());
  for (const auto& c : impl_->columns)
    cols.push_back(std::make_shared<const Column>(c->take(rows)));
  if (cols.empty()) return Table();
  return Table(Impl::make(impl_->names, std::move(cols)));
}

Table Table::sort_by(std::string_view name) const {
  // Counting sort over the ranks of the distinct keys: stable, and linear in
  // the rows once the distinct keys are sorted.
  const Column& key = column(name);
  const RankedGroups g = rank_groups(key);
  const std::size_t k = g.order.size();
  std::vector<std::size_t> start(k + 2, 0);  // slot k: nulls
  auto slot = [&](std::size_t i) {
    return g.grouping.group_of_row[i] == kNoRow ? k : g.rank[g.grouping.group_of_row[i]];
  };
  for (std::size_t i = 0; i < impl_->rows; ++i) ++start[slot(i) + 1];
  for (std::size_t r = 0; r <= k; ++r) start[r + 1] += start[r];
  std::vector<std::size_t> rows(impl_->rows);
  for (std::size_t i = 0; i < impl_->rows; ++i) rows[start[slot(i)]++] = i;
  return take(rows);
}

Column Table::distinct(std::string_view name) const {
  const Column& col = column(name);
  std::vector<std::size_t> rows = group_column(col).first_row;
  stable_sort_rows(col, rows);
  return col.take(rows);
}

std::vector<Table::Group> Table::group_by(std::string_view name) const {
  const Column& col = column(name);
  const RankedGroups g = rank_groups(col);
  const std::size_t k = g.order.size();
  std::vector<std::size_t> sizes(k, 0);
  for (std::size_t gid : g.grouping.group_of_row) {
    if (gid != kNoRow) ++sizes[g.rank[gid]];
  }
  std::vector<Group> groups(k);
  for (std::size_t r = 0; r < k; ++r) {
    groups[r].key = col.value(g.order[r]);
    groups[r].rows.reserve(sizes[r]);
  }
  for (std::size_t i = 0; i < g.grouping.group_of_row.size(); ++i) {
    const std::size_t gid = g.grouping.group_of_row[i];
    if (gid != kNoRow) groups[g.rank[gid]].rows.push_back(i);
  }
  return groups;
}

namespace {

// For each left row, the matching right rows in right order. Keys match on
// their text form; null keys match nothing.
struct JoinPlan {
  std::vector<std::size_t> left;
  std::vector<std::size_t> right;  // kNoRow: no match (left join only)
};

template <typename Key, typename LeftKey, typename RightKey>
JoinPlan plan_join(const Column& lcol, const Column& rcol, LeftKey left_key, RightKey right_key,
                   bool keep_unmatched) {
  // Right rows with equal keys are chained: head[key] -> first row, next[row] -> following row.
  std::unordered_map<Key, std::pair<std::size_t, std::size_t>> head;  // first, last
  std::vector<std::size_t> next(rcol.size(), kNoRow);
  head.reserve(rcol.size());
  for (std::size_t j = 0; j < rcol.size(); ++j) {
    if (rcol.is_null(j)) continue;
    auto [it, inserted] = head.try_emplace(right_key(j), j, j);
    if (!inserted) {
      next[it->second.second] = j;
      it->second.second = j;
    }
  }
  JoinPlan plan;
  plan.left.reserve(lcol.size());
  plan.right.reserve(lcol.size());
  for (std::size_t i = 0; i < lcol.size(); ++i) {
    std::size_t j = kNoRow;
    if (!lcol.is_null(i)) {
      auto it = head.find(left_key(i));
      if (it != head.end()) j = it->second.first;
    }
    if (j == kNoRow) {
      if (keep_unmatched) {
        plan.left.push_back(i);
        plan.right.push_back(kNoRow);
      }
      continue;
    }
    for (; j != kNoRow; j = next[j]) {
      plan.left.push_back(i);
      plan.right.push_back(j);
    }
  }
  return plan;
}

// Text form of every entry of a column (nulls as empty texts, never looked up).
std::vector<std::string> key_texts(const Column& col) {
  std::vector<std::string> out(col.size());
  for (std::size_t i = 0; i < col.size(); ++i) {
    if (!col.is_null(i)) out[i] = col.text(i);
  }
  return out;
}

JoinPlan make_join_plan(const Column& lcol, const Column& rcol, bool keep_unmatched) {
  if (lcol.type() == DataType::Int64 && rcol.type() == DataType::Int64) {
    const auto& l = lcol.int_values();
    const auto& r = rcol.int_values();
    return plan_join<std::int64_t>(
        lcol, rcol, [&l](std::size_t i) { return l[i]; }, [&r](std::size_t j) { return r[j]; },
        keep_unmatched);
  }
  // Equal texts or mixed types: compare text forms.
  std::vector<std::string> ltext;
  std::vector<std::string> rtext;
  const std::vector<std::string>& l =
      lcol.type() == DataType::String ? lcol.text_values() : (ltext = key_texts(lcol));
  const std::vector<std::string>& r =
      rcol.type() == DataType::String ? rcol.text_values() : (rtext = key_texts(rcol));
  return plan_join<std::string_view>(
      lcol, rcol, [&l](std::size_t i) { return std::string_view(l[i]); },
      [&r](std::size_t j) { return std::string_view(r[j]); }, keep_unmatched);
}

Table join_tables(const Table& left, const Table& right, const std::string& on,
                  const std::string& suffix, bool keep_unmatched) {
  const Column& lkey = left.column(on);
  const Column& rkey = right.column(on);
  JoinPlan plan = make_join_plan(lkey, rkey, keep_unmatched);

  std::vector<std::pair<std::string, Column>> out;
  std::unordered_set<std::string> taken;
  for (const std::string& name : left.column_names()) {
    out.emplace_back(name, left.column(name).take(plan.left));
    taken.insert(name);
  }
  for (const std::string& name : right.column_names()) {
    if (name == on) continue;
    std::string out_name = taken.count(name) ? name + suffix : name;
    if (!taken.insert(out_name).second) {
      throw std::invalid_argument(fmt::format(
          "join: column \"{}\" of the right table clashes with \"{}\" even with the suffix \"{}\"",
          name, out_name, suffix));
    }
    out.emplace_back(std::move(out_name), take_or_null(right.column(name), plan.right));
  }
  return Table(std::move(out));
}

}  // namespace

Table Table::inner_join(const Table& right, const std::string& on,
                        const std::string& suffix) const {
  return join_tables(*this, right, on, suffix, false);
}

Table Table::left_join(const Table& right, const std::string& on, const std::string& suffix) const {
  return join_tables(*this, right, on, suffix, true);
}

}  // namespace kelp
