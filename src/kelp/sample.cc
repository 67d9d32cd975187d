#include "kelp/sample.h"
#include "kelp/errors.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <unordered_map>

namespace kelp {
namespace {

std::string count_text(std::size_t n, std::string_view noun) {
  return fmt::format("{} {}{}", n, noun, n == 1 ? "" : "s");
}

// The design in index form: the weight of every row, the PSU of every row
// (0 .. P-1; PSU labels are nested within strata), the stratum of every PSU
// and the number of PSUs of every stratum.
struct DesignIndex {
  std::vector<double> weight;
  std::vector<std::size_t> psu_of_row;
  std::vector<std::size_t> stratum_of_psu;
  std::vector<std::size_t> psus_in_stratum;
};

const Column& numeric_column(const Table& data, const std::string& name, std::string_view role) {
  const Column& col = data.column(name);
  if (!col.is_numeric()) {
    throw std::invalid_argument(
        fmt::format("{} column '{}' must be numeric; it holds texts", role, printable(name)));
  }
  return col;
}

std::vector<double> checked_weights(const Table& data, const std::optional<std::string>& name) {
  if (!name) return std::vector<double>(data.num_rows(), 1.0);
  const std::vector<double> w = numeric_column(data, *name, "weight").to_doubles();
  std::size_t bad = 0;
  for (double v : w) bad += !(std::isfinite(v) && v >= 0.0);
  if (bad > 0) {
    throw std::invalid_argument(
        fmt::format("weight column '{}' has {} with a missing, negative or non-finite weight",
                    printable(*name), count_text(bad, "row")));
  }
  return w;
}

// Group number of every row of a design column (strata or PSU); no nulls allowed.
std::vector<std::size_t> group_ids(const Table& data, const std::string& name,
                                   std::string_view role) {
  const Column& col = data.column(name);
  if (col.null_count() > 0) {
    throw std::invalid_argument(fmt::format("{} column '{}' has {}", role, printable(name),
                                            count_text(col.null_count(), "missing value")));
  }
  std::vector<std::size_t> ids(data.num_rows());
  const auto groups = data.group_by(name);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (std::size_t row : groups[g].rows) ids[row] = g;
  }
  return ids;
}

void check_design(const Table& data, const Design& design) {
  (void)checked_weights(data, design.weight);
  if (design.strata) (void)group_ids(data, *design.strata, "strata");
  if (design.psu) (void)group_ids(data, *design.psu, "psu");
}

DesignIndex index_design(const Table& data, const Design& design) {
  const std::size_t n = data.num_rows();
  DesignIndex d;
  d.weight = checked_weights(data, design.weight);
  const std::vector<std::size_t> stratum =
      design.strata ? group_ids(data, *design.strata, "strata") : std::vector<std::size_t>(n, 0);
  d.psu_of_row.resize(n);
  if (design.psu) {
    // A PSU is a (stratum, PSU label) pair: the same label in two strata names
    // two different PSUs.
    const std::vector<std::size_t> label = group_ids(data, *design.psu, "psu");
    std::unordered_map<std::uint64_t, std::size_t> index;
    const std::uint64_t n_labels = n + 1;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t key = static_cast<std::uint64_t>(stratum[i]) * n_labels + label[i];
      auto [it, inserted] = index.try_emplace(key, d.stratum_of_psu.size());
      if (inserted) d.stratum_of_psu.push_back(stratum[i]);
      d.psu_of_row[i] = it->second;
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) d.psu_of_row[i] = i;
    d.stratum_of_psu = stratum;
  }
  std::size_t n_strata = 0;
  for (std::size_t h : d.stratum_of_psu) n_strata = std::max(n_strata, h + 1);
  d.psus_in_stratum.assign(n_strata, 0);
  for (std::size_t h : d.stratum_of_psu) ++d.psus_in_stratum[h];
  return d;
}

// Taylor-linearised variance of an estimator whose linearised variable z is
// nonzero only on the given rows (a domain): the PSU totals Z_hj of z are
// compared within strata, with-replacement approximation,
//   var = sum_h n_h/(n_h-1) sum_j (Z_hj - Zbar_h)^2,
// where PSUs holding no row of the domain have Z_hj = 0 and still count in n_h.
// A stratum with a single PSU has its total centred at the mean of all PSU
// totals of the sample, with factor 1. One PSU in the whole sample leaves the
// variance inestimable (NaN).
class LinearisedVariance {
 public:
  explicit LinearisedVariance(const DesignIndex& design)
      : d_(design),
        psu_total_(design.stratum_of_psu.size(), 0.0),
        is_touched_(design.stratum_of_psu.size(), false),
        stratum_total_(design.psus_in_stratum.size(), 0.0),
        touched_in_stratum_(design.psus_in_stratum.size(), 0) {
    for (std::size_t n_h : design.psus_in_stratum) lonely_strata_ += n_h == 1;
  }

  void add(std::size_t row, double z) {
    const std::size_t p = d_.psu_of_row[row];
    if (!is_touched_[p]) {
      is_touched_[p] = true;
      touched_.push_back(p);
    }
    psu_total_[p] += z;
  }

  // The variance of the accumulated z; resets the accumulator. Work is
  // proportional to the rows added, not to the sample size.
  double take_variance() {
    const std::size_t n_psu = psu_total_.size();
    double grand = 0.0;
    std::vector<std::size_t> strata;  // touched strata with two or more PSUs
    for (std::size_t p : touched_) {
      const std::size_t h = d_.stratum_of_psu[p];
      grand += psu_total_[p];
      stratum_total_[h] += psu_total_[p];
      if (d_.psus_in_stratum[h] > 1 && touched_in_stratum_[h]++ == 0) strata.push_back(h);
    }
    grand /= static_cast<double>(n_psu);

    double var = 0.0;
    std::size_t touched_lonely = 0;
    for (std::size_t p : touched_) {
      const std::size_t h = d_.stratum_of_psu[p];
      const double n_h = static_cast<double>(d_.psus_in_stratum[h]);
      if (d_.psus_in_stratum[h] == 1) {
        const double dev = psu_total_[p] - grand;
        var += dev * dev;
        ++touched_lonely;
      } else {
        const double dev = psu_total_[p] - stratum_total_[h] / n_h;
        var += n_h / (n_h - 1.0) * dev * dev;
      }
    }
    // PSUs without rows of the domain have total 0: deviation -mean_h.
    for (std::size_t h : strata) {
      const double n_h = static_cast<double>(d_.psus_in_stratum[h]);
      const double mean_h = stratum_total_[h] / n_h;
      const double untouched = n_h - static_cast<double>(touched_in_stratum_[h]);
      var += n_h / (n_h - 1.0) * untouched * mean_h * mean_h;
    }
    var += static_cast<double>(lonely_strata_ - touched_lonely) * grand * grand;

    for (std::size_t p : touched_) {
      const std::size_t h = d_.stratum_of_psu[p];
      stratum_total_[h] = 0.0;
      touched_in_stratum_[h] = 0;
      psu_total_[p] = 0.0;
      is_touched_[p] = false;
    }
    touched_.clear();
    if (n_psu < 2) return std::numeric_limits<double>::quiet_NaN();
    return var;
  }

 private:
  const DesignIndex& d_;
  std::vector<double> psu_total_;
  std::vector<bool> is_touched_;
  std::vector<double> stratum_total_;
  std::vector<std::size_t> touched_in_stratum_;
  std::vector<std::size_t> touched_;
  std::size_t lonely_strata_ = 0;
};

enum class Kind { Mean, Total, Proportion, Ratio };

// Values of an analysis variable; every row inside some domain must hold a
// finite value.
std::vector<double> analysis_values(const Table& data, const std::string& name, const Column& by) {
  const std::vector<double> v = numeric_column(data, name, "analysis").to_doubles();
  std::size_t bad = 0;
  for (std::size_t i = 0; i < v.size(); ++i) bad += !by.is_null(i) && !std::isfinite(v[i]);
  if (bad > 0) {
    throw std::invalid_argument(fmt::format("column '{}' has {} (null, NaN or infinite)",
                                            printable(name), count_text(bad, "missing value")));
  }
  return v;
}

Estimate estimate(const Sample& sample, Kind kind, const std::string& y_name,
                  const std::string* x_name, const std::string& by_name) {
  const Table& data = sample.data();
  const Column& by = data.column(by_name);
  const std::vector<double> y = analysis_values(data, y_name, by);
  std::vector<double> x;
  if (x_name != nullptr) x = analysis_values(data, *x_name, by);
  if (kind == Kind::Proportion) {
    std::size_t bad = 0;
    for (std::size_t i = 0; i < y.size(); ++i) bad += !by.is_null(i) && y[i] != 0.0 && y[i] != 1.0;
    if (bad > 0) {
      throw std::invalid_argument(
          fmt::format("a proportion needs a 0/1 variable; column '{}' has {} other than 0 and 1",
                      printable(y_name), count_text(bad, "value")));
    }
  }

  const DesignIndex design = index_design(data, sample.design());
  const std::vector<double>& w = design.weight;
  const auto domains = data.group_by(by_name);
  LinearisedVariance variance(design);
  std::vector<std::size_t> first_rows;
  std::vector<double> est;
  std::vector<double> se;
  for (const Table::Group& g : domains) {
    const std::string level = value_to_text(g.key);
    double sum_w = 0.0;
    double sum_wy = 0.0;
    double sum_wx = 0.0;
    for (std::size_t i : g.rows) {
      sum_w += w[i];
      sum_wy += w[i] * y[i];
      if (kind == Kind::Ratio) sum_wx += w[i] * x[i];
    }
    if (sum_w == 0.0) {
      throw std::invalid_argument(fmt::format("domain '{}' of column '{}' has zero total weight",
                                              printable(level), printable(by_name)));
    }
    double e = 0.0;
    switch (kind) {
      case Kind::Mean:
      case Kind::Proportion:
        e = sum_wy / sum_w;
        for (std::size_t i : g.rows) variance.add(i, w[i] * (y[i] - e) / sum_w);
        break;
      case Kind::Total:
        e = sum_wy;
        for (std::size_t i : g.rows) variance.add(i, w[i] * y[i]);
        break;
      case Kind::Ratio:
        if (sum_wx == 0.0) {
          throw std::invalid_argument(
              fmt::format("the denominator '{}' has a zero weighted total in domain '{}' of "
                          "column '{}'",
                          printable(*x_name), printable(level), printable(by_name)));
        }
        e = sum_wy / sum_wx;
        for (std::size_t i : g.rows) variance.add(i, w[i] * (y[i] - e * x[i]) / sum_wx);
        break;
    }
    first_rows.push_back(g.rows.front());
    est.push_back(e);
    se.push_back(std::sqrt(variance.take_variance()));
  }
  return Estimate(by.take(first_rows), std::move(est), std::move(se), by_name);
}

}  // namespace

Estimate::Estimate(Column by_level, std::vector<double> est, std::vector<double> se,
                   std::string by_name)
    : by_level_(std::move(by_level)),
      est_(std::move(est)),
      se_(std::move(se)),
      by_name_(std::move(by_name)) {
  if (est_.size() != by_level_.size() || se_.size() != by_level_.size()) {
    throw std::invalid_argument(
        fmt::format("estimate with {} domain levels, {} estimates and {} standard errors",
                    by_level_.size(), est_.size(), se_.size()));
  }
}

Table Estimate::to_table() const {
  return Table({{"by_level", by_level_}, {"est", Column(est_)}, {"se", Column(se_)}});
}

Sample::Sample(Table data, Design design) : data_(std::move(data)), design_(std::move(design)) {
  check_design(data_, design_);
}

Estimate Estimation::mean(const EstimationArgs& args) const {
  return estimate(*sample_, Kind::Mean, args.y, nullptr, args.by);
}

Estimate Estimation::total(const EstimationArgs& args) const {
  return estimate(*sample_, Kind::Total, args.y, nullptr, args.by);
}

Estimate Estimation::proportion(const EstimationArgs& args) const {
  return estimate(*sample_, Kind::Proportion, args.y, nullptr, args.by);
}

Estimate Estimation::ratio(const RatioArgs& args) const {
  return estimate(*sample_, Kind::Ratio, args.y, &args.x, args.by);
}

std::string_view to_string(PopParam p) {
  switch (p) {
    case PopParam::MEAN:
      return "Mean";
    case PopParam::TOTAL:
      return "Total";
    case PopParam::PROP:
      return "Proportion";
    case PopParam::RATIO:
      return "Ratio";
    case PopParam::MEDIAN:
      return "Median";
  }
  return "";
}

std::optional<PopParam> pop_param_from_string(std::string_view text) {
  for (PopParam p :
       {PopParam::MEAN, PopParam::TOTAL, PopParam::PROP, PopParam::RATIO, PopParam::MEDIAN}) {
    if (to_string(p) == text) return p;
  }
  return std::nullopt;
}

}  // namespace kelp
