// kelp-sae direct: design-based direct estimates of poverty and inequality
// indicators by area from a survey sample.
//
//   kelp-sae direct --sample survey.csv --y income --area district --weights weight
//                   --strata stratum --psu psu --indicators mean,headcount,gini,median
//                   --threshold-share 0.6 --n-reps 500 --seed 7 --out direct.csv
//
// Variances (reported as MSE) by linearisation for the mean and the FGT
// measures and by the bootstrap for the others (--var linearization, the
// default), by the bootstrap for all (--var bootstrap), or none (--var none).
// Output as for the models: the report, --out, --wide-out, --json.
#include <CLI/CLI.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/command_support.h"
#include "app/indicator_names.h"
#include "kelp/csv.h"
#include "kelp/sample.h"
#include "kelp_sae/models/direct.h"

namespace kelp_sae::cli {
namespace {

struct DirectArgs {
  std::string sample;
  std::string y;
  std::string area;
  std::string weights;
  std::string strata;
  std::string psu;
  std::vector<std::string> indicators;
  double threshold = 0.6;
  double threshold_share = 0.6;
  std::string var = "linearization";
  CommonArgs common;
  CLI::Option* indicators_option = nullptr;
  CLI::Option* share_option = nullptr;
};

std::optional<std::string> non_empty(const std::string& s) {
  return s.empty() ? std::nullopt : std::optional<std::string>(s);
}

int run_direct(const DirectArgs& a, Io& io) {
  const CommonArgs c = for_this_process(a.common, io);
  DirectOptions options{.threshold = a.threshold, .var = a.var, .n_reps = c.n_reps};
  if (a.indicators_option->count() > 0) options.indicators = parse_indicators(a.indicators);
  if (a.share_option->count() > 0) options.threshold_share = a.threshold_share;

  apply_run_settings(c);
  OutputFiles outputs(c, {{.option = "--sample", .path = a.sample}});
  options.rstate = random_state(c);
  const kelp::Sample sample(
      read_input("--sample", a.sample),
      {.weight = non_empty(a.weights), .strata = non_empty(a.strata), .psu = non_empty(a.psu)});
  doing_estimation(c, false);
  SAEResults result = estimate_direct(sample, a.y, a.area, options);
  return emit_result(result, c, {.area_column = a.area}, outputs, io);
}

CommandAction attach_direct(CLI::App& app) {
  auto args = std::make_shared<DirectArgs>();
  DirectArgs& a = *args;

  add_input_file_option(app, "--sample", a.sample, "Unit records of the survey sample (CSV)")
      ->required();
  app.add_option("--y", a.y, "Response column (income or consumption)")
      ->type_name("COL")
      ->required();
  app.add_option("--area", a.area, "Area identifier column")->type_name("COL")->required();
  app.add_option("--weights", a.weights, "Design weight column (default: every unit weighs 1)")
      ->type_name("COL");
  app.add_option("--strata", a.strata, "Stratum column")->type_name("COL");
  app.add_option("--psu", a.psu, "Cluster (PSU) column")->type_name("COL");

  a.indicators_option = app.add_option("--indicators", a.indicators,
                                       std::string("Indicators: ") + kIndicatorNames +
                                           " or their display texts (default headcount,gap)")
                            ->type_name("LIST")
                            ->delimiter(',');
  auto* threshold =
      app.add_option("--threshold", a.threshold, "Poverty line (default 0.6)")->type_name("X");
  a.share_option = add_positive_number_option(
      app, "--threshold-share", a.threshold_share,
      "Poverty line as this share of the weighted median of the sample's response");
  a.share_option->excludes(threshold);

  app.add_option("--var", a.var,
                 "Variance: linearization (mean and FGT measures; the bootstrap for the "
                 "others), bootstrap (all) or none (default linearization)")
      ->check(CLI::IsMember({"linearization", "bootstrap", "none"}, CLI::ignore_case));
  a.common.n_reps = 200;
  add_whole_number_option(app, "--n-reps", a.common.n_reps, 2, kMaxReplicates,
                          "Bootstrap replicates (default 200)");
  a.common.seed_option = add_whole_number_option(
      app, "--seed", a.common.seed, 0, kMaxSeed,
      "Random seed of the bootstrap, from 0 to 2^63-1: the same seed gives the same numbers, "
      "whatever the threads; without it a fresh seed is drawn each run");
  a.common.threads_option = add_whole_number_option(app, "--threads", a.common.threads, 1, 4096,
                                                    "Threads for the bootstrap");
  add_output_options(app, a.common);
  app.add_option("--wide-out", a.common.wide_out,
                 "Write the estimates one row per area: each indicator and its MSE (CSV)")
      ->type_name("FILE");

  return [args](Io& io) { return run_direct(*args, io); };
}

}  // namespace

CommandDefinition make_direct_command() {
  return {.name = "direct",
          .description =
              "Direct (design-based) estimates of poverty and inequality indicators "
              "by area, with linearised or bootstrap variances",
          .attach = attach_direct};
}

}  // namespace kelp_sae::cli
