#include "kelp_sae/results/features.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <utility>
#include <variant>

#include "kelp/errors.h"

namespace kelp_sae {
namespace {

// A plain column, evaluated as stored.
FeatureColumn plain_column(const std::string& name) {
  return FeatureColumn{name, [name](const kelp::Table& table) { return table.column(name); }};
}

// Whether entry i of a non-null cell of `source` equals `level`. Numbers are
// compared as numbers (so a level 3 found in an integer column also matches
// 3.0 in a float column of another table, and NaN matches NaN); any other
// combination is compared by text form (an integer level 3 matches the
// text "3").
class LevelMatcher {
 public:
  explicit LevelMatcher(kelp::Value level)
      : level_(std::move(level)), text_(kelp::value_to_text(level_)) {}

  bool matches(const kelp::Column& source, std::size_t i) const {
    const bool level_is_number = !std::holds_alternative<std::string>(level_);
    if (source.is_numeric() && level_is_number) {
      if (source.type() == kelp::DataType::Int64 && std::holds_alternative<std::int64_t>(level_)) {
        return source.int_values()[i] == std::get<std::int64_t>(level_);
      }
      const double a = source.as_double(i);
      const double b = std::holds_alternative<double>(level_)
                           ? std::get<double>(level_)
                           : static_cast<double>(std::get<std::int64_t>(level_));
      return a == b || (std::isnan(a) && std::isnan(b));
    }
    if (source.type() == kelp::DataType::String) return source.text_values()[i] == text_;
    return source.text(i) == text_;
  }

 private:
  kelp::Value level_;
  std::string text_;
};

// The 0/1 indicator of `level` in column `name`: Float64, null where the
// column is null.
FeatureColumn dummy_column(const std::string& column, std::string dummy_name, kelp::Value level) {
  auto evaluate = [column, matcher = LevelMatcher(std::move(level))](const kelp::Table& table) {
    const kelp::Column& source = table.column(column);
    const std::size_t n = source.size();
    std::vector<double> values(n, 0.0);
    std::vector<bool> valid;
    if (source.null_count() > 0) valid.assign(n, true);
    for (std::size_t i = 0; i < n; ++i) {
      if (source.is_null(i)) {
        valid[i] = false;
      } else if (matcher.matches(source, i)) {
        values[i] = 1.0;
      }
    }
    return kelp::Column(std::move(values), std::move(valid));
  };
  return FeatureColumn{std::move(dummy_name), std::move(evaluate)};
}

// Appends the dummy columns of a categorical term: one per level after the
// reference, none when the column has fewer than two levels.
void expand_categorical(const kelp::Cat& cat, const kelp::Table& data, ResolvedFeatures& out) {
  kelp::Column levels;
  try {
    levels = data.distinct(cat.name);
  } catch (const std::exception& e) {
    throw kelp::ModelError({.title = "Categorical Resolution Error", .detail = e.what()});
  }
  const std::size_t k = levels.size();
  std::vector<std::size_t> order(k);
  for (std::size_t i = 0; i < k; ++i) order[i] = i;
  if (cat.ref.has_value()) {
    std::size_t i = 0;
    while (i < k && levels.text(i) != *cat.ref) ++i;
    if (i == k) {
      std::string listed;
      for (std::size_t j = 0; j < k; ++j) {
        listed += (j == 0 ? "'" : ", '") + kelp::printable(levels.text(j)) + "'";
      }
      std::string detail = "'";
      detail += kelp::printable(*cat.ref);
      detail += "' is not a level of column '";
      detail += kelp::printable(cat.name);
      detail += "'; its levels are " + (listed.empty() ? std::string("none") : listed) + ".";
      throw kelp::ModelError({.title = "Unknown reference level", .detail = detail});
    }
    std::rotate(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(i),
                order.begin() + static_cast<std::ptrdiff_t>(i) + 1);
  }
  if (k < 2) return;
  for (std::size_t j = 1; j < k; ++j) {
    const std::size_t level = order[j];
    std::string name = cat.name + "_" + levels.text(level);
    out.names.push_back(name);
    out.columns.push_back(dummy_column(cat.name, std::move(name), levels.value(level)));
  }
}

}  // namespace

ResolvedFeatures resolve_model_features(const TermList& x, const kelp::Table& data) {
  ResolvedFeatures out;
  for (const kelp::Term& term : x.terms()) {
    if (const auto* name = std::get_if<std::string>(&term)) {
      out.names.push_back(*name);
      out.columns.push_back(plain_column(*name));
    } else if (const auto* feature = std::get_if<kelp::Feature>(&term)) {
      out.names.push_back(feature->name);
      out.columns.push_back(plain_column(feature->name));
    } else {
      expand_categorical(std::get<kelp::Cat>(term), data, out);
    }
  }
  return out;
}

kelp::Table select_with_features(const kelp::Table& data, const std::vector<std::string>& leading,
                                 const ResolvedFeatures& features,
                                 const std::vector<std::string>& trailing) {
  std::vector<std::pair<std::string, kelp::Column>> columns;
  columns.reserve(leading.size() + features.columns.size() + trailing.size());
  for (const std::string& name : leading) columns.emplace_back(name, data.column(name));
  for (const FeatureColumn& feature : features.columns) {
    columns.emplace_back(feature.name, feature.evaluate(data));
  }
  for (const std::string& name : trailing) columns.emplace_back(name, data.column(name));
  return kelp::Table(std::move(columns));
}

}  // namespace kelp_sae
