#include "app/command_support.h"

#include <fcntl.h>
#include <omp.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <streambuf>
#include <string_view>

#include <nlohmann/json.hpp>

#include "app/html/report.h"
#include "app/temporary_files.h"

#include "kelp/csv.h"
#include "kelp/errors.h"
#include "kelp/printing.h"
#include "kelp_sae/core/logging.h"

namespace kelp_sae::cli {
namespace {

// The text of a whole number from `min` to `max`, canonical ("1e6" ->
// "1000000"), or an error text.
std::string check_whole_number(std::string& text, std::int64_t min, std::int64_t max) {
  const std::string range =
      "must be a whole number from " + std::to_string(min) + " to " + std::to_string(max);
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(first, last, value);
  if (ec == std::errc::result_out_of_range) return range + "; got '" + text + "'.";
  if (ec != std::errc() || end != last) {
    // Written as a floating-point number (1e6)?
    double d = 0.0;
    auto [dend, dec] = std::from_chars(first, last, d);
    if (dec != std::errc() || dend != last || first == last) {
      return range + "; got '" + text + "'.";
    }
    // max + 1.0 rounds to 2^63 for the largest int64: a cast below it is safe.
    if (!(d >= static_cast<double>(min) && d < static_cast<double>(max) + 1.0) ||
        d != std::floor(d)) {
      return range + "; got '" + text + "'.";
    }
    value = static_cast<std::int64_t>(d);
  }
  if (value < min || value > max) return range + "; got '" + text + "'.";
  text = std::to_string(value);
  return "";
}

CLI::Validator whole_number(std::int64_t min, std::int64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) { return check_whole_number(text, min, max); }, "", "");
}

// A stream buffer that discards everything.
class NullBuffer final : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

std::ostream& null_stream() {
  static NullBuffer buffer;
  static std::ostream stream(&buffer);
  return stream;
}

std::string system_reason(int error) { return std::strerror(error); }

[[noreturn]] void fail_to_write(const std::string& option, const std::string& target, int error) {
  throw std::runtime_error("Cannot write " + option + " file '" + target +
                           "': " + system_reason(error) + ".");
}

bool is_utf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

// Writes `text` to the existing file at `path`; returns 0 or the errno.
int write_whole_file(const std::string& path, std::string_view text, int flags) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags);
  if (fd < 0) return errno;
  int error = 0;
  while (!text.empty() && error == 0) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n >= 0) {
      text.remove_prefix(static_cast<std::size_t>(n));
    } else if (errno != EINTR) {
      error = errno;
    }
  }
  // A full disk may show only when the data reach it; devices and pipes
  // cannot be synchronised (EINVAL), which is no failure.
  if (error == 0 && ::fsync(fd) != 0 && errno != EINVAL) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  return error;
}

// What a file is, for comparing files named by different spellings: device
// and inode when it exists, else its canonical path (the existing part of the
// path resolved, the rest normalised).
struct FileIdentity {
  bool exists = false;
  bool regular = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::string canonical;

  bool same_as(const FileIdentity& other) const {
    if (exists != other.exists) return false;
    if (exists) return device == other.device && inode == other.inode;
    return canonical == other.canonical;
  }
};

FileIdentity identify(const std::string& path) {
  FileIdentity id;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    id.exists = true;
    id.regular = S_ISREG(info.st_mode);
    id.device = info.st_dev;
    id.inode = info.st_ino;
    return id;
  }
  id.regular = true;  // created as a regular file
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
  id.canonical =
      ec ? std::filesystem::absolute(path, ec).lexically_normal().string() : canonical.string();
  return id;
}

std::string quoted_path(const std::string& path) { return "'" + kelp::printable(path) + "'"; }

mode_t file_creation_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return static_cast<mode_t>(0666) & ~mask;
}

// The GeoJSON of --shapes; a file that cannot be read or is not JSON is a
// one-line error naming the file.
nlohmann::json read_shapes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("Cannot read --shapes file '" + path + "': " + system_reason(errno) +
                             ".");
  }
  try {
    return nlohmann::json::parse(in);
  } catch (const nlohmann::json::parse_error& e) {
    throw std::runtime_error("Cannot read --shapes file '" + path + "': not JSON (byte " +
                             std::to_string(e.byte) + ").");
  }
}

}  // namespace

CLI::Option* add_whole_number_option(CLI::App& app, const std::string& name, int& target,
                                     std::int64_t min, std::int64_t max,
                                     const std::string& description) {
  return app.add_option(name, target, description)
      ->type_name("INT")
      ->transform(whole_number(min, max));
}

CLI::Option* add_whole_number_option(CLI::App& app, const std::string& name, std::int64_t& target,
                                     std::int64_t min, std::int64_t max,
                                     const std::string& description) {
  return app.add_option(name, target, description)
      ->type_name("INT")
      ->transform(whole_number(min, max));
}

CLI::Option* add_positive_number_option(CLI::App& app, const std::string& name, double& target,
                                        const std::string& description) {
  const CLI::Validator positive(
      [](std::string& text) -> std::string {
        double value = 0.0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc() && end == text.data() + text.size() && std::isfinite(value) &&
            value > 0.0) {
          return "";
        }
        return "must be a positive number; got '" + text + "'.";
      },
      "", "");
  return app.add_option(name, target, description)->type_name("NUM")->check(positive);
}

CLI::Option* add_input_file_option(CLI::App& app, const std::string& name, std::string& target,
                                   const std::string& description) {
  // CLI::ExistingFile names itself FILE in the help; the type name says it.
  return app.add_option(name, target, description)
      ->type_name("FILE")
      ->check(CLI::Validator(CLI::ExistingFile).description(""));
}

void add_covariate_options(CLI::App& app, CommonArgs& args) {
  app.add_option("--x", args.x, "Numeric covariates")->type_name("COL[,COL...]")->delimiter(',');
  app.add_option("--cat", args.cat,
                 "Categorical covariate; REF, a level of COL, is the reference level")
      ->type_name("COL[:REF]");
}

void add_fit_options(CLI::App& app, CommonArgs& args, int max_iter_default) {
  args.max_iter = max_iter_default;
  add_whole_number_option(app, "--n-reps", args.n_reps, 1, kMaxReplicates,
                          "Bootstrap replicates (default " + std::to_string(args.n_reps) + ")");
  add_whole_number_option(app, "--batch-size", args.batch_size, 1, kMaxReplicates,
                          "Bootstrap replicates per batch, all held in memory (default 1)");
  args.seed_option = add_whole_number_option(
      app, "--seed", args.seed, 0, kMaxSeed,
      "Random seed of the bootstrap (and of the ebp Monte Carlo), from 0 to 2^63-1: the same seed "
      "gives the same numbers in every "
      "subcommand, whatever the threads; without it a fresh seed is drawn each run");
  add_positive_number_option(app, "--tol", args.tol, "Optimiser gradient tolerance (default 1e-4)");
  add_whole_number_option(
      app, "--max-iter", args.max_iter, 0, std::numeric_limits<int>::max(),
      "Optimiser iteration limit (default " + std::to_string(max_iter_default) + ")");
  app.add_flag("--no-progress", args.no_progress, "No bootstrap progress display");
  args.threads_option =
      add_whole_number_option(app, "--threads", args.threads, 1, 4096, "Threads for the bootstrap");
}

void add_output_options(CLI::App& app, CommonArgs& args) {
  app.add_option("--out", args.out, "Write the predictions (CSV)")->type_name("FILE");
  app.add_option("--fixed-out", args.fixed_out, "Write the fixed effects (CSV)")->type_name("FILE");
  app.add_option("--json", args.json, "Write the whole result (JSON)")->type_name("FILE");
  CLI::Option* html =
      app.add_option("--html", args.html, "Write a self-contained HTML report with charts")
          ->type_name("FILE");
  CLI::Option* shapes = add_input_file_option(app, "--shapes", args.shapes,
                                              "GeoJSON of the areas: maps in the HTML report");
  CLI::Option* key = app.add_option("--shapes-key", args.shapes_key,
                                    "The --shapes property that holds the area label")
                         ->type_name("PROPERTY");
  shapes->needs(html);
  shapes->needs(key);
  key->needs(shapes);
  args.width_option = add_whole_number_option(app, "--width", args.width, 21, 100000,
                                              "Report width in characters (more than 20)");
  app.add_flag("--quiet", args.quiet, "Print no report and no progress");
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

void check_cat_references(const CommonArgs& args, const kelp::Table& table,
                          const std::string& table_option) {
  for (const std::string& text : args.cat) {
    const kelp::Cat cat = parse_cat(text);
    if (!cat.ref.has_value() || !table.has_column(cat.name)) continue;
    const kelp::Column levels = table.distinct(cat.name);
    std::string listed;
    bool found = false;
    for (std::size_t i = 0; i < levels.size(); ++i) {
      found = found || levels.text(i) == *cat.ref;
      listed += (i == 0 ? "'" : ", '") + kelp::printable(levels.text(i)) + "'";
    }
    if (!found) {
      throw kelp::ModelError({.title = "Unknown reference level",
                              .detail = "--cat " + kelp::printable(text) + ": '" +
                                        kelp::printable(*cat.ref) + "' is not a level of column '" +
                                        kelp::printable(cat.name) + "' in the " + table_option +
                                        " table; its levels are " +
                                        (listed.empty() ? std::string("none") : listed) + "."});
    }
  }
}

CommonArgs for_this_process(const CommonArgs& args, const Io& io) {
  CommonArgs mine = args;
  if (io.processes == nullptr) return mine;
  mine.processes = true;
  if (mine.seed_option == nullptr || mine.seed_option->count() == 0) {
    mine.seed = io.processes->seed;
    mine.seed_shared = true;
  }
  if (!io.processes->lead) {
    mine.out.clear();
    mine.fixed_out.clear();
    mine.json.clear();
    mine.wide_out.clear();
    mine.html.clear();
    mine.quiet = true;
    mine.no_progress = true;
    mine.verbose = false;
    mine.silent = true;
  }
  return mine;
}

std::shared_ptr<ReplicateShare> replicate_share(const Io& io) {
  return io.processes != nullptr ? io.processes->share : nullptr;
}

kelp::RandomStateArg random_state(const CommonArgs& args) {
  const bool given = args.seed_option != nullptr && args.seed_option->count() > 0;
  if (!given && !args.seed_shared) return {};
  if (args.seed == 0) return kelp::RandomState(std::uint64_t{1} << 63);
  return args.seed;
}

void apply_run_settings(const CommonArgs& args) {
  set_log_level(args.silent ? LogLevel::kOff : args.verbose ? LogLevel::kInfo : LogLevel::kWarning);
  set_console_errors(args.verbose);
  if (args.threads_option != nullptr && args.threads_option->count() > 0) {
    omp_set_num_threads(args.threads);
  }
  // mpirun binds a process to one core by default when it starts at most two
  // per machine: its threads would then take turns on that core.
  cpu_set_t allowed;
  if (args.processes && sched_getaffinity(0, sizeof allowed, &allowed) == 0 &&
      CPU_COUNT(&allowed) < omp_get_max_threads()) {
    get_logger("kelp_sae.cli")
        .warning(
            "This process runs {} threads but may use only {} core(s); start mpirun with "
            "--bind-to none (or a binding that gives each process its cores).",
            omp_get_max_threads(), CPU_COUNT(&allowed));
  }
}

ProgressDisplay progress_display(const CommonArgs& args, Io& io) {
  if (args.quiet || args.no_progress)
    return {.progress_bar = false, .progress_out = &null_stream()};
  // The library draws its bar only when stderr is a terminal and writes the
  // plain lines to progress_out otherwise.
  return {.progress_bar = true, .progress_out = &io.err};
}

RunOptions run_options(const CommonArgs& args, Io& io) {
  const ProgressDisplay progress = progress_display(args, io);
  return {.n_reps = args.n_reps,
          .batch_size = args.batch_size,
          .rstate = random_state(args),
          .tol = args.tol,
          .max_iter = args.max_iter,
          .progress_bar = progress.progress_bar,
          .progress_out = progress.progress_out,
          .replicate_share = replicate_share(io)};
}

// ---------------------------------------------------------------------------
// Output files.

struct OutputFiles::File {
  std::string option;
  std::string target;
  std::string temporary{};  // empty for a device or pipe, written at commit
  std::string pending{};    // the text for a device or pipe
  bool written = false;
};

OutputFiles::OutputFiles(const CommonArgs& args, const std::vector<InputFile>& inputs) {
  try {
    create(args, inputs);
  } catch (...) {
    remove_temporaries();
    throw;
  }
}

void OutputFiles::create(const CommonArgs& args, const std::vector<InputFile>& inputs) {
  const mode_t mode = file_creation_mode();
  const std::pair<const char*, const std::string*> wanted[] = {{"--out", &args.out},
                                                               {"--wide-out", &args.wide_out},
                                                               {"--fixed-out", &args.fixed_out},
                                                               {"--json", &args.json},
                                                               {"--html", &args.html}};
  // Identities first: a clash is a usage error before any file is touched.
  std::vector<InputFile> outputs;
  std::vector<FileIdentity> output_ids;
  std::vector<InputFile> all_inputs = inputs;
  if (!args.shapes.empty()) all_inputs.push_back({.option = "--shapes", .path = args.shapes});
  std::vector<FileIdentity> input_ids;
  for (const InputFile& input : all_inputs) {
    input_ids.push_back(input.path.empty() ? FileIdentity{} : identify(input.path));
  }
  for (const auto& [option, target] : wanted) {
    if (target->empty()) continue;
    const FileIdentity id = identify(*target);
    // Devices and pipes are written in place: they replace nothing.
    if (id.regular) {
      for (std::size_t i = 0; i < all_inputs.size(); ++i) {
        if (!all_inputs[i].path.empty() && input_ids[i].regular && id.same_as(input_ids[i])) {
          throw CLI::ValidationError(std::string(option) + ": " + quoted_path(*target) +
                                     " is the " + all_inputs[i].option +
                                     " input file; an output must not replace an input.");
        }
      }
      for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (output_ids[i].regular && id.same_as(output_ids[i])) {
          throw CLI::ValidationError(std::string(option) + ": " + quoted_path(*target) +
                                     " is the file of " + outputs[i].option + " (" +
                                     quoted_path(outputs[i].path) +
                                     "); each output needs its own file.");
        }
      }
    }
    outputs.push_back({.option = option, .path = *target});
    output_ids.push_back(id);
  }

  if (!args.shapes.empty()) {
    auto shapes = std::make_shared<nlohmann::json>(read_shapes(args.shapes));
    try {
      html::check_shapes(*shapes, args.shapes_key);
    } catch (const std::invalid_argument& e) {
      throw std::runtime_error("Cannot use --shapes file '" + args.shapes + "': " + e.what() +
                               " (--shapes-key " + args.shapes_key + ").");
    }
    shapes_ = std::move(shapes);
  }

  for (const auto& [option, target] : wanted) {
    if (target->empty()) continue;
    const auto fail = [&](int error) { fail_to_write(option, *target, error); };
    struct stat info {};
    const bool exists = ::stat(target->c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) fail(EISDIR);
    if (exists && !S_ISREG(info.st_mode)) {
      // A device or pipe (/dev/stdout) is written in place, never replaced.
      if (::access(target->c_str(), W_OK) != 0) fail(errno);
      files_.push_back({.option = option, .target = *target});
      continue;
    }
    const std::filesystem::path path(*target);
    const std::filesystem::path dir = path.parent_path();
    std::string pattern = ((dir.empty() ? std::filesystem::path(".") : dir) /
                           ("." + path.filename().string() + ".tmp-XXXXXX"))
                              .string();
    {
      // Created and registered with the signals held: no moment when a
      // signal could leave it unregistered.
      const SignalsHeld held;
      const int fd = ::mkstemp(pattern.data());
      if (fd < 0) fail(errno);
      remember_temporary(pattern);
      files_.push_back({.option = option, .target = *target, .temporary = pattern});
      ::fchmod(fd, mode);
      ::close(fd);
    }
  }
}

OutputFiles::~OutputFiles() { remove_temporaries(); }

void OutputFiles::remove_temporaries() noexcept {
  for (const File& f : files_) {
    if (f.temporary.empty()) continue;
    std::remove(f.temporary.c_str());
    forget_temporary(f.temporary);
  }
}

bool OutputFiles::wanted(const std::string& option) const {
  for (const File& f : files_) {
    if (f.option == option) return true;
  }
  return false;
}

void OutputFiles::write(const std::string& option, const std::string& text) {
  for (File& f : files_) {
    if (f.option != option) continue;
    if (f.temporary.empty()) {
      f.pending = text;
    } else if (const int error = write_whole_file(f.temporary, text, O_TRUNC); error != 0) {
      fail_to_write(f.option, f.target, error);
    }
    f.written = true;
  }
}

void OutputFiles::commit() {
  for (File& f : files_) {
    if (!f.written) throw std::logic_error("OutputFiles: " + f.option + " was not written.");
  }
  for (File& f : files_) {
    if (!f.temporary.empty()) continue;
    if (const int error = write_whole_file(f.target, f.pending, 0); error != 0) {
      fail_to_write(f.option, f.target, error);
    }
  }
  for (File& f : files_) {
    if (f.temporary.empty()) continue;
    const SignalsHeld held;
    if (::rename(f.temporary.c_str(), f.target.c_str()) != 0)
      fail_to_write(f.option, f.target, errno);
    forget_temporary(f.temporary);
    f.temporary.clear();
  }
}

namespace {
std::string& activity() {
  static std::string text;
  return text;
}
}  // namespace

void doing(std::string text) { activity() = std::move(text); }

const std::string& current_activity() { return activity(); }

kelp::Table read_input(const std::string& option, const std::string& path) {
  doing("reading the " + option + " file " + quoted_path(path));
  return kelp::read_csv(path);
}

void doing_estimation(const CommonArgs& args, bool bootstrap) {
  if (!bootstrap) {
    doing("estimating");
    return;
  }
  doing("estimating, with a bootstrap that holds " + std::to_string(args.batch_size) +
        " replicate" + (args.batch_size == 1 ? "" : "s") +
        " in memory at once (--batch-size): lower --batch-size");
}

kelp::Table read_census(const std::string& path, const std::string& area, const CommonArgs& args,
                        const std::vector<std::string>& extra) {
  doing("reading the --pop file " + quoted_path(path));
  std::vector<std::string> columns{area};
  const auto add = [&](const std::string& name) {
    if (std::find(columns.begin(), columns.end(), name) == columns.end()) columns.push_back(name);
  };
  for (const std::string& x : args.x) add(x);
  for (const std::string& text : args.cat) add(parse_cat(text).name);
  for (const std::string& name : extra) add(name);
  try {
    return kelp::read_csv(path, {.columns = columns});
  } catch (const kelp::ColumnNotFoundError&) {
    // The dummy columns instead of a categorical column, or a column that is
    // missing indeed, which the model reports in its own terms.
    return kelp::read_csv(path);
  }
}

kelp::Table wide_predictions(const SAEResults& result) {
  std::vector<std::string> indicators;
  std::vector<std::string> areas, levels;
  // A region may carry an area's label: a row starts where either changes.
  const auto new_row = [&](std::size_t i) {
    const SAEPred& p = result.prediction()[i];
    const SAEPred& q = result.prediction()[i - 1];
    return q.area != p.area || q.level != p.level;
  };
  bool with_level = false;
  for (std::size_t i = 0; i < result.prediction().size(); ++i) {
    const SAEPred& p = result.prediction()[i];
    if (std::find(indicators.begin(), indicators.end(), p.indicator) == indicators.end())
      indicators.push_back(p.indicator);
    if (i == 0 || new_row(i)) {
      areas.push_back(p.area);
      levels.push_back(p.level);
    }
    with_level = with_level || !p.level.empty();
  }
  const std::size_t n_ind = indicators.size();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<std::vector<double>> pred(n_ind, std::vector<double>(areas.size(), nan));
  std::vector<std::vector<double>> mse = pred;
  std::size_t a = 0;
  for (std::size_t i = 0; i < result.prediction().size(); ++i) {
    const SAEPred& p = result.prediction()[i];
    if (i > 0 && new_row(i)) ++a;
    const auto k = static_cast<std::size_t>(
        std::find(indicators.begin(), indicators.end(), p.indicator) - indicators.begin());
    pred[k][a] = p.pred;
    mse[k][a] = p.mse;
  }
  const auto column = [](std::vector<double> values) {
    std::vector<bool> valid;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!std::isnan(values[i])) continue;
      if (valid.empty()) valid.assign(values.size(), true);
      valid[i] = false;
    }
    return kelp::Column(std::move(values), std::move(valid));
  };
  std::vector<std::pair<std::string, kelp::Column>> columns;
  columns.emplace_back("area", kelp::Column(std::move(areas)));
  for (std::size_t k = 0; k < n_ind; ++k) {
    columns.emplace_back(indicators[k], column(std::move(pred[k])));
    columns.emplace_back(indicators[k] + " MSE", column(std::move(mse[k])));
  }
  if (with_level) columns.emplace_back("level", kelp::Column(std::move(levels)));
  return kelp::Table(std::move(columns));
}

int emit_result(SAEResults& result, const CommonArgs& args, const LabelSources& labels,
                OutputFiles& outputs, Io& io) {
  doing("writing the report and the output files");
  if (args.width_option != nullptr && args.width_option->count() > 0) {
    result.set_print_width(args.width);
  }
  if (outputs.wanted("--out")) {
    outputs.write("--out", kelp::to_csv_string(result.to_table("predictions")));
  }
  if (outputs.wanted("--wide-out")) {
    outputs.write("--wide-out", kelp::to_csv_string(wide_predictions(result)));
  }
  if (outputs.wanted("--fixed-out")) {
    outputs.write("--fixed-out", kelp::to_csv_string(result.to_table("fixed")));
  }
  if (outputs.wanted("--json")) {
    // Which columns hold labels that JSON cannot carry as they are.
    std::set<std::string> columns;
    for (const SAEPred& p : result.prediction()) {
      if (!is_utf8(p.area)) {
        columns.insert(labels.area_column);
        break;
      }
    }
    for (const FixedEffect& f : result.fixed_effects()) {
      if (is_utf8(f.term)) continue;
      std::string column = f.term;  // a --x column
      for (const std::string& text : args.cat) {
        const std::string name = parse_cat(text).name;
        if (f.term.rfind(name + "_", 0) == 0) column = name;
      }
      columns.insert(column);
    }
    for (const std::string& column : columns) {
      io.err << "[warning] kelp_sae.cli: Column '" << column
             << "' holds labels that are not valid UTF-8 (Latin-1?); the JSON output replaces "
                "their invalid bytes with U+FFFD, the CSV output keeps them.\n";
    }
    outputs.write(
        "--json",
        result.to_dict().dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
  }
  if (outputs.wanted("--html")) {
    // The unit-level models compare with the unweighted sample means until
    // the sample carries weights for design-based direct estimates.
    const html::Report page = html::build_report(
        result, {.shapes = outputs.shapes(),
                 .shapes_key = args.shapes_key,
                 .direct_label = result.level() == "Area Level" ? "Direct estimate"
                                                                : "Sample mean (unweighted)"});
    for (const std::string& warning : page.warnings) {
      io.err << "[warning] kelp_sae.cli: --shapes: " << warning << "\n";
    }
    outputs.write("--html", page.html);
  }
  if (!args.quiet) {
    // Under mpirun the standard output is forwarded through a terminal of
    // the launcher's even when the user sent it to a file: no colour there.
    io.out << result.render(io.processes == nullptr && kelp::use_color(io.out)) << std::flush;
    if (!io.out) {
      throw std::runtime_error("Cannot write the report to the standard output: " +
                               system_reason(errno != 0 ? errno : EIO) +
                               ". Use --quiet to print no report.");
    }
  }
  outputs.commit();
  return 0;
}

}  // namespace kelp_sae::cli
