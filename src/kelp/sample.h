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
// z_hi the PSU totals of z in stratum h, zbar_h their mean over the n_h PSUs
// of the stratum. Linearised variables, with W_d = sum(w d):
//   mean        z = w d (y - est) / W_d
//   total       z = w d y
//   ratio       z = w d (y - est x) / sum(w d x)
// Domains are handled unconditionally: z is zero outside the domain, and
// every PSU of the sample counts in n_h whether or not it holds domain units.
// Without a design every unit is its own PSU in one stratum with weight 1
// (simple random sampling with replacement, so the SE of a mean is sd/sqrt(n));
// with weights but no PSU column every unit is its own PSU; with PSUs but no
// strata all PSUs form one stratum. PSU labels are nested in strata: the same
// label in two strata names two PSUs.
//
// Conventions for degenerate designs and data:
//   - A stratum with a single PSU has its PSU total centred at the mean of
//     the PSU totals of all strata (sum over all PSUs / number of PSUs) and
//     enters with factor 1 instead of n_h/(n_h-1). With a single PSU in the
//     whole sample the variance cannot be estimated and se is NaN.
//   - Domains are the distinct non-null values of `by`, ascending. Rows with
//     a null `by` belong to no domain; they still count as units and PSUs in
//     the variance, and their analysis values are not read.
//   - Weights must be finite and non-negative, with no nulls; strata and PSU
//     columns must have no nulls (std::invalid_argument from the Sample
//     constructor, naming the column and the number of rows).
//   - A null, NaN or infinite y (or x for ratio) in a row of some domain:
//     std::invalid_argument naming the column and the count.
//   - A domain whose weights sum to zero: std::invalid_argument naming the
//     domain (for every estimator); ratio with a zero weighted denominator
//     total in a domain: std::invalid_argument naming the domain.
//   - proportion with a value other than 0 or 1: std::invalid_argument.
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
  Estimate(Column by_level, std::vector<double> est, std::vector<double> se, std::string by_name);
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
  // Checks that the design columns exist (ColumnNotFoundError otherwise) and
  // hold valid values (std::invalid_argument, see the conventions above).
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
