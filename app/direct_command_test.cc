#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

const std::string kSample = std::string(KELP_SAE_SOURCE_DIR) + "/examples/data/survey_sample.csv";

std::vector<std::string> base_args() {
  return {"direct",    "--sample", kSample,    "--y",     "income", "--area", "area",
          "--weights", "weight",   "--strata", "stratum", "--psu",  "psu",    "--quiet"};
}

TEST(DirectCommand, UsageErrorsExitWithStatusTwo) {
  const std::vector<std::vector<std::string>> extras = {
      {"--var", "jackknife"},
      {"--indicators", "mean,theil"},
      {"--threshold", "10", "--threshold-share", "0.6"},
      {"--n-reps", "1"},
  };
  for (const auto& extra : extras) {
    SCOPED_TRACE(::testing::PrintToString(extra));
    std::vector<std::string> args = base_args();
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(run_cli(args).status, 2);
  }
}

TEST(DirectCommand, ExampleSampleWithWideAndJsonOutputs) {
  const fs::path dir =
      fs::temp_directory_path() / ("kelp_sae_direct_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string wide = (dir / "wide.csv").string();
  const std::string json = (dir / "result.json").string();
  std::vector<std::string> args = base_args();
  args.insert(args.end(), {"--indicators", "mean,headcount,q90", "--threshold-share", "0.6",
                           "--n-reps", "20", "--seed", "3", "--wide-out", wide, "--json", json});
  const auto o = run_cli(args);
  ASSERT_EQ(o.status, 0) << o.err;
  const kelp::Table w = kelp::read_csv(wide);
  EXPECT_EQ(w.column_names(),
            (std::vector<std::string>{"area", "Mean", "Mean MSE", "Poverty Headcount",
                                      "Poverty Headcount MSE", "Quantile 90", "Quantile 90 MSE"}));
  EXPECT_EQ(w.num_rows(), 48u);
  EXPECT_EQ(w.column("Quantile 90 MSE").null_count(), 0u);
  std::ifstream in(json);
  const nlohmann::json j = nlohmann::json::parse(in);
  EXPECT_EQ(j["model_type"], "Direct");
  EXPECT_GT(j["transformation"]["poverty_line"].get<double>(), 0.0);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kelp_sae::cli
