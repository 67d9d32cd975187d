// Resolution of model terms into design-matrix columns.
//
//   auto [columns, names] = resolve_model_features({"x1", kelp::Cat{"region"}}, table);
//   kelp::Column x1 = columns[0].evaluate(table);
//
// Plain names and Features pass through; a Cat over levels L0 < L1 < ... (the
// reference moved first) becomes 0/1 columns named "<col>_<level text>" for
// every level after the reference (null where the column is null). A Cat
// with fewer than two levels contributes nothing. A reference that is not a
// level throws kelp::ModelError "Unknown reference level" listing the levels. A failure reading the
// levels (for example a missing column) throws kelp::ModelError "Categorical
// Resolution Error" with the failure's text as detail. A missing plain
// column is not detected here: evaluate() throws kelp::ColumnNotFoundError.
#pragma once

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "kelp/table.h"
#include "kelp/terms.h"

namespace kelp_sae {

// A list of covariate terms, built implicitly from a column name, a Feature,
// a Cat, or a braced list of these: {"x1", kelp::Cat{"region", "North"}}.
class TermList {
 public:
  TermList() = default;
  TermList(const char* name) : terms_{std::string(name)} {}
  TermList(std::string name) : terms_{std::move(name)} {}
  TermList(kelp::Feature f) : terms_{std::move(f)} {}
  TermList(kelp::Cat c) : terms_{std::move(c)} {}
  TermList(std::initializer_list<kelp::Term> terms) : terms_(terms) {}
  TermList(std::vector<kelp::Term> terms) : terms_(std::move(terms)) {}
  TermList(const std::vector<std::string>& names) : terms_(names.begin(), names.end()) {}

  const std::vector<kelp::Term>& terms() const noexcept { return terms_; }
  bool empty() const noexcept { return terms_.empty(); }

 private:
  std::vector<kelp::Term> terms_;
};

// The area identifier: a column name, or a Feature or RE term naming it.
class AreaTerm {
 public:
  AreaTerm(const char* name) : name_(name) {}
  AreaTerm(std::string name) : name_(std::move(name)) {}
  AreaTerm(kelp::Feature term) : name_(std::move(term.name)) {}
  AreaTerm(kelp::RE term) : name_(std::move(term.name)) {}
  const std::string& name() const noexcept { return name_; }

 private:
  std::string name_;
};

struct FeatureColumn {
  std::string name;
  // Evaluates the column on a table (nulls kept), as Float64 for dummies and
  // as stored for plain columns.
  std::function<kelp::Column(const kelp::Table&)> evaluate;
};

struct ResolvedFeatures {
  std::vector<FeatureColumn> columns;
  std::vector<std::string> names;
};

ResolvedFeatures resolve_model_features(const TermList& x, const kelp::Table& data);

// Evaluates every resolved column on `data` and returns a table with the
// given leading columns of `data` followed by the feature columns under their
// names. Throws kelp::ColumnNotFoundError for a missing column.
kelp::Table select_with_features(const kelp::Table& data, const std::vector<std::string>& leading,
                                 const ResolvedFeatures& features,
                                 const std::vector<std::string>& trailing = {});

}  // namespace kelp_sae
