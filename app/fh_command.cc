// kelp-sae fh: Fay-Herriot estimation from CSV files.
//
// Area-table mode:  kelp-sae fh --data areas.csv --y y --area area --variance var --x x1,x2
// Raw-sample mode:  kelp-sae fh --sample units.csv --weight w --strata h --psu psu
//                       --pop-data areas.csv --y income --area area --x x1 --cat region:West
//
// Prints the report on the output stream and optionally writes the
// predictions (--out), the fixed effects (--fixed-out) and the whole result
// (--json). Option combinations that cannot work are usage errors (status 2);
// failures of the estimation are reported as one "error: " line (status 1).
#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/command_support.h"
#include "kelp/sample.h"
#include "kelp/table.h"
#include "kelp_sae/models/area.h"
#include "kelp_sae/models/common.h"
#include "kelp_sae/results/containers.h"

namespace kelp_sae::cli {
namespace {

struct FhArgs {
  // Area-table mode.
  std::string data;
  std::string variance;
  // Raw-sample mode.
  std::string sample;
  std::string weight;
  std::string strata;
  std::string psu;
  std::string pop_data;
  std::string statistic = "Mean";
  std::string ratio_denom;
  // Both modes.
  std::string y;
  std::string area;
  std::string method = "REML";
  std::string mse = "prasad_rao";
  bool keep_nulls = false;
  CommonArgs common;
};

struct FhOptionHandles {
  CLI::Option* data = nullptr;
  CLI::Option* sample = nullptr;
  CLI::Option* statistic = nullptr;
  CLI::Option* ratio_denom = nullptr;
};

std::optional<std::string> non_empty(const std::string& s) {
  return s.empty() ? std::nullopt : std::optional<std::string>(s);
}

int run_fh(const FhArgs& a, const FhOptionHandles& h, Io& io) {
  const bool area_table_mode = h.data->count() > 0;
  if (area_table_mode == (h.sample->count() > 0)) {
    throw CLI::ValidationError(
        "Give either --data FILE (area-table mode) or --sample FILE (raw-sample mode).");
  }
  if (h.ratio_denom->count() > 0 && a.statistic != "Ratio") {
    throw CLI::ValidationError("--ratio-denom applies only with --statistic Ratio.");
  }
  if (a.statistic == "Ratio" && h.ratio_denom->count() == 0) {
    throw CLI::ValidationError("--statistic Ratio needs --ratio-denom COL.");
  }

  const CommonArgs c = for_this_process(a.common, io);
  apply_run_settings(c);
  OutputFiles outputs(c, {{.option = "--data", .path = a.data},
                          {.option = "--sample", .path = a.sample},
                          {.option = "--pop-data", .path = a.pop_data}});

  FhOptions options{
      .method = a.method, .mse = a.mse, .drop_nulls = !a.keep_nulls, .run = run_options(c, io)};

  std::optional<AreaLevel> model;
  if (area_table_mode) {
    options.variance = a.variance;
    kelp::Table data = read_input("--data", a.data);
    check_cat_references(c, data, "--data");
    model.emplace(std::move(data));
  } else {
    options.pop_data = read_input("--pop-data", a.pop_data);
    check_cat_references(c, *options.pop_data, "--pop-data");
    options.statistic = a.statistic;
    options.ratio_denom = non_empty(a.ratio_denom);
    model.emplace(kelp::Sample(
        read_input("--sample", a.sample),
        {.weight = non_empty(a.weight), .strata = non_empty(a.strata), .psu = non_empty(a.psu)}));
  }

  doing_estimation(c, models::to_lower(a.mse) == "bootstrap");
  SAEResults result = model->fh(a.y, TermList(covariate_terms(c)), a.area, options);
  return emit_result(result, c, {.area_column = a.area}, outputs, io);
}

CommandAction attach_fh(CLI::App& app) {
  auto args = std::make_shared<FhArgs>();
  auto handles = std::make_shared<FhOptionHandles>();
  FhArgs& a = *args;
  FhOptionHandles& h = *handles;

  // Area-table mode.
  h.data = add_input_file_option(app, "--data", a.data, "Area table (CSV): one row per area")
               ->group("Area-table mode");
  CLI::Option* variance =
      app.add_option("--variance", a.variance, "Sampling-variance column of the area table")
          ->type_name("COL")
          ->group("Area-table mode");
  h.data->needs(variance);

  // Raw-sample mode.
  h.sample =
      add_input_file_option(app, "--sample", a.sample, "Unit records of a survey sample (CSV)")
          ->group("Raw-sample mode");
  CLI::Option* pop_data = add_input_file_option(app, "--pop-data", a.pop_data,
                                                "Area covariate table (CSV) keyed by the area")
                              ->group("Raw-sample mode");
  CLI::Option* weight = app.add_option("--weight", a.weight, "Sampling weight column")
                            ->type_name("COL")
                            ->group("Raw-sample mode");
  CLI::Option* strata = app.add_option("--strata", a.strata, "Stratum column")
                            ->type_name("COL")
                            ->group("Raw-sample mode");
  CLI::Option* psu = app.add_option("--psu", a.psu, "Cluster (PSU) column")
                         ->type_name("COL")
                         ->group("Raw-sample mode");
  h.statistic =
      app.add_option("--statistic", a.statistic, "Direct estimator (default Mean)")
          ->transform(CLI::IsMember({"Mean", "Total", "Proportion", "Ratio"}, CLI::ignore_case))
          ->group("Raw-sample mode");
  h.ratio_denom = app.add_option("--ratio-denom", a.ratio_denom, "Denominator of the Ratio")
                      ->type_name("COL")
                      ->group("Raw-sample mode");
  h.sample->needs(pop_data);
  h.sample->excludes(variance);
  for (CLI::Option* option : {pop_data, weight, strata, psu, h.statistic, h.ratio_denom}) {
    option->needs(h.sample);
  }
  variance->needs(h.data);

  // The model.
  app.add_option("--y", a.y, "Response: direct-estimate column, or the sample variable")
      ->type_name("COL")
      ->required();
  app.add_option("--area", a.area, "Area identifier column")->type_name("COL")->required();
  add_covariate_options(app, a.common);
  app.add_option("--method", a.method, "Variance estimation method (default REML)")
      ->check(CLI::IsMember({"REML", "ML"}, CLI::ignore_case));
  app.add_option("--mse", a.mse, "MSE method (default prasad_rao)")
      ->check(CLI::IsMember({"prasad_rao", "bootstrap"}, CLI::ignore_case));
  app.add_flag("--keep-nulls", a.keep_nulls, "Do not drop rows with missing values");
  // The model's own defaults of the run settings.
  a.common.n_reps = FhOptions::kRunDefaults.n_reps;
  add_fit_options(app, a.common, FhOptions::kRunDefaults.max_iter);
  add_output_options(app, a.common);

  return [args, handles](Io& io) { return run_fh(*args, *handles, io); };
}

}  // namespace

CommandDefinition make_fh_command() {
  return {
      .name = "fh",
      .description = "Area-level Fay-Herriot estimation (EBLUP with Prasad-Rao or bootstrap MSE)",
      .attach = attach_fh};
}

}  // namespace kelp_sae::cli
