// Options and output shared by the estimation subcommands (fh, eblup).
//
// Each subcommand declares its own data and model options and embeds a
// CommonArgs for the rest: covariates, the bootstrap and optimiser settings,
// threads, and the outputs. The shared pieces keep the flags, their checks,
// their error texts and the output formats identical across subcommands.
//
// A run of a subcommand:
//   apply_run_settings(c);
//   OutputFiles outputs(c, {{"--data", a.data}});  // fails early on unwritable targets
//   ... read_input("--data", a.data), check_cat_references(c, table, "--data") ...
//   doing_estimation(c, bootstrap);
//   options.run = run_options(c, io);
//   SAEResults result = model.fit(..., options);
//   return emit_result(result, c, {.area_column = area}, outputs, io);
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "app/cli.h"
#include "kelp/random_state.h"
#include "kelp/table.h"
#include "kelp/terms.h"
#include "kelp_sae/models/run_options.h"
#include "kelp_sae/results/containers.h"

namespace CLI {
class Option;
}

namespace kelp_sae::cli {

// The largest --n-reps and --batch-size: the bootstrap draws up to three
// random keys per replicate from one root key, which holds 2^32 children.
inline constexpr std::int64_t kMaxReplicates = 1'000'000'000;
inline constexpr std::int64_t kMaxSeed = std::numeric_limits<std::int64_t>::max();

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
  std::string wide_out;    // ebp: one row per area
  std::string html;        // the HTML report
  std::string shapes;      // GeoJSON of the areas, for the report's maps
  std::string shapes_key;  // the shapes' property holding the area label
  int width = 0;
  bool quiet = false;
  bool verbose = false;
  // Set for a process of an MPI run other than the lead: nothing is logged.
  bool silent = false;
  // Set when --seed was not given but the processes of an MPI run share one.
  bool seed_shared = false;
  // Set for the processes of an MPI run.
  bool processes = false;
  // Set when declared; tell whether the user gave the option.
  CLI::Option* seed_option = nullptr;
  CLI::Option* threads_option = nullptr;
  CLI::Option* width_option = nullptr;
};

// Whole-number and positive-number options whose errors name the option, the
// accepted range and the text given ("--n-reps: must be a whole number from
// 1 to 1000000000; got '0'."). Whole numbers may be written as 1e6.
CLI::Option* add_whole_number_option(CLI::App& app, const std::string& name, int& target,
                                     std::int64_t min, std::int64_t max,
                                     const std::string& description);
CLI::Option* add_whole_number_option(CLI::App& app, const std::string& name, std::int64_t& target,
                                     std::int64_t min, std::int64_t max,
                                     const std::string& description);
CLI::Option* add_positive_number_option(CLI::App& app, const std::string& name, double& target,
                                        const std::string& description);
// An input file that must exist; the help shows it as FILE.
CLI::Option* add_input_file_option(CLI::App& app, const std::string& name, std::string& target,
                                   const std::string& description);

// --x COL[,COL...] and --cat COL[:REF] (repeatable).
void add_covariate_options(CLI::App& app, CommonArgs& args);
// --n-reps, --batch-size, --seed, --tol, --max-iter, --no-progress, --threads;
// `max_iter_default` is the model's own iteration limit (also the default).
void add_fit_options(CLI::App& app, CommonArgs& args, int max_iter_default);
// --out, --fixed-out, --json, --html, --shapes, --shapes-key, --width,
// --quiet, --verbose.
void add_output_options(CLI::App& app, CommonArgs& args);

// What the program is doing, for the message of an out-of-memory failure
// ("Out of memory while reading the --pop file 'census.csv.gz' ..."): each
// step of a command says what it starts; cli::run reports the last one.
void doing(std::string activity);
const std::string& current_activity();
// Reads the CSV file `path` of the option `option` (saying so first).
kelp::Table read_input(const std::string& option, const std::string& path);
// Says that the estimation starts: the fit and, with `bootstrap`, the
// bootstrap, which holds --batch-size replicates in memory at once.
void doing_estimation(const CommonArgs& args, bool bootstrap);

// A census (unit records) read with only the columns the model needs: the
// area column, the --x columns, the --cat columns and `extra`. A census that
// lacks one of them is read whole: it may hold the dummy columns of a --cat
// term instead, and a column missing indeed is reported by the model.
kelp::Table read_census(const std::string& path, const std::string& area, const CommonArgs& args,
                        const std::vector<std::string>& extra = {});

// "region" or "region:West" -> Cat{"region"} or Cat{"region", "West"}.
kelp::Cat parse_cat(const std::string& text);
// The --x columns followed by the --cat terms, in the order given.
std::vector<kelp::Term> covariate_terms(const CommonArgs& args);
// Every --cat reference level must be a level of its column in `table` (read
// from the option `table_option`); throws kelp::ModelError listing the
// levels otherwise. Columns missing from the table are left to the model.
void check_cat_references(const CommonArgs& args, const kelp::Table& table,
                          const std::string& table_option);

// The common arguments as this process uses them: unchanged for a single
// process or the lead of an MPI run; for the other processes of an MPI run
// without the outputs, the report, the progress and the log. Without --seed
// the processes use the seed the lead drew, so that they draw the same
// replicates.
CommonArgs for_this_process(const CommonArgs& args, const Io& io);
// The share of the bootstrap's replicates between the processes (null for a
// single process).
std::shared_ptr<ReplicateShare> replicate_share(const Io& io);

// The bootstrap random state for --seed: none without the option (a fresh
// seed each run), else a state that reproduces the same numbers for the same
// --seed in every subcommand. Seed 0 is passed as RandomState(2^63), a seed
// no other --seed value reaches, because the library reads a zero seed as
// "draw a fresh one".
kelp::RandomStateArg random_state(const CommonArgs& args);

// Log level and OpenMP threads, before the fit. Without --verbose only
// warnings are logged, and error log lines are dropped: a failure reaches the
// user once, as the program's "error:" line. In an MPI run, warns when the
// launcher bound the process to fewer cores than it runs threads.
void apply_run_settings(const CommonArgs& args);

// How the bootstrap shows progress, in the library's terms: nothing with
// --quiet or --no-progress; otherwise a bar when stderr is a terminal and
// plain "Batch i/n completed." lines on the error stream when it is not.
struct ProgressDisplay {
  bool progress_bar = false;
  std::ostream* progress_out = nullptr;
};
ProgressDisplay progress_display(const CommonArgs& args, Io& io);

// The library's run settings from the common flags: replicates, batch size,
// the seed (random_state), tolerance, iteration limit, the progress display
// and the processes' share; every subcommand passes them as the model's `run`.
RunOptions run_options(const CommonArgs& args, Io& io);

// An input file of a run and the option that names it.
struct InputFile {
  std::string option;  // "--sample"
  std::string path;
};

// The output files of a run (--out, --wide-out, --fixed-out, --json,
// --html),
// written whole or not at all: each is written to a temporary file beside
// its target, and commit() renames them all once every one is written.
// Temporaries not committed are removed on destruction, and on a signal or
// the end of an MPI run through the registry of temporary_files.h, leaving
// earlier files untouched. Devices and pipes (/dev/stdout) are written in
// place at commit; several outputs may name one, and are written to it in
// the order above.
//
// Files are compared by identity: device and inode when the file exists,
// the canonical path otherwise. An output that is one of the `inputs`, or
// two outputs that are one regular file, are usage errors
// (CLI::ValidationError), raised before any file is created or read:
//   "--out: 'data.csv' is the --sample input file; an output must not
//    replace an input."
//   "--json: './p.csv' is the file of --out ('p.csv'); each output needs its
//    own file."
// Failures to write are std::runtime_error texts naming the option, the file
// and the system's reason.
class OutputFiles {
 public:
  // Checks the targets against the inputs and each other, then creates the
  // temporaries, so that an unwritable target fails before the fit.
  explicit OutputFiles(const CommonArgs& args, const std::vector<InputFile>& inputs = {});
  ~OutputFiles();
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  bool wanted(const std::string& option) const;
  // The GeoJSON of --shapes, read and checked before the fit; null without.
  const nlohmann::json* shapes() const noexcept { return shapes_.get(); }
  // Writes the whole text of the output of `option` to its temporary.
  void write(const std::string& option, const std::string& text);
  // Renames every temporary to its target.
  void commit();

 private:
  struct File;
  void create(const CommonArgs& args, const std::vector<InputFile>& inputs);
  void remove_temporaries() noexcept;
  std::vector<File> files_;
  std::shared_ptr<const nlohmann::json> shapes_;
};

// What the result's labels are read from, for messages.
struct LabelSources {
  std::string area_column;
};

// The predictions one row per area: "area", then per indicator (in order of
// first appearance; a repeated one once) its prediction under the
// indicator's name and its MSE under "<name> MSE". Values not estimated are
// null.
kelp::Table wide_predictions(const SAEResults& result);

// Applies --width, prints the report unless --quiet, writes the predictions
// CSV (area,pred,mse,cv,lci,uci,indicator), the wide predictions CSV
// (--wide-out, wide_predictions), the fixed-effects CSV and the
// JSON result, the HTML report (with maps from --shapes; areas and shapes
// that do not match are warned about), and commits the outputs only when the report and every file
// are written. Labels that are not valid UTF-8 keep their bytes in the CSV
// files and the report; the JSON replaces invalid sequences by U+FFFD, with
// one warning naming the column. The report is styled only on a terminal
// (see kelp::use_color).
int emit_result(SAEResults& result, const CommonArgs& args, const LabelSources& labels,
                OutputFiles& outputs, Io& io);

}  // namespace kelp_sae::cli
