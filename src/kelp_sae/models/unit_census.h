// The census of the unit-level models as the model reads it: categorical
// terms resolved on the census with the sample's levels and reference, and
// the census stored ragged, one contiguous block of unit rows per area.
//
//   kelp::Table pop = with_census_dummies(census, {"age", kelp::Cat{"gender"}}, sample_table);
//   UnitCensus c = prepare_unit_census(pop, "area", {"age", "gender_M"}, {});
//   // c.design.X: N x (1 + k), rows of area a at c.design.offsets[a] ..
//
// A census holding only the categorical column (gender) gets the dummy
// columns the sample's model uses (gender_M), coded against the sample's
// levels; a census that already holds every dummy column of a term is read
// as it is.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kelp/table.h"
#include "kelp_sae/kernels/simulations/ebp_monte_carlo.h"
#include "kelp_sae/results/features.h"

namespace kelp_sae {

// The census columns a model over `x` reads besides the area column: the
// plain covariates and the categorical columns, each once, in term order.
std::vector<std::string> census_columns(const TermList& x);

// `pop_data` with the dummy columns of every categorical term of `x` added
// (levels and reference from `sample_data`), unless the census already holds
// all of that term's dummy columns or lacks the categorical column (a missing
// column is left to the caller's column checks). Throws kelp::ModelError
// "Unknown Category Level" naming the column and the level when the census
// holds a level that the sample does not.
kelp::Table with_census_dummies(const kelp::Table& pop_data, const TermList& x,
                                const kelp::Table& sample_data);

struct UnitCensusOptions {
  bool drop_nulls = false;
  // Column of population weights (persons per record, non-negative); a null
  // weight is an error even with drop_nulls.
  std::optional<std::string> weights = std::nullopt;
};

// Census unit records grouped by area, areas in ascending normalised label
// order (normalize_area_label); inside an area the rows keep their table
// order.
struct UnitCensus {
  std::vector<std::string> pop_areas;  // M labels
  kernels::PopulationDesign design;    // N x (1 + k): the constant 1, then the features
  Eigen::Index M() const noexcept { return static_cast<Eigen::Index>(pop_areas.size()); }
};

// Reads the area column, `feature_names` and the weight column of `pop_data` (drops rows with a
// null in them when `drop_nulls`). A census passed by std::move gives up each column's memory
// as soon as the column is in the design. Throws kelp::ModelError:
//   "Missing Population Columns" / "Population data is missing columns
//     required by the model formula: <table message>" (for the weight
//     column: "... is missing the population weight column: <table message>");
//   "Empty dataset" / "Population data empty after dropping nulls.";
//   "Non-numeric column" for a text feature;
//   "Missing area labels" for a null area label;
//   "Population data contains NaNs" for a null or non-finite feature value;
//   "Invalid population weights" for a null, negative or non-finite weight
//     (naming the column and the first rows) or an area whose weights are
//     all 0.
UnitCensus prepare_unit_census(kelp::Table pop_data, const std::string& area,
                               const std::vector<std::string>& feature_names,
                               const UnitCensusOptions& options = {});

}  // namespace kelp_sae
