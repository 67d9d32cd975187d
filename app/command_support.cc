#include "app/command_support.h"

#include <omp.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <ostream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "kelp/printing.h"
#include "kelp/table.h"
#include "kelp_sae/core/logging.h"

namespace kelp_sae::cli {
namespace {

void write_text_file(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary);
  file << text;
  file.close();
  if (!file) throw std::runtime_error("Cannot write '" + path + "'.");
}

}  // namespace

void add_covariate_options(CLI::App& app, CommonArgs& args) {
  app.add_option("--x", args.x, "Numeric covariates")->type_name("COL[,COL...]")->delimiter(',');
  app.add_option("--cat", args.cat, "Categorical covariate, with an optional reference level")
      ->type_name("COL[:REF]");
}

void add_fit_options(CLI::App& app, CommonArgs& args, int max_iter_default) {
  args.max_iter = max_iter_default;
  app.add_option("--n-reps", args.n_reps, "Bootstrap replicates (default 100)")
      ->check(CLI::PositiveNumber);
  app.add_option("--batch-size", args.batch_size, "Bootstrap replicates per batch (default 1)")
      ->check(CLI::PositiveNumber);
  args.seed_option =
      app.add_option("--seed", args.seed, "Bootstrap seed; without it a fresh one is drawn")
          ->check(CLI::NonNegativeNumber);
  app.add_option("--tol", args.tol, "Optimiser gradient tolerance (default 1e-4)")
      ->check(CLI::PositiveNumber);
  app.add_option("--max-iter", args.max_iter,
                 "Optimiser iteration limit (default " + std::to_string(max_iter_default) + ")")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--no-progress", args.no_progress, "No bootstrap progress display");
  args.threads_option = app.add_option("--threads", args.threads, "Threads for the bootstrap")
                            ->check(CLI::PositiveNumber);
}

void add_output_options(CLI::App& app, CommonArgs& args) {
  app.add_option("--out", args.out, "Write the predictions (CSV)")->type_name("FILE");
  app.add_option("--fixed-out", args.fixed_out, "Write the fixed effects (CSV)")->type_name("FILE");
  app.add_option("--json", args.json, "Write the whole result (JSON)")->type_name("FILE");
  args.width_option =
      app.add_option("--width", args.width, "Report width in characters (more than 20)")
          ->check(CLI::Range(21, 100000));
  app.add_flag("--quiet", args.quiet, "Print no report");
  app.add_flag("--verbose", args.verbose, "Show information log lines");
}

kelp::Cat parse_cat(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) return kelp::Cat{text};
  return kelp::Cat{text.substr(0, colon), text.substr(colon + 1)};
}

std::vector<kelp::Term> covariate_terms(const CommonArgs& args) {
  std::vector<kelp::Term> terms(args.x.begin(), args.x.end());
  for (const std::string& text : args.cat) terms.emplace_back(parse_cat(text));
  return terms;
}

void apply_run_settings(const CommonArgs& args) {
  set_log_level(args.verbose ? LogLevel::kInfo : LogLevel::kWarning);
  if (args.threads_option != nullptr && args.threads_option->count() > 0) {
    omp_set_num_threads(args.threads);
  }
}

int emit_result(SAEResults& result, const CommonArgs& args, Io& io) {
  if (args.width_option != nullptr && args.width_option->count() > 0) {
    result.set_print_width(args.width);
  }
  if (!args.quiet) io.out << result.render(kelp::use_color(io.out)) << std::flush;
  if (!args.out.empty()) {
    write_text_file(args.out, kelp::to_csv_string(result.to_table("predictions")));
  }
  if (!args.fixed_out.empty()) {
    write_text_file(args.fixed_out, kelp::to_csv_string(result.to_table("fixed")));
  }
  if (!args.json.empty()) write_text_file(args.json, result.to_dict().dump(2) + "\n");
  return 0;
}

}  // namespace kelp_sae::cli
