// kelp-sae ebp: usage errors in process, and the built program on the
// bundled income example.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kelp/csv.h"
#include "kelp/table.h"
#include "tests/support/cli_runner.h"

namespace kelp_sae::cli {
namespace {

namespace fs = std::filesystem;
using kelp_sae::testing::run_cli;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kData = std::string(KELP_SAE_SOURCE_DIR) + "/examples/data/";

std::vector<std::string> base_args() {
  return {"ebp",
          "--sample",
          kData + "income_sample.csv",
          "--pop",
          kData + "income_census.csv",
          "--y",
          "income",
          "--area",
          "area",
          "--x",
          "hh_size,age,urban",
          "--cat",
          "gender"};
}

TEST(EbpCommand, UsageErrorsExitWithStatusTwo) {
  const std::vector<std::vector<std::string>> extras = {
      {"--transformation", "sqrt"},
      {"--indicators", "mean,theil"},
      {"--threshold", "10", "--threshold-share", "0.6"},
      {"--threshold-share", "0"},
      {"--lambda-bounds", "2,1"},
      {"--lambda-bounds", "x"},
      {"--n-mc", "0"},
      {"--n-reps", "0"},
      {"--benchmark", "mean"},
      {"--benchmark", "theil=1"},
      {"--benchmark", "gap=x"},
      {"--benchmark-type", "scaled"},
      // The library's checks of the benchmark, as usage errors of the flag.
      {"--benchmark", "survey", "--transformation", "log"},
      {"--benchmark", "gini=0.3", "--indicators", "gini", "--transformation", "log"},
  };
  for (const auto& extra : extras) {
    SCOPED_TRACE(::testing::PrintToString(extra));
    std::vector<std::string> args = base_args();
    args.insert(args.end(), extra.begin(), extra.end());
    const auto o = run_cli(args);
    EXPECT_EQ(o.status, 2);
    EXPECT_THAT(o.err, StartsWith("error: "));
  }
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--indicators", "mean,theil"});
  EXPECT_THAT(run_cli(args).err, HasSubstr("--indicators: unknown indicator 'theil'"));
  args = base_args();
  args.insert(args.end(), {"--benchmark", "survey", "--transformation", "log"});
  EXPECT_EQ(run_cli(args).err,
            "error: ebp: --benchmark 'survey' needs survey weights (--weights): its national "
            "targets are the weighted direct estimates of the whole sample.\n");
}

// Raking to explicit targets: the person-weighted national average of the
// area estimates is the target; the JSON and the report name the targets.
TEST(EbpCommand, BenchmarkToNationalTargets) {
  const fs::path json = fs::temp_directory_path() /
                        ("kelp_sae_ebp_benchmark_" + std::to_string(::getpid()) + ".json");
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--transformation", "log",
                           "--indicators",     "mean,headcount,gini",
                           "--threshold",      "7000",
                           "--pop-weights",    "hh_size",
                           "--benchmark",      "headcount=0.2,MEAN=30000",
                           "--benchmark-type", "Raking",
                           "--n-mc",           "2",
                           "--n-reps",         "2",
                           "--seed",           "5",
                           "--json",           json.string()});
  const auto o = run_cli(args);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_THAT(o.out, HasSubstr("Benchmarked (raking) to national targets: Mean 30000.0000, "
                               "Poverty Headcount 0.2000."));
  std::ifstream in(json);
  const nlohmann::json j = nlohmann::json::parse(in);
  fs::remove(json);
  EXPECT_EQ(j["transformation"]["benchmark"],
            nlohmann::json::parse(R"({"type": "raking", "source": "explicit",
                                      "targets": {"Mean": 30000.0, "Poverty Headcount": 0.2}})"));
  const kelp::Table census = kelp::read_csv(kData + "income_census.csv");
  std::map<std::string, double> persons;
  for (std::size_t i = 0; i < census.num_rows(); ++i) {
    persons[std::to_string(census.column("area").int_values()[i])] +=
        double(census.column("hh_size").int_values()[i]);
  }
  std::map<std::string, double> total, people;
  for (const auto& p : j["prediction"]) {
    const std::string area = p["area"];
    total[p["indicator"]] += persons.at(area) * p["pred"].get<double>();
    people[p["indicator"]] += persons.at(area);
  }
  EXPECT_NEAR(total["Mean"] / people["Mean"], 30000.0, 1e-8);
  EXPECT_NEAR(total["Poverty Headcount"] / people["Poverty Headcount"], 0.2, 1e-14);
}

// --weights reaches the library: its errors come back in the program's terms.
TEST(EbpCommand, SurveyWeights) {
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--weights", "hh_size"});
  const auto o = run_cli(args);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "error: ebp: survey weights need a fixed Box-Cox lambda: estimating lambda with "
            "weights is not supported. Give --lambda or use the log transformation.\n");
  args.insert(args.end(), {"--transformation", "log", "--no-mse", "--n-mc", "2"});
  EXPECT_EQ(run_cli(args).status, 0);
}

TEST(EbpCommand, PopulationWeightsColumn) {
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--indicators", "mean", "--n-mc", "2", "--no-mse", "--seed", "3",
                           "--quiet", "--pop-weights"});
  args.push_back("hh_size");
  const auto ok = run_cli(args);
  EXPECT_EQ(ok.status, 0) << ok.err;
  args.back() = "persons";
  const auto missing = run_cli(args);
  EXPECT_NE(missing.status, 0);
  EXPECT_THAT(missing.err, HasSubstr("Population data is missing the population weight column"));
}

TEST(EbpCommand, AggregateToReadsItsCensusColumn) {
  // The census area holds both urban and rural records: not a region of it.
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--n-mc", "2", "--no-mse", "--quiet", "--aggregate-to", "urban"});
  const auto o = run_cli(args);
  EXPECT_NE(o.status, 0);
  EXPECT_THAT(o.err, HasSubstr("lies in two regions of 'urban'"));
}

TEST(EbpProgram, ExampleDataWithEveryOutput) {
  const fs::path dir = fs::temp_directory_path() / ("kelp_sae_ebp_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string out = (dir / "long.csv").string();
  const std::string wide = (dir / "wide.csv").string();
  const std::string json = (dir / "result.json").string();
  std::string args;
  for (const std::string& a : base_args()) {
    if (a != "ebp") args += "'" + a + "' ";
  }
  args = "ebp " + args +
         "--indicators mean,Poverty\\ Headcount,gini --threshold-share 0.6 --n-mc 5 --n-reps 2 "
         "--seed 3 --quiet --out '" +
         out + "' --wide-out '" + wide + "' --json '" + json + "'";
  const auto o = kelp_sae::testing::run_program(KELP_SAE_PROGRAM, args);
  ASSERT_EQ(o.status, 0) << o.out;

  const kelp::Table w = kelp::read_csv(wide);
  EXPECT_EQ(w.column_names(),
            (std::vector<std::string>{"area", "Mean", "Mean MSE", "Poverty Headcount",
                                      "Poverty Headcount MSE", "Gini Coefficient",
                                      "Gini Coefficient MSE", "level"}));
  EXPECT_EQ(kelp::read_csv(out).column_names().back(), "level");
  EXPECT_EQ(w.num_rows(), kelp::read_csv(out).num_rows() / 3);
  EXPECT_EQ(w.column("Mean MSE").null_count(), 0u);

  std::ifstream in(json);
  const nlohmann::json j = nlohmann::json::parse(in);
  EXPECT_EQ(j["model_type"], "EBP (boxcox)");
  EXPECT_EQ(j["transformation"]["transformation"], "boxcox");
  EXPECT_TRUE(j["transformation"]["lambda"].is_number());
  EXPECT_GT(j["transformation"]["poverty_line"].get<double>(), 0.0);

  // Point estimates only: the same predictions, the MSE empty.
  const std::string wide2 = (dir / "wide2.csv").string();
  std::string args2 = args.substr(0, args.find("--out")) + "--no-mse --wide-out '" + wide2 + "'";
  ASSERT_EQ(kelp_sae::testing::run_program(KELP_SAE_PROGRAM, args2).status, 0);
  const kelp::Table w2 = kelp::read_csv(wide2);
  EXPECT_EQ(w2.column("Mean").float_values(), w.column("Mean").float_values());
  EXPECT_EQ(w2.column("Mean MSE").null_count(), w2.num_rows());
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelp_sae::cli
