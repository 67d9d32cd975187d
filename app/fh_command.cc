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
#include <omp.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/cli.h"
#include "kelp/sample.h"
#include "kelp/table.h"
#include "kelp_sae/core/containers.h"
#include "kelp_sae/core/logging.h"
#include "kelp_sae/models/area.h"

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
  std::vector<std::string> x;
  std::vector<std::string> cat;
  std::string method = "REML";
  std::string mse = "prasad_rao";
  int n_reps = 100;
  int batch_size = 1;
  std::int64_t seed = 0;
  bool keep_nulls = false;
  double tol = 1e-4;
  int max_iter = 100;
  bool no_progress = false;
  int threads = 0;
  std::string out;
  std::string fixed_out;
  std::string json;
  int width = 0;
  bool quiet = false;
  bool verbose = false;
};

struct FhOptionHandles {
  CLI::Option* data = nullptr;
  CLI::Option* sample = nullptr;
  CLI::Option* statistic = nullptr;
  CLI::Option* ratio_denom = nullptr;
  CLI::Option* seed = nullptr;
  CLI::Option* threads = nullptr;
  CLI::Option* width = nullptr;
};

// "region" or "region:West" -> Cat{"region"} or Cat{"region", "West"}.
kelp::Cat parse_cat(const std::string& spec) {
  const std::size_t colon = spec.find(':');
  if (colon == std::string::npos) return kelp::Cat{spec};
  return kelp::Cat{spec.substr(0, colon), spec.substr(colon + 1)};
}

std::optional<std::string> non_empty(const std::string& s) {
  return s.empty() ? std::nullopt : std::optional<std::string>(s);
}

bool use_color(const Io& io) {
  if (!io.out_is_terminal) return false;
  const char* no_color = std::getenv("NO_COLOR");
  if (no_color != nullptr && *no_color != '\0') return false;
  const char* term = std::getenv("TERM");
  return !(term != nullptr && std::string_view(term) == "dumb");
}

void write_text_file(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary);
  file << text;
  file.close();
  if (!file) throw std::runtime_error("Cannot write '" + path + "'.");
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

  set_log_level(a.verbose ? spdlog::level::info : spdlog::level::warn);
  if (h.threads->count() > 0) omp_set_num_threads(a.threads);

  std::vector<kelp::Term> terms(a.x.begin(), a.x.end());
  for (const std::string& spec : a.cat) terms.emplace_back(parse_cat(spec));

  FhOptions options{.method = a.method,
                    .mse = a.mse,
                    .n_reps = a.n_reps,
                    .batch_size = a.batch_size,
                    .drop_nulls = !a.keep_nulls,
                    .tol = a.tol,
                    .max_iter = a.max_iter,
                    .progress_bar = !a.no_progress};
  if (h.seed->count() > 0) options.rstate = a.seed;
  // Progress lines go with the diagnostics, keeping the report stream clean.
  options.progress_out = &io.err;

  std::optional<AreaLevel> model;
  if (area_table_mode) {
    options.variance = a.variance;
    model.emplace(kelp::read_csv(a.data));
  } else {
    options.pop_data = kelp::read_csv(a.pop_data);
    options.statistic = a.statistic;
    options.ratio_denom = non_empty(a.ratio_denom);
    model.emplace(kelp::Sample(
        kelp::read_csv(a.sample),
        {.weight = non_empty(a.weight), .strata = non_empty(a.strata), .psu = non_empty(a.psu)}));
  }

  SAEResults result = model->fh(a.y, TermList(terms), a.area, options);
  if (h.width->count() > 0) result.set_print_width(a.width);

  if (!a.quiet) io.out << result.render(use_color(io)) << std::flush;
  if (!a.out.empty()) write_text_file(a.out, kelp::to_csv_string(result.to_table("predictions")));
  if (!a.fixed_out.empty()) {
    write_text_file(a.fixed_out, kelp::to_csv_string(result.to_table("fixed")));
  }
  if (!a.json.empty()) write_text_file(a.json, result.to_dict().dump(2) + "\n");
  return 0;
}

CommandAction attach_fh(CLI::App& app) {
  auto args = std::make_shared<FhArgs>();
  auto handles = std::make_shared<FhOptionHandles>();
  FhArgs& a = *args;
  FhOptionHandles& h = *handles;

  // Area-table mode.
  h.data = app.add_option("--data", a.data, "Area table (CSV): one row per area")
               ->type_name("FILE")
               ->check(CLI::ExistingFile)
               ->group("Area-table mode");
  CLI::Option* variance =
      app.add_option("--variance", a.variance, "Sampling-variance column of the area table")
          ->type_name("COL")
          ->group("Area-table mode");
  h.data->needs(variance);

  // Raw-sample mode.
  h.sample = app.add_option("--sample", a.sample, "Unit records of a survey sample (CSV)")
                 ->type_name("FILE")
                 ->check(CLI::ExistingFile)
                 ->group("Raw-sample mode");
  CLI::Option* pop_data =
      app.add_option("--pop-data", a.pop_data, "Area covariate table (CSV) keyed by the area")
          ->type_name("FILE")
          ->check(CLI::ExistingFile)
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
  app.add_option("--x", a.x, "Numeric covariates")->type_name("COL[,COL...]")->delimiter(',');
  app.add_option("--cat", a.cat, "Categorical covariate, with an optional reference level")
      ->type_name("COL[:REF]");
  app.add_option("--method", a.method, "Variance estimation method (default REML)")
      ->check(CLI::IsMember({"REML", "ML"}, CLI::ignore_case));
  app.add_option("--mse", a.mse, "MSE method (default prasad_rao)")
      ->check(CLI::IsMember({"prasad_rao", "bootstrap"}, CLI::ignore_case));
  app.add_option("--n-reps", a.n_reps, "Bootstrap replicates (default 100)")
      ->check(CLI::PositiveNumber);
  app.add_option("--batch-size", a.batch_size, "Bootstrap replicates per batch (default 1)")
      ->check(CLI::PositiveNumber);
  h.seed = app.add_option("--seed", a.seed, "Bootstrap seed; 0 or none draws a fresh one")
               ->check(CLI::NonNegativeNumber);
  app.add_flag("--keep-nulls", a.keep_nulls, "Do not drop rows with missing values");
  app.add_option("--tol", a.tol, "Optimiser gradient tolerance (default 1e-4)")
      ->check(CLI::PositiveNumber);
  app.add_option("--max-iter", a.max_iter, "Optimiser iteration limit (default 100)")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--no-progress", a.no_progress, "No bootstrap progress display");
  h.threads = app.add_option("--threads", a.threads, "Threads for the bootstrap")
                  ->check(CLI::PositiveNumber);

  // Output.
  app.add_option("--out", a.out, "Write the predictions (CSV)")->type_name("FILE");
  app.add_option("--fixed-out", a.fixed_out, "Write the fixed effects (CSV)")->type_name("FILE");
  app.add_option("--json", a.json, "Write the whole result (JSON)")->type_name("FILE");
  h.width = app.add_option("--width", a.width, "Report width in characters (more than 20)")
                ->check(CLI::Range(21, 100000));
  app.add_flag("--quiet", a.quiet, "Print no report");
  app.add_flag("--verbose", a.verbose, "Show information log lines");

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
