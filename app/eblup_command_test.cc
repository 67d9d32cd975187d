// kelp-sae eblup: option parsing and error statuses in process, and the built
// program on the bundled example data.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/cli.h"
#include "kelp/table.h"
#include "tests/support/cli_runner.h"

namespace kelp_sae::cli {
namespace {

using Outcome = kelp_sae::testing::CliOutcome;
using kelp_sae::testing::run_cli;

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A fresh directory under the system temporary directory, removed at the end.
class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("kelp_sae_eblup_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string file(const std::string& name, const std::string& content = "") const {
    const fs::path p = path_ / name;
    if (!content.empty()) std::ofstream(p) << content;
    return p.string();
  }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

constexpr const char* kSample =
    "area,y,x\n"
    "1,10.5,1.0\n1,11.0,2.0\n1,12.5,2.5\n"
    "2,15.0,3.0\n2,14.0,3.5\n"
    "3,9.0,0.5\n3,8.0,1.0\n3,10.0,1.5\n3,9.5,1.2\n";
constexpr const char* kPop = "area,x,N\n1,1.8,50\n2,3.2,40\n3,1.1,60\n4,2.0,30\n";

TEST(EblupCommand, UsageErrorsExitWithStatusTwo) {
  const TempDir dir;
  const std::string sample = dir.file("sample.csv", kSample);
  const std::string pop = dir.file("pop.csv", kPop);
  const std::vector<std::string> base = {"eblup", "--sample", sample,   "--pop", pop,
                                         "--y",   "y",        "--area", "area"};
  const std::vector<std::vector<std::string>> extras = {
      {"--method", "GLS"},
      {"--mse", "jackknife"},
      {"--n-reps", "0"},
      {"--batch-size", "-1"},
      {"--seed", "-3"},
      {"--width", "20"},
      {"--no-intercept", "--mse", "bootstrap"},
      {"--unknown-flag"},
  };
  for (const auto& extra : extras) {
    SCOPED_TRACE(::testing::PrintToString(extra));
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    const Outcome o = run_cli(args);
    EXPECT_EQ(o.status, 2);
    EXPECT_THAT(o.err, StartsWith("error: "));
  }
  const Outcome no_pop = run_cli({"eblup", "--sample", sample, "--y", "y", "--area", "area"});
  EXPECT_EQ(no_pop.status, 2);
  const Outcome missing_file =
      run_cli({"eblup", "--sample", dir.file("none.csv"), "--pop", pop, "--y", "y", "--area", "a"});
  EXPECT_EQ(missing_file.status, 2);
}

TEST(EblupCommand, EstimationFailuresPrintOneErrorLineAndExitWithStatusOne) {
  const TempDir dir;
  const std::string sample = dir.file("sample.csv", kSample);
  const std::string pop = dir.file("pop.csv", kPop);
  const Outcome o = run_cli({"eblup", "--sample", sample, "--pop", pop, "--y", "income", "--area",
                             "area", "--pop-size", "N"});
  EXPECT_EQ(o.status, 1);
  EXPECT_THAT(o.err, StartsWith("error: Missing columns: "));
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1);

  const Outcome no_size = run_cli({"eblup", "--sample", sample, "--pop", pop, "--y", "y", "--area",
                                   "area", "--x", "x", "--pop-size", "size"});
  EXPECT_EQ(no_size.status, 1);
  EXPECT_THAT(no_size.err, StartsWith("error: Missing Population Columns: "));

  const std::string data = std::string(KELP_SAE_SOURCE_DIR) + "/examples/data/";
  const Outcome unknown_level =
      run_cli({"eblup", "--sample", data + "unit_sample.csv", "--pop", data + "census.csv", "--y",
               "y", "--area", "area", "--cat", "sector:Services"});
  EXPECT_EQ(unknown_level.status, 1);
  EXPECT_EQ(unknown_level.err,
            "error: Unknown reference level: --cat sector:Services: 'Services' is not a level of "
            "column 'sector' in the --sample table; its levels are 'agriculture', 'industry', "
            "'services'.\n");
}

TEST(EblupCommand, WritesReportAndOutputFiles) {
  const TempDir dir;
  const std::string sample = dir.file("sample.csv", kSample);
  const std::string pop = dir.file("pop.csv", kPop);
  const std::string out = dir.file("pred.csv");
  const std::string fixed = dir.file("fixed.csv");
  const std::string json = dir.file("res.json");
  const Outcome o =
      run_cli({"eblup", "--sample",    sample, "--pop",      pop,  "--y",      "y",  "--x",
               "x",     "--area",      "area", "--pop-size", "N",  "--method", "ml", "--out",
               out,     "--fixed-out", fixed,  "--json",     json, "--width",  "90"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_THAT(o.out, HasSubstr("BHF (EBLUP) - MSE: Analytical"));
  EXPECT_THAT(o.out, HasSubstr("Unit Level"));

  const kelp::Table preds = kelp::read_csv(out);
  EXPECT_EQ(preds.column_names(),
            (std::vector<std::string>{"area", "pred", "mse", "cv", "lci", "uci", "indicator"}));
  ASSERT_EQ(preds.num_rows(), 4u);
  EXPECT_EQ(preds.column("indicator").text(0), "Mean");
  const kelp::Table fe = kelp::read_csv(fixed);
  EXPECT_EQ(fe.column("term").text(0), "Intercept");
  EXPECT_EQ(fe.column("term").text(1), "x");

  const nlohmann::json j = nlohmann::json::parse(read_file(json));
  EXPECT_EQ(j["stats"]["method"], "ml");  // as given
  EXPECT_EQ(j["stats"]["n_obs"], 9);
  ASSERT_EQ(j["prediction"].size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    // The CSV carries every digit of the doubles in the JSON.
    EXPECT_EQ(preds.column("pred").as_double(i), j["prediction"][i]["pred"].get<double>());
    EXPECT_EQ(preds.column("mse").as_double(i), j["prediction"][i]["mse"].get<double>());
  }

  const Outcome quiet = run_cli({"eblup", "--sample", sample, "--pop", pop, "--y", "y", "--area",
                                 "area", "--pop-size", "N", "--quiet"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, "");
}

Outcome run_program(const std::string& args) {
  return testing::run_program(KELP_SAE_PROGRAM, args);
}

TEST(EblupProgram, ExampleDataInBothPopulationForms) {
  const std::string data = std::string(KELP_SAE_SOURCE_DIR) + "/examples/data/";
  const TempDir dir;
  const std::string units_csv = dir.file("units.csv");
  const std::string means_csv = dir.file("means.csv");
  const std::string json = dir.file("res.json");
  const std::string common = "eblup --sample '" + data + "unit_sample.csv' --y y --x x1,x2 " +
                             "--cat sector --area area --no-progress ";

  const Outcome census = run_program(common + "--pop '" + data + "census.csv' --out '" + units_csv +
                                     "' --json '" + json + "' --quiet");
  ASSERT_EQ(census.status, 0) << census.out;
  EXPECT_EQ(census.out, "");
  const Outcome means = run_program(common + "--pop '" + data + "area_means.csv' --pop-size N " +
                                    "--out '" + means_csv + "' --verbose");
  ASSERT_EQ(means.status, 0) << means.out;
  EXPECT_THAT(means.out, HasSubstr("Computing Analytical MSE (Prasad-Rao)..."));
  EXPECT_THAT(means.out, HasSubstr("BHF (EBLUP) - MSE: Analytical"));

  EXPECT_EQ(read_file(units_csv).substr(0, 37), "area,pred,mse,cv,lci,uci,indicator\n1,");
  const kelp::Table pa = kelp::read_csv(units_csv);
  const kelp::Table pb = kelp::read_csv(means_csv);
  ASSERT_EQ(pa.num_rows(), 60u);
  ASSERT_EQ(pb.num_rows(), 60u);
  for (std::size_t i = 0; i < pa.num_rows(); ++i) {
    SCOPED_TRACE(pa.column("area").text(i));
    EXPECT_EQ(pa.column("area").text(i), pb.column("area").text(i));
    const double x = pa.column("pred").as_double(i);
    EXPECT_NEAR(x, pb.column("pred").as_double(i), 1e-9 * std::abs(x));
    EXPECT_EQ(pa.column("indicator").text(i), "Mean");
  }

  const nlohmann::json j = nlohmann::json::parse(read_file(json));
  EXPECT_EQ(j["level"], "Unit Level");
  EXPECT_EQ(j["y"], "y");
  EXPECT_EQ(j["model_type"], "BHF (EBLUP) - MSE: Analytical");
  EXPECT_EQ(j["stats"]["n_areas"], 60);
  EXPECT_EQ(j["stats"]["n_obs"], 2503);
  ASSERT_EQ(j["prediction"].size(), 60u);
  EXPECT_EQ(j["prediction"][0]["pred"].get<double>(), pa.column("pred").as_double(0));
  // The simulation's truth: sigma_u = 1.5, sigma_e = 4, slopes 1.2 (x1) and
  // 3 (x2), sector effects 1.5 (industry) and 2.5 (services).
  EXPECT_NEAR(j["stats"]["sigma_u"].get<double>(), 1.5, 0.6);
  EXPECT_NEAR(j["stats"]["sigma_e"].get<double>(), 4.0, 0.4);
  const std::vector<std::pair<std::string, double>> truth = {{"Intercept", 10.0},
                                                             {"x1", 1.2},
                                                             {"x2", 3.0},
                                                             {"sector_industry", 1.5},
                                                             {"sector_services", 2.5}};
  ASSERT_EQ(j["fixed_effects"].size(), truth.size());
  for (std::size_t k = 0; k < truth.size(); ++k) {
    SCOPED_TRACE(truth[k].first);
    const nlohmann::json& fe = j["fixed_effects"][k];
    EXPECT_EQ(fe["term"], truth[k].first);
    // Within four standard errors of the truth.
    EXPECT_NEAR(fe["est"].get<double>(), truth[k].second, 4.0 * fe["se"].get<double>());
  }

  // The bootstrap gives the same file for the same seed, whatever the threads.
  const std::string boot = common + "--pop '" + data + "area_means.csv' --pop-size N --mse " +
                           "bootstrap --n-reps 40 --batch-size 8 --seed 11 --quiet ";
  const std::string boot1 = dir.file("boot1.csv");
  const std::string boot2 = dir.file("boot2.csv");
  const std::string boot_json = dir.file("boot.json");
  ASSERT_EQ(run_program(boot + "--threads 1 --out '" + boot1 + "'").status, 0);
  const Outcome verbose =
      run_program(boot + "--threads 2 --out '" + boot2 + "' --json '" + boot_json + "' --verbose");
  ASSERT_EQ(verbose.status, 0) << verbose.out;
  EXPECT_THAT(verbose.out,
              HasSubstr("Computing Parametric Bootstrap MSE (BHF) with 40 reps (Batch=8)..."));
  EXPECT_EQ(read_file(boot1), read_file(boot2));
  EXPECT_EQ(nlohmann::json::parse(read_file(boot_json))["model_type"],
            "BHF (EBLUP) - MSE: Bootstrap");
  const kelp::Table pboot = kelp::read_csv(boot1);
  ASSERT_EQ(pboot.num_rows(), 60u);
  for (std::size_t i = 0; i < 60; ++i) {
    EXPECT_EQ(pboot.column("pred").as_double(i), pb.column("pred").as_double(i));
    EXPECT_GT(pboot.column("mse").as_double(i), 0.0);
  }

  // A missing population column is reported as one error line.
  const Outcome missing =
      run_program(common + "--pop '" + data + "area_means.csv' --pop-size size");
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(missing.out, StartsWith("error: Missing Population Columns: "));
}

}  // namespace
}  // namespace kelp_sae::cli
