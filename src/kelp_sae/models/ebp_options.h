// Options of UnitLevel::ebp: the transformation, the indicators and their
// poverty line, the Monte Carlo and the bootstrap.
//
//   model.ebp("income", {"age", kelp::Cat{"gender"}}, "district", census,
//             {.transformation = "log",
//              .indicators = {Indicator::MEAN, "Poverty Gap",
//                             NamedIndicator{"p90", my_p90}},
//              .threshold = PovertyLine([](std::span<const double> y) { return 0.6 * median(y); }),
//              .n_mc = 100, .run = {.n_reps = 200, .rstate = 7}});
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "kelp_sae/core/enumerations.h"
#include "kelp_sae/models/run_options.h"

namespace kelp_sae {

// A caller-supplied indicator: a function of one area's values (data scale,
// unit order) and the poverty line. It is called concurrently for different
// areas, so it must be thread-safe; an exception it throws ends the call with
// that exception. Without a name it is
// called "custom_<i>", i the number of indicators resolved before it.
struct NamedIndicator {
  std::string name;
  std::function<double(std::span<const double> values, double threshold)> function;
};

// One requested indicator: a built-in, its display text ("Poverty Gap"), or
// a caller-supplied function.
using IndicatorRequest = std::variant<Indicator, std::string, NamedIndicator>;

// One indicator request or a list of them.
class IndicatorList {
 public:
  IndicatorList(Indicator i) : entries_{i} {}
  IndicatorList(const char* text) : entries_{std::string(text)} {}
  IndicatorList(std::string text) : entries_{std::move(text)} {}
  IndicatorList(NamedIndicator f) : entries_{std::move(f)} {}
  IndicatorList(std::initializer_list<IndicatorRequest> entries) : entries_(entries) {}
  IndicatorList(std::vector<IndicatorRequest> entries) : entries_(std::move(entries)) {}
  const std::vector<IndicatorRequest>& entries() const noexcept { return entries_; }

 private:
  std::vector<IndicatorRequest> entries_;
};

// The poverty line as a share of the sample's median response (data scale,
// before the shift): the median of type 7 without survey weights, the
// weighted median (the smallest value whose cumulative weight share reaches
// one half) with them.
struct MedianShare {
  double share = 0.6;
};

// The poverty line z: a number, a share of the sample median, or a function
// of the sample response on the data scale (before the shift), sorted by
// area.
class PovertyLine {
 public:
  using Function = std::function<double(std::span<const double> y)>;
  PovertyLine(double z) : value_(z) {}
  PovertyLine(MedianShare s) : value_(s) {}
  PovertyLine(Function f) : value_(std::move(f)) {}
  template <typename F>
  requires std::is_invocable_r_v<double, F, std::span<const double>> PovertyLine(F f)
      : value_(Function(std::move(f))) {}
  // The share, when the line is a share of the sample median.
  std::optional<double> median_share() const {
    if (const auto* s = std::get_if<MedianShare>(&value_)) return s->share;
    return std::nullopt;
  }
  // z for the sample response `y`, given `median` of it (used by a
  // MedianShare only).
  double resolve(std::span<const double> y, double median) const {
    if (const auto* z = std::get_if<double>(&value_)) return *z;
    if (const auto* s = std::get_if<MedianShare>(&value_)) return s->share * median;
    return std::get<Function>(value_)(y);
  }

 private:
  std::variant<double, MedianShare, Function> value_;
};

// One national target of a benchmark: the value to which the
// population-weighted national average of the indicator's estimates is
// brought.
struct BenchmarkTarget {
  Indicator indicator = Indicator::MEAN;
  double value = 0.0;
};

// Targets taken from the survey: for every requested mean and FGT measure,
// its weighted direct estimate over the whole sample (sum w y / sum w, and
// the FGT measures at the run's poverty line). Needs survey weights.
struct SurveyBenchmark {};

// National targets of the indicators that add up over people (mean,
// headcount, gap, severity): explicit values or the survey's. Default: no
// benchmark.
//
//   .benchmark = {{Indicator::MEAN, 1250.0}, {Indicator::POVERTY_HEADCOUNT, 0.21}}
//   .benchmark = SurveyBenchmark{}
class Benchmark {
 public:
  Benchmark() = default;
  Benchmark(std::initializer_list<BenchmarkTarget> targets)
      : value_(std::vector<BenchmarkTarget>(targets)) {}
  Benchmark(std::vector<BenchmarkTarget> targets) : value_(std::move(targets)) {}
  Benchmark(SurveyBenchmark s) : value_(s) {}
  // Whether a benchmark was asked for.
  bool requested() const { return !std::holds_alternative<std::monostate>(value_); }
  bool from_survey() const { return std::holds_alternative<SurveyBenchmark>(value_); }
  // The explicit targets (empty for none or the survey's).
  std::span<const BenchmarkTarget> targets() const {
    if (const auto* t = std::get_if<std::vector<BenchmarkTarget>>(&value_)) return *t;
    return {};
  }

 private:
  std::variant<std::monostate, std::vector<BenchmarkTarget>, SurveyBenchmark> value_;
};

struct EbpOptions {
  // "boxcox", "log" or "none" (or "Box-Cox", "Log", "None"), in any case.
  std::string transformation = "boxcox";
  // Fixed Box-Cox lambda; none estimates it by the REML profile likelihood
  // over boxcox_bounds.
  std::optional<double> boxcox_param = std::nullopt;
  std::pair<double, double> boxcox_bounds = {-2.0, 2.0};
  // Added to the response before transforming, subtracted after the
  // back-transformation.
  double transform_shift = 0.0;
  IndicatorList indicators = {Indicator::POVERTY_HEADCOUNT, Indicator::POVERTY_GAP};
  PovertyLine threshold = 0.6;
  // Monte Carlo populations per EBP.
  int n_mc = 50;
  // Run the bootstrap MSE; without it MSE, CV and intervals are NaN (not
  // estimated).
  bool mse = true;
  bool drop_nulls = false;
  // Column of the sample's survey design weights. With it the fit is the
  // pseudo-EBP (Guadarrama, Molina and Rao 2018): variance components from
  // the unweighted REML fit, beta by You and Rao's weighted estimating
  // equation, area effects shrunk by gamma_aw = sigma_u^2 / (sigma_u^2 +
  // sigma_e^2 sum w^2 / (sum w)^2); a MedianShare line uses the weighted
  // median. Needs a fixed lambda under Box-Cox.
  std::optional<std::string> weights = std::nullopt;
  // Census column of population weights: the number of persons (or any
  // non-negative weight) each record stands for. Every indicator is then
  // that of the weighted population, in the Monte Carlo and in the
  // bootstrap; records of weight 0 count for nothing. Not with
  // caller-supplied indicators (functions of the values alone).
  std::optional<std::string> pop_weights = std::nullopt;
  // Census column naming a higher level (region) of every area. Each
  // indicator of a region is computed from the same synthetic populations
  // over all its census records (weighted with pop_weights), its MSE from the
  // same bootstrap replicates; the region rows (level = this column's name)
  // follow the area rows (level = the area column's name). An area whose
  // records carry two regions is an error.
  std::optional<std::string> aggregate_to = std::nullopt;
  // National targets of the mean and FGT measures. The area estimates of each
  // benchmarked indicator are brought to its target (their
  // population-weighted national average, persons counted by pop_weights,
  // equals it), regions recomputed from them; the bootstrap benchmarks every
  // replicate to its own national truth, so the MSE is that of the
  // benchmarked estimator. Each target must be finite and for a requested
  // indicator; a headcount lies in [0, 1], a gap or severity is at least 0.
  Benchmark benchmark = {};
  // "ratio" (each estimate times target / national average) or "raking"
  // (each estimate plus target - national average), in any case.
  std::string benchmark_type = "ratio";
  // Bootstrap and optimiser settings. Unset, n_reps is 50 and max_iter 500.
  // No state draws a fresh seed; an integer is the seed itself. The seed
  // also keys the Monte Carlo, so it is used without the bootstrap too.
  RunOptions run = {};

  static constexpr RunDefaults kRunDefaults{.n_reps = 50, .max_iter = 500};
};

}  // namespace kelp_sae
