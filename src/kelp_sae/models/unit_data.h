// Table handling of the unit-level models: area label normalisation, the
// cleaned and area-sorted sample, the population aggregates joined with the
// sample aggregates, and the contiguous per-area sample design of the
// bootstrap. Numerics live in unit.cc and the kernels; this file only turns
// tables into arrays.
//
//   UnitFeatures f = resolve_unit_features({"x1", "x2"}, sample_table);
//   UnitSample s = prepare_unit_sample(sample_table, "y", "area", f, {.drop_nulls = true});
//   UnitPopulation pop = prepare_unit_population(census, "area", s, {});
//
// Every area label is compared, sorted and joined as normalised text (see
// normalize_area_label), so 7, 7.0, "007" and " 7 " name the same area.
// The work is O(n) in the number of rows plus O(d log d) in the number of
// distinct labels: labels are normalised once per distinct raw value and
// rows are ordered by a counting sort on the area codes.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/table.h"
#include "kelp_sae/kernels/sample_design.h"
#include "kelp_sae/results/features.h"

namespace kelp_sae {

// The normalised text of one area label: the text form of the value
// (integers as digits, floats as kelp::value_to_text, e.g. 12.0 -> "12.0"),
// surrounding white space stripped, one trailing ".0" removed, then leading
// zeros removed. 7, "007", 7.0 and " 7 " give "7"; 0 and 0.0 give "";
// "12.00" stays "12.00". Null has no label (std::nullopt).
std::optional<std::string> normalize_area_label(const kelp::Value& value);

// The table with column `col` replaced, under the same name, by its
// normalised text labels (nulls stay null). Throws kelp::ColumnNotFoundError
// when the column is missing.
kelp::Table standardize_area_col(const kelp::Table& table, const std::string& col);

// Distinct normalised labels of a column and the code of every row.
struct AreaCoding {
  std::vector<std::string> labels;  // distinct labels, ascending byte order
  std::vector<std::int32_t> codes;  // per row: index into labels, -1 for null
  std::size_t null_count = 0;
};
AreaCoding code_areas(const kelp::Column& column);

// Resolved covariate terms, marking the design columns that are plain
// columns of the table (read in place) rather than derived dummies.
struct UnitFeatures {
  ResolvedFeatures resolved;
  std::vector<bool> plain;  // per design column
  const std::vector<std::string>& names() const noexcept { return resolved.names; }
};
// resolve_model_features, with the plain columns marked.
UnitFeatures resolve_unit_features(const TermList& x, const kelp::Table& data);

struct UnitSampleOptions {
  bool drop_nulls = false;
  // Column of the units' survey design weights (read into UnitSample::w);
  // with drop_nulls, a null weight drops its row.
  std::optional<std::string> weights = std::nullopt;
};

// The sample of a unit-level fit: n units sorted by area label (stable, so
// units keep their table order inside an area), m sampled areas, k features.
struct UnitSample {
  std::string y_name;
  std::string area_name;
  Eigen::VectorXd y;                       // n responses
  Eigen::MatrixXd X;                       // n x (1 + k): the constant 1, then the features
  std::vector<std::string> feature_names;  // k
  std::vector<std::string> unique_areas;   // m labels, ascending
  Eigen::VectorXi area_indices;            // n, position of each unit's area in unique_areas
  std::vector<Eigen::Index> area_offsets;  // m + 1: area i holds rows [offsets[i], offsets[i+1])
  Eigen::VectorXd w;                       // n design weights; empty without a weights column
  std::vector<std::size_t> rows;           // n: the table row of each unit

  Eigen::Index n() const noexcept { return y.size(); }
  Eigen::Index k() const noexcept { return X.cols() - 1; }
  // The n x k features, columns in feature_names order.
  auto X_raw() const { return X.rightCols(k()); }
  Eigen::Index m() const noexcept { return static_cast<Eigen::Index>(unique_areas.size()); }
};

// Selects the area column, the response and the feature columns of `data`;
// normalises the area labels; drops rows with a null in any of them when
// `drop_nulls`; sorts by area; converts to arrays.
// Throws kelp::ModelError:
//   "Missing columns" (detail: the table's message) for a missing column;
//   "Empty dataset" / "Dataset empty after dropping nulls." for no rows;
//   "Non-numeric column" for a text response or feature;
//   "Input data contains NaNs" for a null or NaN response or feature;
//   "Non-finite values" for an infinite response or feature, naming it;
//   "Missing area labels" for a null area label left in the sample;
//   "Invalid weights" for a weight that is not positive and finite (or
//   missing), naming the column and the first table rows (counted from 1).
UnitSample prepare_unit_sample(const kelp::Table& data, const std::string& y,
                               const std::string& area, const UnitFeatures& features,
                               const UnitSampleOptions& options = {});

struct UnitPopulationOptions {
  // Column of area population sizes; when given, the population table holds
  // one row per area whose feature columns are the area means.
  std::optional<std::string> pop_size = std::nullopt;
  bool drop_nulls = false;
};

// One row per population area (M areas, ascending labels), joined with the
// sample aggregates of the same area. Sampled areas absent from the
// population have no row.
struct UnitPopulation {
  std::vector<std::string> pop_areas;  // M labels, ascending
  Eigen::VectorXd N_i;                 // M population sizes
  Eigen::VectorXd n_i;                 // M sample sizes, 0 without sample
  Eigen::VectorXd y_bar_s;             // M sample means of y, 0.0 without sample
  Eigen::MatrixXd X_pop_means;         // M x k population feature means (no constant)
  Eigen::MatrixXd X_smp_means;         // M x k sample feature means, 0.0 without sample
  // Sampled area of each population area: index into UnitSample::unique_areas, or -1.
  std::vector<int> sample_area;

  Eigen::Index M() const noexcept { return static_cast<Eigen::Index>(pop_areas.size()); }
};

// Population aggregates from `pop_data`: with `pop_size`, the rows as they
// are (feature columns are the area means, N_i the size column); without,
// N_i is the row count of each area and the features are averaged over the
// area's non-null values. The population table must carry the features
// under the names in sample.feature_names.
// Throws kelp::ModelError:
//   "Missing Population Columns" (detail: the table's message);
//   "Empty dataset" / "Population data empty after dropping nulls.";
//   "Non-numeric column" for a text feature or size column;
//   "Non-finite values" for an infinite feature or size value, naming it;
//   "Invalid population sizes" for a size below 1, naming the area;
//   "Missing area labels" for a null area label;
//   "Duplicate population areas" for an area on several rows with `pop_size`;
//   "Population data contains NaNs" for an area whose size or feature mean
//   is missing.
UnitPopulation prepare_unit_population(const kelp::Table& pop_data, const std::string& area,
                                       const UnitSample& sample,
                                       const UnitPopulationOptions& options = {});

// The sampled units of the areas that also occur in the population, grouped
// by area in ascending label order: the bootstrap's sample design (column 0
// the constant 1, then the k features, whatever the model's intercept).
struct UnitSampleBlocks {
  kernels::SampleDesign design;     // V areas
  Eigen::VectorXi area_idx_in_pop;  // V: population position of each area
};
UnitSampleBlocks build_sample_blocks(const UnitSample& sample, const UnitPopulation& population);

}  // namespace kelp_sae
