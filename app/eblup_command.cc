// kelp-sae eblup: unit-level EBLUP of area means from CSV files.
//
//   kelp-sae eblup --sample units.csv --pop census.csv --y y --area area --x x1,x2
//   kelp-sae eblup --sample units.csv --pop area_means.csv --pop-size N --y y --area area
//                  --x x1,x2 --cat sector --mse Bootstrap --n-reps 500 --seed 7
//
// The population is either unit records (a census: area means and sizes are
// computed from its rows) or, with --pop-size, one row per area holding the
// covariate means under the covariate names and the population size.
// Prints the report on the output stream and optionally writes the
// predictions (--out), the fixed effects (--fixed-out) and the whole result
// (--json). Option combinations that cannot work are usage errors (status
// 2); failures of the estimation are reported as one "error: " line
// (status 1).
#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/command_support.h"
#include "kelp/table.h"
#include "kelp_sae/models/common.h"
#include "kelp_sae/models/unit.h"
#include "kelp_sae/results/containers.h"

namespace kelp_sae::cli {
namespace {

struct EblupArgs {
  std::string sample;
  std::string pop;
  std::string y;
  std::string area;
  std::string pop_size;
  std::string method = "REML";
  std::string mse = "Analytical";
  bool no_intercept = false;
  bool drop_nulls = false;
  CommonArgs common;
  CLI::Option* pop_size_option = nullptr;
};

int run_eblup(const EblupArgs& a, Io& io) {
  if (a.no_intercept && models::to_lower(a.mse) == "bootstrap") {
    throw CLI::ValidationError(
        "--no-intercept cannot be combined with --mse Bootstrap: the bootstrap refits always "
        "include the intercept.");
  }

  const CommonArgs c = for_this_process(a.common, io);
  apply_run_settings(c);
  OutputFiles outputs(
      c, {{.option = "--sample", .path = a.sample}, {.option = "--pop", .path = a.pop}});

  EblupOptions options{.method = a.method,
                       .intercept = !a.no_intercept,
                       .mse = a.mse,
                       .drop_nulls = a.drop_nulls,
                       .run = run_options(c, io)};
  if (a.pop_size_option->count() > 0) options.pop_size = a.pop_size;

  kelp::Table sample = read_input("--sample", a.sample);
  check_cat_references(c, sample, "--sample");
  const UnitLevel model(std::move(sample));
  const kelp::Table pop =
      read_census(a.pop, a.area, c,
                  a.pop_size_option->count() > 0 ? std::vector<std::string>{a.pop_size}
                                                 : std::vector<std::string>{});
  doing_estimation(c, models::to_lower(a.mse) == "bootstrap");
  SAEResults result = model.eblup(a.y, TermList(covariate_terms(c)), a.area, pop, options);
  return emit_result(result, c, {.area_column = a.area}, outputs, io);
}

CommandAction attach_eblup(CLI::App& app) {
  auto args = std::make_shared<EblupArgs>();
  EblupArgs& a = *args;

  // Data.
  add_input_file_option(app, "--sample", a.sample, "Unit records of the sample (CSV)")->required();
  add_input_file_option(app, "--pop", a.pop,
                        "Population: unit records, or one row per area with --pop-size")
      ->required();
  a.pop_size_option =
      app.add_option("--pop-size", a.pop_size,
                     "Population-size column; the population then has one row per area")
          ->type_name("COL");

  // The model.
  app.add_option("--y", a.y, "Response column of the sample")->type_name("COL")->required();
  add_covariate_options(app, a.common);
  app.add_option("--area", a.area, "Area identifier column")->type_name("COL")->required();
  app.add_option("--method", a.method, "Variance estimation method (default REML)")
      ->check(CLI::IsMember({"REML", "ML"}, CLI::ignore_case));
  app.add_option("--mse", a.mse, "MSE method (default Analytical)")
      ->check(CLI::IsMember({"Analytical", "Bootstrap"}, CLI::ignore_case));
  app.add_flag("--no-intercept", a.no_intercept, "Fit without a constant column");
  app.add_flag("--drop-nulls", a.drop_nulls, "Drop rows with missing values");
  // The model's own defaults of the run settings.
  a.common.n_reps = EblupOptions::kRunDefaults.n_reps;
  add_fit_options(app, a.common, EblupOptions::kRunDefaults.max_iter);
  add_output_options(app, a.common);

  return [args](Io& io) { return run_eblup(*args, io); };
}

}  // namespace

CommandDefinition make_eblup_command() {
  return {.name = "eblup",
          .description =
              "Unit-level EBLUP of area means (nested-error model, analytical or "
              "bootstrap MSE)",
          .attach = attach_eblup};
}

}  // namespace kelp_sae::cli
