// Model terms: how a caller names covariates and grouping columns.
//
//   Feature{"income"}            a numeric covariate column
//   Cat{"region"}                a categorical covariate, smallest level as reference
//   Cat{"region", "North"}       ... with "North" as the reference level
//   RE{"district"}               the grouping (random-effect) column
//
// A Cat reference is matched against the text form of the levels, so
// Cat{"age", "3"} names the integer level 3.
#pragma once

#include <optional>
#include <string>
#include <variant>

namespace kelp {

struct Feature {
  std::string name;
};

struct Cat {
  std::string name;
  std::optional<std::string> ref = std::nullopt;
};

struct RE {
  std::string name;
};

// One covariate term: a plain column name, a Feature or a Cat.
using Term = std::variant<std::string, Feature, Cat>;

}  // namespace kelp
