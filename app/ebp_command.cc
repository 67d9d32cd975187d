// kelp-sae ebp: empirical best predictors of poverty and inequality
// indicators from a unit sample and a census.
//
//   kelp-sae ebp --sample households.csv --pop census.csv.gz --y income --area district
//                --x hh_size,age --cat gender --indicators mean,headcount,gap,gini
//                --threshold-share 0.6 --n-mc 100 --n-reps 200 --seed 7 --wide-out map.csv
//
// The census is read with only the columns the model needs. Prints the
// report and optionally writes the predictions long (--out: one row per area
// and indicator) and wide (--wide-out: one row per area), the fixed effects
// (--fixed-out) and the whole result with its transformation, lambda, shift,
// poverty line and benchmark targets (--json). With --no-mse the bootstrap is skipped and the
// MSE, CV and intervals are left empty. Usage errors exit with status 2,
// estimation failures with one "error: " line and status 1.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/command_support.h"
#include "app/indicator_names.h"
#include "kelp/csv.h"
#include "kelp/table.h"
#include "kelp_sae/core/checks.h"
#include "kelp_sae/models/common.h"
#include "kelp_sae/models/unit.h"
#include "kelp_sae/results/containers.h"

namespace kelp_sae::cli {
namespace {

struct EbpArgs {
  std::string sample;
  std::string pop;
  std::string y;
  std::string area;
  std::string transformation = "boxcox";
  double lambda = 0.0;
  std::string lambda_bounds;
  double shift = 0.0;
  std::vector<std::string> indicators;
  double threshold = 0.6;
  double threshold_share = 0.6;
  int n_mc = 50;
  bool no_mse = false;
  bool drop_nulls = false;
  std::string weights;
  std::string pop_weights;
  std::string aggregate_to;
  std::string benchmark;
  std::string benchmark_type = "ratio";
  CommonArgs common;
  CLI::Option* lambda_option = nullptr;
  CLI::Option* bounds_option = nullptr;
  CLI::Option* indicators_option = nullptr;
  CLI::Option* share_option = nullptr;
  CLI::Option* pop_weights_option = nullptr;
  CLI::Option* aggregate_option = nullptr;
  CLI::Option* benchmark_option = nullptr;
};

// "LO,HI" with two numbers.
std::pair<double, double> parse_bounds(const std::string& text) {
  const std::size_t comma = text.find(',');
  try {
    if (comma != std::string::npos) {
      std::size_t used_lo = 0;
      std::size_t used_hi = 0;
      const std::string lo_text = text.substr(0, comma);
      const std::string hi_text = text.substr(comma + 1);
      const double lo = std::stod(lo_text, &used_lo);
      const double hi = std::stod(hi_text, &used_hi);
      if (used_lo == lo_text.size() && used_hi == hi_text.size() && std::isfinite(lo) &&
          std::isfinite(hi) && lo < hi) {
        return {lo, hi};
      }
    }
  } catch (const std::exception&) {
  }
  throw CLI::ValidationError("--lambda-bounds: must be LO,HI with finite numbers LO < HI; got '" +
                             text + "'.");
}

// "survey", or NAME=V,NAME=V,... with the indicator names of --indicators.
Benchmark parse_benchmark(const std::string& text) {
  if (models::to_lower(text) == "survey") return SurveyBenchmark{};
  std::vector<BenchmarkTarget> targets;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t end = std::min(text.find(',', begin), text.size());
    const std::string item = text.substr(begin, end - begin);
    begin = end + 1;
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos) {
      throw CLI::ValidationError("--benchmark: '" + item +
                                 "' is not NAME=VALUE; give survey, or national targets as "
                                 "mean=V,headcount=V,gap=V,severity=V.");
    }
    const std::string name = item.substr(0, eq);
    const std::string value = item.substr(eq + 1);
    const std::optional<Indicator> indicator = indicator_from_name(name);
    if (!indicator) {
      throw CLI::ValidationError("--benchmark: unknown indicator '" + name +
                                 "'; the targets are for mean, headcount, gap and severity.");
    }
    double v = 0.0;
    std::size_t used = 0;
    try {
      v = std::stod(value, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (value.empty() || used != value.size() || !std::isfinite(v)) {
      throw CLI::ValidationError("--benchmark: the target of '" + name +
                                 "' must be a finite number; got '" + value + "'.");
    }
    targets.push_back({.indicator = *indicator, .value = v});
  }
  return targets;
}

int run_ebp(const EbpArgs& a, Io& io) {
  const CommonArgs c = for_this_process(a.common, io);
  EbpOptions options{.transformation = a.transformation,
                     .transform_shift = a.shift,
                     .n_mc = a.n_mc,
                     .mse = !a.no_mse,
                     .drop_nulls = a.drop_nulls};
  if (a.lambda_option->count() > 0) options.boxcox_param = a.lambda;
  if (a.bounds_option->count() > 0) options.boxcox_bounds = parse_bounds(a.lambda_bounds);
  if (a.pop_weights_option->count() > 0) options.pop_weights = a.pop_weights;
  if (a.aggregate_option->count() > 0) options.aggregate_to = a.aggregate_to;
  if (a.benchmark_option->count() > 0) options.benchmark = parse_benchmark(a.benchmark);
  options.benchmark_type = a.benchmark_type;
  if (a.indicators_option->count() > 0) options.indicators = parse_indicators(a.indicators);
  if (!a.weights.empty()) options.weights = a.weights;
  if (a.share_option->count() > 0) {
    options.threshold = MedianShare{.share = a.threshold_share};
  } else {
    options.threshold = a.threshold;
  }

  apply_run_settings(c);
  OutputFiles outputs(
      c, {{.option = "--sample", .path = a.sample}, {.option = "--pop", .path = a.pop}});
  options.run = run_options(c, io);

  kelp::Table sample = read_input("--sample", a.sample);
  check_cat_references(c, sample, "--sample");
  const UnitLevel model(std::move(sample));
  std::vector<std::string> census_extra;
  if (options.pop_weights) census_extra.push_back(*options.pop_weights);
  if (options.aggregate_to) census_extra.push_back(*options.aggregate_to);
  // Moved into the model, which releases its columns as it builds the design.
  kelp::Table pop = read_census(a.pop, a.area, c, census_extra);
  doing_estimation(c, !a.no_mse);
  SAEResults result = [&] {
    try {
      return model.ebp(a.y, TermList(covariate_terms(c)), a.area, std::move(pop), options);
    } catch (const ArgumentError& e) {
      // A benchmark that does not fit the run is a usage error of its flag.
      if (e.argument() != "benchmark") throw;
      std::string message = e.what();
      for (const auto& [from, to] :
           {std::pair<std::string, std::string>{"ebp: benchmark ", "ebp: --benchmark "},
            {"(weights)", "(--weights)"}}) {
        const std::size_t at = message.find(from);
        if (at != std::string::npos) message.replace(at, from.size(), to);
      }
      throw CLI::ValidationError(message);
    }
  }();
  return emit_result(result, c, {.area_column = a.area}, outputs, io);
}

CommandAction attach_ebp(CLI::App& app) {
  auto args = std::make_shared<EbpArgs>();
  EbpArgs& a = *args;

  // Data.
  add_input_file_option(app, "--sample", a.sample, "Unit records of the sample (CSV)")->required();
  add_input_file_option(app, "--pop", a.pop, "Census: unit records of the population (CSV)")
      ->required();
  a.pop_weights_option =
      app.add_option("--pop-weights", a.pop_weights,
                     "Census column of population weights: persons each record stands for")
          ->type_name("COL");
  a.aggregate_option =
      app.add_option("--aggregate-to", a.aggregate_to,
                     "Census column of a higher level (region): estimates for its values too")
          ->type_name("COL");

  a.benchmark_option =
      app.add_option("--benchmark", a.benchmark,
                     "National targets of the mean and poverty measures: survey (the weighted "
                     "direct estimates of the sample; needs --weights) or mean=V,headcount=V,...")
          ->type_name("TARGETS");
  app.add_option("--benchmark-type", a.benchmark_type,
                 "How --benchmark reaches its targets: ratio (scale every estimate) or raking "
                 "(shift it) (default ratio)")
      ->check(CLI::IsMember({"ratio", "raking"}, CLI::ignore_case));

  // The model.
  app.add_option("--y", a.y, "Response column of the sample (untransformed)")
      ->type_name("COL")
      ->required();
  add_covariate_options(app, a.common);
  app.add_option("--area", a.area, "Area identifier column")->type_name("COL")->required();
  app.add_option("--transformation", a.transformation,
                 "Response transformation: boxcox, log or none (default boxcox)")
      ->check(CLI::IsMember({"boxcox", "log", "none", "Box-Cox", "Log", "None"}, CLI::ignore_case));
  a.lambda_option =
      app.add_option("--lambda", a.lambda, "Fixed Box-Cox lambda (default: estimated)")
          ->type_name("X");
  a.bounds_option = app.add_option("--lambda-bounds", a.lambda_bounds,
                                   "Search interval of the Box-Cox lambda (default -2,2)")
                        ->type_name("LO,HI");
  app.add_option("--shift", a.shift,
                 "Added to the response before transforming, subtracted after (default 0)")
      ->type_name("X");

  // Indicators.
  a.indicators_option = app.add_option("--indicators", a.indicators,
                                       std::string("Indicators: ") + kIndicatorNames +
                                           " or their display texts (default headcount,gap)")
                            ->type_name("LIST")
                            ->delimiter(',');
  auto* threshold =
      app.add_option("--threshold", a.threshold, "Poverty line (default 0.6)")->type_name("X");
  a.share_option =
      add_positive_number_option(app, "--threshold-share", a.threshold_share,
                                 "Poverty line as this share of the sample's median response "
                                 "(0.6 is the usual line)");
  a.share_option->excludes(threshold);

  // Monte Carlo and bootstrap.
  add_whole_number_option(app, "--n-mc", a.n_mc, 1, kMaxReplicates,
                          "Monte Carlo populations per EBP (default 50)");
  app.add_flag("--no-mse", a.no_mse, "Point estimates only: skip the bootstrap MSE");
  app.add_flag("--drop-nulls", a.drop_nulls, "Drop rows with missing values");
  app.add_option("--weights", a.weights,
                 "Survey design weight column of the sample (pseudo-EBP; weighted median for "
                 "--threshold-share)")
      ->type_name("COL");
  // The model's own defaults of the run settings.
  a.common.n_reps = EbpOptions::kRunDefaults.n_reps;
  add_fit_options(app, a.common, EbpOptions::kRunDefaults.max_iter);
  add_output_options(app, a.common);
  app.add_option("--wide-out", a.common.wide_out,
                 "Write the predictions one row per area: each indicator and its MSE (CSV)")
      ->type_name("FILE");

  return [args](Io& io) { return run_ebp(*args, io); };
}

}  // namespace

CommandDefinition make_ebp_command() {
  return {.name = "ebp",
          .description =
              "Empirical best predictors of poverty and inequality indicators (nested-error "
              "model on a transformed response, bootstrap MSE)",
          .attach = attach_ebp};
}

}  // namespace kelp_sae::cli
