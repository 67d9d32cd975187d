// Options and output shared by the estimation subcommands (fh, eblup).
//
// Each subcommand declares its own data and model options and embeds a
// CommonArgs for the rest: covariates, the bootstrap and optimiser settings,
// threads, and the outputs. The shared pieces keep the flags, their checks
// and the output formats identical across subcommands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/cli.h"
#include "kelp/terms.h"
#include "kelp_sae/results/containers.h"

namespace CLI {
class Option;
}

namespace kelp_sae::cli {

struct CommonArgs {
  std::vector<std::string> x;
  std::vector<std::string> cat;
  int n_reps = 100;
  int batch_size = 1;
  std::int64_t seed = 0;
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
  // Set when declared; tell whether the user gave the option.
  CLI::Option* seed_option = nullptr;
  CLI::Option* threads_option = nullptr;
  CLI::Option* width_option = nullptr;
};

// --x COL[,COL...] and --cat COL[:REF] (repeatable).
void add_covariate_options(CLI::App& app, CommonArgs& args);
// --n-reps, --batch-size, --seed, --tol, --max-iter, --no-progress, --threads;
// `max_iter_default` is the model's own iteration limit (also the default).
void add_fit_options(CLI::App& app, CommonArgs& args, int max_iter_default);
// --out, --fixed-out, --json, --width, --quiet, --verbose.
void add_output_options(CLI::App& app, CommonArgs& args);

// "region" or "region:West" -> Cat{"region"} or Cat{"region", "West"}.
kelp::Cat parse_cat(const std::string& text);
// The --x columns followed by the --cat terms, in the order given.
std::vector<kelp::Term> covariate_terms(const CommonArgs& args);

// Log level (--verbose) and OpenMP threads (--threads), before the fit.
void apply_run_settings(const CommonArgs& args);

// Applies --width, prints the report unless --quiet, and writes the
// predictions CSV (area,pred,mse,cv,lci,uci,indicator), the fixed-effects
// CSV and the JSON result. The report is styled only on a terminal (see
// kelp::use_color). Throws std::runtime_error naming a file that
// cannot be written.
int emit_result(SAEResults& result, const CommonArgs& args, Io& io);

}  // namespace kelp_sae::cli
