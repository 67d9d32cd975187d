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
#include "kelp/table.h"
#include "kelp_sae/core/containers.h"
#include "kelp_sae/core/logging.h"
#include "kelp_sae/models/common.h"
#include "kelp_sae/models/unit.h"

namespace kelp_sae::cli {
namespace {

struct EblupArgs {
  std::string sample;
  std::string pop;
  std::string y;
  std::vector<std::string> x;
  std::vector<std::string> cat;
  std::string area;
  std::string pop_size;
  std::string method = "REML";
  std::string mse = "Analytical";
  bool no_intercept = false;
  int n_reps = 100;
  int batch_size = 1;
  std::int64_t seed = 0;
  bool drop_nulls = false;
  double tol = 1e-4;
  int max_iter = 500;
  bool no_progress = false;
  int threads = 0;
  std::string out;
  std::string fixed_out;
  std::string json;
  int width = 0;
  bool quiet = false;
  bool verbose = false;
};

struct EblupOptionHandles {
  CLI::Option* pop_size = nullptr;
  CLI::Option* seed = nullptr;
  CLI::Option* threads = nullptr;
  CLI::Option* width = nullptr;
};

// "sector" or "sector:industry" -> Cat{"sector"} or Cat{"sector", "industry"}.
kelp::Cat parse_cat(const std::string& spec) {
  const std::size_t colon = spec.find(':');
  if (colon == std::string::npos) return kelp::Cat{spec};
  return kelp::Cat{spec.substr(0, colon), spec.substr(colon + 1)};
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

int run_eblup(const EblupArgs& a, const EblupOptionHandles& h, Io& io) {
  if (a.no_intercept && models::to_lower(a.mse) == "bootstrap") {
    throw CLI::ValidationError(
        "--no-intercept cannot be combined with --mse Bootstrap: the bootstrap refits always "
        "include the intercept.");
  }

  set_log_level(a.verbose ? spdlog::level::info : spdlog::level::warn);
  if (h.threads->count() > 0) omp_set_num_threads(a.threads);

  std::vector<kelp::Term> terms(a.x.begin(), a.x.end());
  for (const std::string& spec : a.cat) terms.emplace_back(parse_cat(spec));

  EblupOptions options{.method = a.method,
                       .intercept = !a.no_intercept,
                       .mse = a.mse,
                       .n_reps = a.n_reps,
                       .batch_size = a.batch_size,
                       .drop_nulls = a.drop_nulls,
                       .tol = a.tol,
                       .max_iter = a.max_iter,
                       .progress_bar = !a.no_progress};
  if (h.pop_size->count() > 0) options.pop_size = a.pop_size;
  if (h.seed->count() > 0) options.rstate = a.seed;

  const UnitLevel model(kelp::read_csv(a.sample));
  const kelp::Table pop = kelp::read_csv(a.pop);
  SAEResults result = model.eblup(a.y, TermList(terms), a.area, pop, options);
  if (h.width->count() > 0) result.set_print_width(a.width);

  if (!a.quiet) io.out << result.render(use_color(io)) << std::flush;
  if (!a.out.empty()) write_text_file(a.out, kelp::to_csv_string(result.to_table("predictions")));
  if (!a.fixed_out.empty()) {
    write_text_file(a.fixed_out, kelp::to_csv_string(result.to_table("fixed")));
  }
  if (!a.json.empty()) write_text_file(a.json, result.to_dict().dump(2) + "\n");
  return 0;
}

CommandAction attach_eblup(CLI::App& app) {
  auto args = std::make_shared<EblupArgs>();
  auto handles = std::make_shared<EblupOptionHandles>();
  EblupArgs& a = *args;
  EblupOptionHandles& h = *handles;

  // Data.
  app.add_option("--sample", a.sample, "Unit records of the sample (CSV)")
      ->type_name("FILE")
      ->check(CLI::ExistingFile)
      ->required();
  app.add_option("--pop", a.pop, "Population: unit records, or one row per area with --pop-size")
      ->type_name("FILE")
      ->check(CLI::ExistingFile)
      ->required();
  h.pop_size = app.add_option("--pop-size", a.pop_size,
                              "Population-size column; the population then has one row per area")
                   ->type_name("COL");

  // The model.
  app.add_option("--y", a.y, "Response column of the sample")->type_name("COL")->required();
  app.add_option("--x", a.x, "Numeric covariates")->type_name("COL[,COL...]")->delimiter(',');
  app.add_option("--cat", a.cat, "Categorical covariate, with an optional reference level")
      ->type_name("COL[:REF]");
  app.add_option("--area", a.area, "Area identifier column")->type_name("COL")->required();
  app.add_option("--method", a.method, "Variance estimation method (default REML)")
      ->check(CLI::IsMember({"REML", "ML"}, CLI::ignore_case));
  app.add_option("--mse", a.mse, "MSE method (default Analytical)")
      ->check(CLI::IsMember({"Analytical", "Bootstrap"}, CLI::ignore_case));
  app.add_flag("--no-intercept", a.no_intercept, "Fit without a constant column");
  app.add_option("--n-reps", a.n_reps, "Bootstrap replicates (default 100)")
      ->check(CLI::PositiveNumber);
  app.add_option("--batch-size", a.batch_size, "Bootstrap replicates per batch (default 1)")
      ->check(CLI::PositiveNumber);
  h.seed = app.add_option("--seed", a.seed, "Bootstrap seed; none draws a fresh one")
               ->check(CLI::NonNegativeNumber);
  app.add_flag("--drop-nulls", a.drop_nulls, "Drop rows with missing values");
  app.add_option("--tol", a.tol, "Optimiser gradient tolerance (default 1e-4)")
      ->check(CLI::PositiveNumber);
  app.add_option("--max-iter", a.max_iter, "Optimiser iteration limit (default 500)")
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

  return [args, handles](Io& io) { return run_eblup(*args, *handles, io); };
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
