#include "kelp_sae/models/unit_data.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>

#include "kelp/errors.h"
#include "kelp_sae/models/common.h"

namespace kelp_sae {
namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string normalize_text(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && is_blank(text[begin])) ++begin;
  while (end > begin && is_blank(text[end - 1])) --end;
  text = text.substr(begin, end - begin);
  if (text.size() >= 2 && text.substr(text.size() - 2) == ".0") text.remove_suffix(2);
  std::size_t zeros = 0;
  while (zeros < text.size() && text[zeros] == '0') ++zeros;
  text.remove_prefix(zeros);
  return std::string(text);
}

// Assigns a dense code to every distinct raw value of a column, keyed by
// `key_of(row)`, remembering one representative row per code. Consecutive
// equal keys (the common case of a sorted area column) skip the hash lookup.
template <typename Key, typename KeyOf>
std::vector<std::int32_t> raw_codes(const kelp::Column& column, KeyOf key_of,
                                    std::vector<std::size_t>& representative) {
  const std::size_t n = column.size();
  std::vector<std::int32_t> codes(n, -1);
  std::unordered_map<Key, std::int32_t> index;
  bool have_last = false;
  Key last{};
  std::int32_t last_code = -1;
  for (std::size_t i = 0; i < n; ++i) {
    if (column.is_null(i)) continue;
    Key key = key_of(i);
    if (!have_last || !(key == last)) {
      auto [it, inserted] =
          index.try_emplace(key, static_cast<std::int32_t>(representative.size()));
      if (inserted) representative.push_back(i);
      last = key;
      last_code = it->second;
      have_last = true;
    }
    codes[i] = last_code;
  }
  return codes;
}

[[noreturn]] void throw_missing(const std::string& title, const std::exception& e) {
  throw kelp::ModelError({.title = title, .detail = e.what()});
}

// Whether row i has a null in any of the columns.
bool row_has_null(const std::vector<const kelp::Column*>& columns, std::size_t i) {
  for (const kelp::Column* c : columns) {
    if (c->is_null(i)) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> normalize_area_label(const kelp::Value& value) {
  if (std::holds_alternative<kelp::NullValue>(value)) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&value)) return normalize_text(*text);
  return normalize_text(kelp::value_to_text(value));
}

AreaCoding code_areas(const kelp::Column& column) {
  std::vector<std::size_t> representative;
  std::vector<std::int32_t> raw;
  switch (column.type()) {
    case kelp::DataType::Int64: {
      const auto& v = column.int_values();
      raw = raw_codes<std::int64_t>(
          column, [&](std::size_t i) { return v[i]; }, representative);
      break;
    }
    case kelp::DataType::Float64: {
      // Keyed by bit pattern: every distinct bit pattern has one text form.
      const auto& v = column.float_values();
      raw = raw_codes<std::uint64_t>(
          column, [&](std::size_t i) { return std::bit_cast<std::uint64_t>(v[i]); },
          representative);
      break;
    }
    case kelp::DataType::String: {
      const auto& v = column.text_values();
      raw = raw_codes<std::string_view>(
          column, [&](std::size_t i) { return std::string_view(v[i]); }, representative);
      break;
    }
  }

  // Normalise once per distinct raw value, then order the distinct labels.
  std::vector<std::string> raw_labels;
  raw_labels.reserve(representative.size());
  for (std::size_t row : representative)
    raw_labels.push_back(*normalize_area_label(column.value(row)));
  AreaCoding coding;
  coding.labels = raw_labels;
  std::sort(coding.labels.begin(), coding.labels.end());
  coding.labels.erase(std::unique(coding.labels.begin(), coding.labels.end()), coding.labels.end());
  std::vector<std::int32_t> final_code(raw_labels.size());
  for (std::size_t r = 0; r < raw_labels.size(); ++r) {
    final_code[r] = static_cast<std::int32_t>(
        std::lower_bound(coding.labels.begin(), coding.labels.end(), raw_labels[r]) -
        coding.labels.begin());
  }
  coding.codes = std::move(raw);
  for (std::int32_t& c : coding.codes) {
    if (c >= 0) {
      c = final_code[static_cast<std::size_t>(c)];
    } else {
      ++coding.null_count;
    }
  }
  return coding;
}

kelp::Table standardize_area_col(const kelp::Table& table, const std::string& col) {
  const kelp::Column& column = table.column(col);
  const AreaCoding coding = code_areas(column);
  std::vector<std::string> values(column.size());
  std::vector<bool> valid;
  if (coding.null_count > 0) valid.assign(column.size(), true);
  for (std::size_t i = 0; i < column.size(); ++i) {
    const std::int32_t c = coding.codes[i];
    if (c >= 0) {
      values[i] = coding.labels[static_cast<std::size_t>(c)];
    } else {
      valid[i] = false;
    }
  }
  return table.with_column(col, kelp::Column(std::move(values), std::move(valid)));
}

namespace {

// Rows of `keep` grouped by area code in ascending code order, keeping their
// table order inside a code (a stable counting sort). Codes that keep no row
// are dropped from `labels`, and `codes` of the kept rows are renumbered.
struct SortedRows {
  std::vector<std::size_t> rows;
  std::vector<std::string> labels;
  Eigen::VectorXi codes;  // per sorted row
  std::vector<Eigen::Index> offsets;
};

SortedRows sort_by_area(const AreaCoding& coding, const std::vector<std::size_t>& keep) {
  const std::size_t n_labels = coding.labels.size();
  std::vector<Eigen::Index> counts(n_labels, 0);
  for (std::size_t row : keep) ++counts[static_cast<std::size_t>(coding.codes[row])];

  SortedRows out;
  std::vector<int> compact(n_labels, -1);
  out.offsets.push_back(0);
  for (std::size_t c = 0; c < n_labels; ++c) {
    if (counts[c] == 0) continue;
    compact[c] = static_cast<int>(out.labels.size());
    out.labels.push_back(coding.labels[c]);
    out.offsets.push_back(out.offsets.back() + counts[c]);
  }
  std::vector<Eigen::Index> next(out.offsets.begin(), out.offsets.end() - 1);
  out.rows.resize(keep.size());
  out.codes.resize(static_cast<Eigen::Index>(keep.size()));
  for (std::size_t row : keep) {
    const int a = compact[static_cast<std::size_t>(coding.codes[row])];
    const auto pos = static_cast<std::size_t>(next[static_cast<std::size_t>(a)]++);
    out.rows[pos] = row;
    out.codes(static_cast<Eigen::Index>(pos)) = a;
  }
  return out;
}

}  // namespace

UnitFeatures resolve_unit_features(const TermList& x, const kelp::Table& data) {
  // Terms resolve independently of each other, so resolving them one at a
  // time gives the same columns in the same order.
  UnitFeatures out;
  for (const kelp::Term& term : x.terms()) {
    ResolvedFeatures one = resolve_model_features(TermList(std::vector<kelp::Term>{term}), data);
    const bool plain = !std::holds_alternative<kelp::Cat>(term);
    for (std::size_t j = 0; j < one.names.size(); ++j) {
      out.resolved.names.push_back(std::move(one.names[j]));
      out.resolved.columns.push_back(std::move(one.columns[j]));
      out.plain.push_back(plain);
    }
  }
  return out;
}

namespace {

// A column of a text type cannot be a response or covariate.
void check_numeric(const kelp::Column& column, const std::string& name, std::string_view role) {
  if (!column.is_numeric()) models::numeric_column(kelp::Table({{name, column}}), name, role);
}

// out[i] = column[rows[i]] as a double (null as NaN).
void gather(const kelp::Column& column, const std::vector<std::size_t>& rows, double* out) {
  const std::size_t n = rows.size();
  if (column.type() == kelp::DataType::Float64) {
    const std::vector<double>& v = column.float_values();
    for (std::size_t i = 0; i < n; ++i) out[i] = v[rows[i]];
  } else {
    const std::vector<std::int64_t>& v = column.int_values();
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(v[rows[i]]);
  }
  if (column.null_count() > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      if (column.is_null(rows[i])) out[i] = std::numeric_limits<double>::quiet_NaN();
    }
  }
}

// Infinite values (NaN is reported separately): a ModelError naming the
// column and counting its infinite values.
void check_no_infinite(const Eigen::Ref<const Eigen::VectorXd>& v, const std::string& name,
                       std::string_view table) {
  const Eigen::Index count = v.array().isInf().count();
  if (count == 0) return;
  throw kelp::ModelError({.title = "Non-finite values",
                          .detail = "Column '" + name + "' of the " + std::string(table) +
                                    " holds " + std::to_string(count) +
                                    (count == 1 ? " infinite value" : " infinite values") +
                                    "; every value must be a finite number."});
}

[[noreturn]] void throw_nan_input() {
  throw kelp::ModelError({.title = "Input data contains NaNs",
                          .detail = "Missing values found in 'y' or predictor variables. Ensure "
                                    "'drop_nulls=True' or clean your data manually.",
                          .argument = "drop_nulls"});
}

}  // namespace

UnitSample prepare_unit_sample(const kelp::Table& data, const std::string& y,
                               const std::string& area, const UnitFeatures& features,
                               const UnitSampleOptions& options) {
  // Plain columns are read in place; dummy columns are evaluated.
  std::vector<kelp::Column> derived;
  derived.reserve(features.plain.size());
  std::vector<const kelp::Column*> columns;  // area, y, features
  try {
    columns.push_back(&data.column(area));
    columns.push_back(&data.column(y));
    for (std::size_t j = 0; j < features.plain.size(); ++j) {
      const std::string& name = features.resolved.names[j];
      if (features.plain[j]) {
        columns.push_back(&data.column(name));
      } else {
        derived.push_back(features.resolved.columns[j].evaluate(data));
        columns.push_back(&derived.back());
      }
    }
    if (options.weights) columns.push_back(&data.column(*options.weights));
  } catch (const kelp::ColumnNotFoundError& e) {
    throw_missing("Missing columns", e);
  }

  const std::size_t n_rows = data.num_rows();
  std::vector<std::size_t> keep;
  keep.reserve(n_rows);
  for (std::size_t i = 0; i < n_rows; ++i) {
    if (!options.drop_nulls || !row_has_null(columns, i)) keep.push_back(i);
  }
  if (keep.empty()) {
    throw kelp::ModelError(
        {.title = "Empty dataset", .detail = "Dataset empty after dropping nulls."});
  }
  const std::size_t k = features.plain.size();
  check_numeric(*columns[1], y, "response");
  for (std::size_t j = 0; j < k; ++j) {
    check_numeric(*columns[j + 2], features.resolved.names[j], "covariate");
  }
  if (options.weights) check_numeric(*columns.back(), *options.weights, "weight");

  const AreaCoding coding = code_areas(*columns[0]);
  std::size_t null_areas = 0;
  if (coding.null_count > 0) {
    null_areas = static_cast<std::size_t>(std::count_if(
        keep.begin(), keep.end(), [&](std::size_t row) { return coding.codes[row] < 0; }));
  }
  if (null_areas > 0) {
    // Missing responses and covariates are reported first.
    std::vector<double> values(keep.size());
    for (std::size_t j = 1; j < columns.size(); ++j) {
      gather(*columns[j], keep, values.data());
      if (std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); })) {
        throw_nan_input();
      }
    }
    throw kelp::ModelError(
        {.title = "Missing area labels",
         .detail = "Area column '" + area + "' has " + std::to_string(null_areas) +
                   " null values. Ensure 'drop_nulls=True' or clean your data manually.",
         .argument = "drop_nulls"});
  }

  SortedRows sorted = sort_by_area(coding, keep);
  keep = {};
  UnitSample s;
  s.y_name = y;
  s.area_name = area;
  s.feature_names = features.resolved.names;
  const auto n = static_cast<Eigen::Index>(sorted.rows.size());
  s.y.resize(n);
  s.X.resize(n, static_cast<Eigen::Index>(k) + 1);
  s.X.col(0).setOnes();
  gather(*columns[1], sorted.rows, s.y.data());
  for (std::size_t j = 0; j < k; ++j) {
    gather(*columns[j + 2], sorted.rows, s.X.col(static_cast<Eigen::Index>(j) + 1).data());
  }
  if (s.y.hasNaN() || s.X.hasNaN()) throw_nan_input();
  check_no_infinite(s.y, y, "sample");
  for (std::size_t j = 0; j < k; ++j) {
    check_no_infinite(s.X.col(static_cast<Eigen::Index>(j) + 1), features.resolved.names[j],
                      "sample");
  }
  s.rows = sorted.rows;
  if (options.weights) {
    s.w.resize(n);
    gather(*columns.back(), sorted.rows, s.w.data());
    // A sampled unit stands for someone: a weight of 0, a negative, missing
    // or non-finite one is a data error, reported by table row.
    std::vector<std::size_t> bad;
    for (Eigen::Index i = 0; i < n; ++i) {
      if (!(std::isfinite(s.w(i)) && s.w(i) > 0.0))
        bad.push_back(sorted.rows[static_cast<std::size_t>(i)] + 1);
    }
    if (!bad.empty()) {
      std::sort(bad.begin(), bad.end());
      const std::size_t shown = std::min<std::size_t>(bad.size(), 5);
      throw kelp::ModelError(
          {.title = "Invalid weights",
           .detail = fmt::format(
               "Column '{}' holds {} weights that are not positive and finite "
               "(rows {}{}); every sampled unit needs a positive design weight.",
               *options.weights, bad.size(),
               fmt::join(bad.begin(), bad.begin() + static_cast<std::ptrdiff_t>(shown), ", "),
               bad.size() > shown ? ", ..." : ""),
           .argument = "weights"});
    }
  }
  s.unique_areas = std::move(sorted.labels);
  s.area_indices = std::move(sorted.codes);
  s.area_offsets = std::move(sorted.offsets);
  return s;
}

UnitPopulation prepare_unit_population(const kelp::Table& pop_data, const std::string& area,
                                       const UnitSample& sample,
                                       const UnitPopulationOptions& options) {
  const std::vector<std::string>& features = sample.feature_names;
  std::vector<std::string> names{area};
  names.insert(names.end(), features.begin(), features.end());
  if (options.pop_size) names.push_back(*options.pop_size);
  kelp::Table pop;
  try {
    pop = pop_data.select(names);
  } catch (const kelp::ColumnNotFoundError& e) {
    throw_missing("Missing Population Columns", e);
  }

  std::vector<const kelp::Column*> columns;
  for (std::size_t j = 0; j < pop.num_columns(); ++j) columns.push_back(&pop.column(j));
  std::vector<std::size_t> keep;
  keep.reserve(pop.num_rows());
  for (std::size_t i = 0; i < pop.num_rows(); ++i) {
    if (!options.drop_nulls || !row_has_null(columns, i)) keep.push_back(i);
  }
  if (keep.empty()) {
    throw kelp::ModelError(
        {.title = "Empty dataset", .detail = "Population data empty after dropping nulls."});
  }

  std::vector<Eigen::VectorXd> values;
  for (const std::string& name : features) {
    values.push_back(models::numeric_column(pop, name, "population covariate"));
  }
  Eigen::VectorXd sizes;
  if (options.pop_size) sizes = models::numeric_column(pop, *options.pop_size, "population size");
  for (std::size_t j = 0; j < features.size(); ++j) {
    check_no_infinite(values[j], features[j], "population table");
  }
  if (options.pop_size) check_no_infinite(sizes, *options.pop_size, "population table");

  const AreaCoding coding = code_areas(pop.column(area));
  for (std::size_t row : keep) {
    if (coding.codes[row] < 0) {
      throw kelp::ModelError(
          {.title = "Missing area labels",
           .detail = "Population area column '" + area +
                     "' has null values. Ensure 'drop_nulls=True' or clean your data manually.",
           .argument = "drop_nulls"});
    }
  }
  const SortedRows sorted = sort_by_area(coding, keep);

  UnitPopulation out;
  out.pop_areas = sorted.labels;
  const Eigen::Index M = out.M();
  const auto k = static_cast<Eigen::Index>(features.size());
  out.N_i.resize(M);
  out.X_pop_means.resize(M, k);

  if (options.pop_size) {
    for (Eigen::Index a = 0; a < M; ++a) {
      const auto first = static_cast<std::size_t>(sorted.offsets[static_cast<std::size_t>(a)]);
      const auto rows = sorted.offsets[static_cast<std::size_t>(a) + 1] -
                        sorted.offsets[static_cast<std::size_t>(a)];
      if (rows > 1) {
        throw kelp::ModelError({.title = "Duplicate population areas",
                                .detail = "Area '" + out.pop_areas[static_cast<std::size_t>(a)] +
                                          "' appears on " + std::to_string(rows) +
                                          " rows of the population table; with '" +
                                          *options.pop_size + "' it must hold one row per area."});
      }
      const auto row = static_cast<Eigen::Index>(sorted.rows[first]);
      out.N_i(a) = sizes(row);
      for (Eigen::Index j = 0; j < k; ++j)
        out.X_pop_means(a, j) = values[static_cast<std::size_t>(j)](row);
    }
  } else {
    // Unit records: N_i counts the area's rows; a feature's mean skips its
    // nulls (a NaN value is kept and makes the mean NaN).
    for (Eigen::Index a = 0; a < M; ++a) {
      const auto begin = static_cast<std::size_t>(sorted.offsets[static_cast<std::size_t>(a)]);
      const auto end = static_cast<std::size_t>(sorted.offsets[static_cast<std::size_t>(a) + 1]);
      out.N_i(a) = static_cast<double>(end - begin);
    }
    for (Eigen::Index j = 0; j < k; ++j) {
      const kelp::Column& column = pop.column(features[static_cast<std::size_t>(j)]);
      const Eigen::VectorXd& v = values[static_cast<std::size_t>(j)];
      for (Eigen::Index a = 0; a < M; ++a) {
        const auto begin = static_cast<std::size_t>(sorted.offsets[static_cast<std::size_t>(a)]);
        const auto end = static_cast<std::size_t>(sorted.offsets[static_cast<std::size_t>(a) + 1]);
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t r = begin; r < end; ++r) {
          const std::size_t row = sorted.rows[r];
          if (column.is_null(row)) continue;
          sum += v(static_cast<Eigen::Index>(row));
          ++count;
        }
        out.X_pop_means(a, j) = count > 0 ? sum / static_cast<double>(count) : std::nan("");
      }
    }
  }

  for (Eigen::Index a = 0; a < M; ++a) {
    std::optional<std::string> bad;
    if (options.pop_size && std::isnan(out.N_i(a))) bad = *options.pop_size;
    for (Eigen::Index j = 0; j < k && !bad; ++j) {
      if (std::isnan(out.X_pop_means(a, j))) bad = features[static_cast<std::size_t>(j)];
    }
    if (bad) {
      throw kelp::ModelError(
          {.title = "Population data contains NaNs",
           .detail = "Missing values found in population column '" + kelp::printable(*bad) +
                     "' for area '" + kelp::printable(out.pop_areas[static_cast<std::size_t>(a)]) +
                     "'. Ensure 'drop_nulls=True' or clean your data manually.",
           .argument = "drop_nulls"});
    }
    if (options.pop_size && !(out.N_i(a) >= 1.0)) {
      throw kelp::ModelError(
          {.title = "Invalid population sizes",
           .detail = fmt::format("Area '{}' has population size {} in column '{}'; sizes must be "
                                 "at least 1.",
                                 kelp::printable(out.pop_areas[static_cast<std::size_t>(a)]),
                                 out.N_i(a), kelp::printable(*options.pop_size))});
    }
  }

  // Left join with the sample aggregates; both label lists are ascending.
  out.n_i = Eigen::VectorXd::Zero(M);
  out.y_bar_s = Eigen::VectorXd::Zero(M);
  out.X_smp_means = Eigen::MatrixXd::Zero(M, k);
  out.sample_area.assign(static_cast<std::size_t>(M), -1);
  const std::vector<std::string>& smp = sample.unique_areas;
  auto it = smp.begin();
  for (Eigen::Index a = 0; a < M; ++a) {
    const std::string& label = out.pop_areas[static_cast<std::size_t>(a)];
    it = std::lower_bound(it, smp.end(), label);
    if (it == smp.end() || *it != label) continue;
    const auto s = static_cast<std::size_t>(it - smp.begin());
    const Eigen::Index begin = sample.area_offsets[s];
    const Eigen::Index count = sample.area_offsets[s + 1] - begin;
    out.sample_area[static_cast<std::size_t>(a)] = static_cast<int>(s);
    out.n_i(a) = static_cast<double>(count);
    out.y_bar_s(a) = sample.y.segment(begin, count).mean();
    out.X_smp_means.row(a) = sample.X_raw().middleRows(begin, count).colwise().mean();
  }
  return out;
}

UnitSampleBlocks build_sample_blocks(const UnitSample& sample, const UnitPopulation& population) {
  UnitSampleBlocks blocks;
  Eigen::Index units = 0;
  Eigen::Index areas = 0;
  for (int s : population.sample_area) {
    if (s < 0) continue;
    const auto si = static_cast<std::size_t>(s);
    units += sample.area_offsets[si + 1] - sample.area_offsets[si];
    ++areas;
  }
  blocks.design.X.resize(units, sample.X.cols());
  blocks.design.offsets.reserve(static_cast<std::size_t>(areas) + 1);
  blocks.design.offsets.push_back(0);
  blocks.area_idx_in_pop.resize(areas);
  Eigen::Index at = 0;
  Eigen::Index v = 0;
  for (std::size_t a = 0; a < population.sample_area.size(); ++a) {
    const int s = population.sample_area[a];
    if (s < 0) continue;
    const auto si = static_cast<std::size_t>(s);
    const Eigen::Index begin = sample.area_offsets[si];
    const Eigen::Index count = sample.area_offsets[si + 1] - begin;
    blocks.design.X.middleRows(at, count) = sample.X.middleRows(begin, count);
    at += count;
    blocks.design.offsets.push_back(at);
    blocks.area_idx_in_pop(v++) = static_cast<int>(a);
  }
  return blocks;
}

}  // namespace kelp_sae
