#include "kelp_sae/models/unit_census.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "kelp/errors.h"
#include "kelp_sae/models/common.h"
#include "kelp_sae/models/unit_data.h"

namespace kelp_sae {

std::vector<std::string> census_columns(const TermList& x) {
  std::vector<std::string> out;
  const auto add = [&](const std::string& name) {
    if (std::find(out.begin(), out.end(), name) == out.end()) out.push_back(name);
  };
  for (const kelp::Term& term : x.terms()) {
    if (const auto* name = std::get_if<std::string>(&term)) {
      add(*name);
    } else if (const auto* feature = std::get_if<kelp::Feature>(&term)) {
      add(feature->name);
    } else {
      add(std::get<kelp::Cat>(term).name);
    }
  }
  return out;
}

kelp::Table with_census_dummies(const kelp::Table& pop_data, const TermList& x,
                                const kelp::Table& sample_data) {
  kelp::Table out = pop_data;
  for (const kelp::Term& term : x.terms()) {
    const auto* cat = std::get_if<kelp::Cat>(&term);
    if (cat == nullptr) continue;
    const ResolvedFeatures dummies = resolve_model_features(TermList(*cat), sample_data);
    const bool present = std::all_of(dummies.names.begin(), dummies.names.end(),
                                     [&](const std::string& n) { return out.has_column(n); });
    if (present || !out.has_column(cat->name)) continue;

    // Every census level must be one the sample's model has a coefficient for.
    std::set<std::string> known;
    const kelp::Column sample_levels = sample_data.distinct(cat->name);
    for (std::size_t i = 0; i < sample_levels.size(); ++i) known.insert(sample_levels.text(i));
    const kelp::Column census_levels = out.distinct(cat->name);
    for (std::size_t i = 0; i < census_levels.size(); ++i) {
      if (census_levels.is_null(i) || known.count(census_levels.text(i)) > 0) continue;
      throw kelp::ModelError(
          {.title = "Unknown Category Level",
           .detail = "Population column '" + cat->name + "' holds the level '" +
                     census_levels.text(i) +
                     "', which the sample does not have; the model has no coefficient for it."});
    }
    for (const FeatureColumn& column : dummies.columns) {
      out = out.with_column(column.name, column.evaluate(out));
    }
  }
  return out;
}

namespace {

// out[i] = column[rows[i]] as a double (null as NaN).
void gather_rows(const kelp::Column& column, const std::vector<std::size_t>& rows, double* out,
                 Eigen::Index stride) {
  const std::size_t n = rows.size();
  if (column.type() == kelp::DataType::Float64) {
    const std::vector<double>& v = column.float_values();
    for (std::size_t i = 0; i < n; ++i) out[static_cast<Eigen::Index>(i) * stride] = v[rows[i]];
  } else {
    const std::vector<std::int64_t>& v = column.int_values();
    for (std::size_t i = 0; i < n; ++i)
      out[static_cast<Eigen::Index>(i) * stride] = static_cast<double>(v[rows[i]]);
  }
  if (column.null_count() > 0) {
    for (std::size_t i = 0; i < n; ++i) {
      if (column.is_null(rows[i])) out[static_cast<Eigen::Index>(i) * stride] = std::nan("");
    }
  }
}

// The population weights of the census rows `rows` (in design order) into
// out.design.weights. Throws kelp::ModelError "Invalid population weights"
// for a missing, non-finite or negative weight (naming the first table rows,
// counted from 1) and for an area whose weights sum to 0.
void read_population_weights(const kelp::Column& column, const std::string& name,
                             const std::vector<std::size_t>& rows, UnitCensus& out) {
  std::vector<double>& w = out.design.weights;
  w.resize(rows.size());
  gather_rows(column, rows, w.data(), 1);
  std::vector<std::size_t> bad;
  for (std::size_t i = 0; i < w.size(); ++i) {
    if (!(std::isfinite(w[i]) && w[i] >= 0.0)) bad.push_back(rows[i] + 1);
  }
  if (!bad.empty()) {
    std::sort(bad.begin(), bad.end());
    std::string listed;
    for (std::size_t i = 0; i < std::min<std::size_t>(bad.size(), 5); ++i) {
      listed += (i == 0 ? "" : ", ") + std::to_string(bad[i]);
    }
    throw kelp::ModelError({.title = "Invalid population weights",
                            .detail = "Population weight column '" + name + "' has " +
                                      std::to_string(bad.size()) +
                                      " missing, negative or non-finite values (rows " + listed +
                                      (bad.size() > 5 ? ", ..." : "") +
                                      "); weights must be finite and non-negative."});
  }
  for (std::size_t a = 0; a + 1 < out.design.offsets.size(); ++a) {
    const auto begin = w.begin() + out.design.offsets[a];
    const auto end = w.begin() + out.design.offsets[a + 1];
    if (std::all_of(begin, end, [](double v) { return v == 0.0; })) {
      throw kelp::ModelError({.title = "Invalid population weights",
                              .detail = "Population weights in column '" + name +
                                        "' are all 0 in area '" + out.pop_areas[a] +
                                        "'; an area needs a positive total weight."});
    }
  }
}

}  // namespace

UnitCensus prepare_unit_census(kelp::Table pop_data, const std::string& area,
                               const std::vector<std::string>& feature_names,
                               const UnitCensusOptions& options) {
  // The columns still to be read, one entry per use. Once a column's last use
  // is copied into the design, the table stops holding it: when the caller
  // handed over the only handle, its memory is returned at once, so the
  // census and its design are never held whole side by side.
  std::vector<std::string> pending{area};
  pending.insert(pending.end(), feature_names.begin(), feature_names.end());
  if (options.weights) pending.push_back(*options.weights);
  const auto done_with = [&](const std::string& name) {
    pending.erase(std::find(pending.begin(), pending.end(), name));
    std::vector<std::string> kept;
    for (const std::string& p : pending) {
      if (std::find(kept.begin(), kept.end(), p) == kept.end()) kept.push_back(p);
    }
    pop_data = pop_data.select(kept);
  };

  std::vector<const kelp::Column*> columns;  // area, features
  const kelp::Column* weight_column = nullptr;
  try {
    columns.push_back(&pop_data.column(area));
    for (const std::string& name : feature_names) columns.push_back(&pop_data.column(name));
  } catch (const kelp::ColumnNotFoundError& e) {
    throw kelp::ModelError({.title = "Missing Population Columns",
                            .detail = std::string("Population data is missing columns required "
                                                  "by the model formula: ") +
                                      e.what()});
  }
  try {
    if (options.weights) weight_column = &pop_data.column(*options.weights);
  } catch (const kelp::ColumnNotFoundError& e) {
    throw kelp::ModelError(
        {.title = "Missing Population Columns",
         .detail =
             std::string("Population data is missing the population weight column: ") + e.what()});
  }
  for (std::size_t j = 1; j < columns.size(); ++j) {
    if (!columns[j]->is_numeric()) {
      models::numeric_column(kelp::Table({{feature_names[j - 1], *columns[j]}}),
                             feature_names[j - 1], "population covariate");
    }
  }

  if (weight_column != nullptr && !weight_column->is_numeric()) {
    models::numeric_column(kelp::Table({{*options.weights, *weight_column}}), *options.weights,
                           "population weight");
  }

  AreaCoding coding = code_areas(*columns[0]);
  const std::size_t n_rows = pop_data.num_rows();
  std::vector<Eigen::Index> counts(coding.labels.size(), 0);
  std::size_t kept = 0;
  std::vector<bool> drop;
  if (options.drop_nulls) drop.assign(n_rows, false);
  for (std::size_t i = 0; i < n_rows; ++i) {
    if (options.drop_nulls) {
      drop[i] = std::any_of(columns.begin(), columns.end(),
                            [&](const kelp::Column* c) { return c->is_null(i); });
      if (drop[i]) continue;
    }
    if (coding.codes[i] < 0) {
      throw kelp::ModelError(
          {.title = "Missing area labels",
           .detail = "Population area column '" + area +
                     "' has null values. Ensure 'drop_nulls=True' or clean your data manually.",
           .argument = "drop_nulls"});
    }
    ++counts[static_cast<std::size_t>(coding.codes[i])];
    ++kept;
  }
  if (kept == 0) {
    throw kelp::ModelError(
        {.title = "Empty dataset", .detail = "Population data empty after dropping nulls."});
  }

  // Areas that keep rows, in label order, and the rows grouped by area.
  UnitCensus out;
  std::vector<Eigen::Index> next(coding.labels.size(), 0);
  out.design.offsets.push_back(0);
  for (std::size_t c = 0; c < coding.labels.size(); ++c) {
    if (counts[c] == 0) continue;
    out.pop_areas.push_back(coding.labels[c]);
    next[c] = out.design.offsets.back();
    out.design.offsets.push_back(out.design.offsets.back() + counts[c]);
  }
  std::vector<std::size_t> rows(kept);
  for (std::size_t i = 0; i < n_rows; ++i) {
    if (options.drop_nulls && drop[i]) continue;
    rows[static_cast<std::size_t>(next[static_cast<std::size_t>(coding.codes[i])]++)] = i;
  }
  std::vector<std::int32_t>().swap(coding.codes);
  columns.clear();  // from here on columns are read by name, as they are released
  done_with(area);

  // The constant column is written last: the pages of a large design are
  // only taken as they are written, while the census columns are released.
  const auto k = static_cast<Eigen::Index>(feature_names.size());
  Eigen::MatrixXd& X = out.design.X;
  X.resize(static_cast<Eigen::Index>(kept), k + 1);
  for (Eigen::Index j = 0; j < k; ++j) {
    // By name: the table holds exactly the columns still to be read.
    gather_rows(pop_data.column(feature_names[static_cast<std::size_t>(j)]), rows,
                X.col(j + 1).data(), 1);
    const auto bad = std::find_if(X.col(j + 1).begin(), X.col(j + 1).end(),
                                  [](double v) { return !std::isfinite(v); });
    if (bad != X.col(j + 1).end()) {
      const auto row = bad - X.col(j + 1).begin();
      const auto a = std::upper_bound(out.design.offsets.begin(), out.design.offsets.end(),
                                      static_cast<Eigen::Index>(row)) -
                     out.design.offsets.begin() - 1;
      throw kelp::ModelError(
          {.title = "Population data contains NaNs",
           .detail = "Missing or non-finite values found in population column '" +
                     feature_names[static_cast<std::size_t>(j)] + "' for area '" +
                     out.pop_areas[static_cast<std::size_t>(a)] +
                     "'. Ensure 'drop_nulls=True' or clean your data manually.",
           .argument = "drop_nulls"});
    }
    done_with(feature_names[static_cast<std::size_t>(j)]);
  }
  X.col(0).setOnes();
  if (options.weights) {
    read_population_weights(pop_data.column(*options.weights), *options.weights, rows, out);
    done_with(*options.weights);
  }
  return out;
}

}  // namespace kelp_sae
