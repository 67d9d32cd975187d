// kelp::Sample: unit records with an optional survey design, and
// design-based estimation of means, totals, proportions and ratios by domain.
//
//   kelp::Sample s(table, {.weight = "w", .strata = "stratum", .psu = "psu"});
//   kelp::Estimate est = s.estimation().mean({.y = "income", .by = "district"});
//   kelp::Table out = est.to_table();   // columns by_level, est, se
//
// Estimators (weights w, domain indicator d):
//   mean        Hajek ratio  sum(w d y) / sum(w d)
//   total       Horvitz-Thompson  sum(w d y)
//   proportion  the mean of a 0/1 variable
//   ratio       sum(w d y) / sum(w d x)
// Standard errors by Taylor linearisation with the with-replacement
// approximation for PSUs within strata: for a linearised variable z,
//   var = sum_h n_h/(n_h-1) sum_i (z_hi - zbar_h)^2,
// z_hi the PSU totals of w z in stratum h. Without a design every unit is
// its own PSU in one stratum with weight 1 (simple random sampling with
// replacement). The conventions for degenerate designs are documented on
// Sample and in the implementation.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "kelp/table.h"

namespace kelp {

struct Design {
  std::optional<std::string> weight = std::nullopt;
  std::optional<std::string> strata = std::nullopt;
  std::optional<std::string> psu = std::nullopt;
};

// Per-domain estimates. by_level holds the domain value of each row (of the
// `by` column's type); est and se the estimates and standard errors.
class Estimate {
 public:
  Estimate(Column by_level, std::vector<double> est, std::vector<double> se,
           std::string by_name);
  const Column& by_level() const noexcept { return by_level_; }
  const std::vector<double>& est() const noexcept { return est_; }
  const std::vector<double>& se() const noexcept { return se_; }
  const std::string& by_name() const noexcept { return by_name_; }
  // Columns: by_level, est, se.
  Table to_table() const;

 private:
  Column by_level_;
  std::vector<double> est_;
  std::vector<double> se_;
  std::string by_name_;
};

struct EstimationArgs {
  std::string y;
  std::string by;
};

struct RatioArgs {
  std::string y;
  std::string x;
  std::string by;
};

class Sample;

class Estimation {
 public:
  explicit Estimation(const Sample& sample) : sample_(&sample) {}
  Estimate mean(const EstimationArgs& args) const;
  Estimate total(const EstimationArgs& args) const;
  Estimate proportion(const EstimationArgs& args) const;
  Estimate ratio(const RatioArgs& args) const;

 private:
  const Sample* sample_;
};

class Sample {
 public:
  // Checks that the design columns exist (ColumnNotFoundError otherwise).
  explicit Sample(Table data, Design design = {});
  const Table& data() const noexcept { return data_; }
  const Design& design() const noexcept { return design_; }
  Estimation estimation() const { return Estimation(*this); }

 private:
  Table data_;
  Design design_;
};

// The population parameter estimated directly from a sample.
enum class PopParam { MEAN, TOTAL, PROP, RATIO, MEDIAN };

// "Mean", "Total", "Proportion", "Ratio", "Median".
std::string_view to_string(PopParam p);
// Exact match on the value text; std::nullopt for any other text.
std::optional<PopParam> pop_param_from_string(std::string_view text);

}  // namespace kelp
