// kelp-sae fh: option parsing and usage errors in process, and the built
// program end to end on the bundled example data in both modes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/cli.h"
#include "kelp/table.h"
#include "kelp_sae/core/replicate_share.h"
#include "kelp_sae/models/area.h"
#include "tests/support/cli_runner.h"

namespace kelp_sae::cli {
namespace {

using Outcome = kelp_sae::testing::CliOutcome;
using kelp_sae::testing::run_cli;

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string kExamples = std::string(KELP_SAE_SOURCE_DIR) + "/examples/data/";

// A private scratch folder, removed at the end of each test.
class FhCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("kelp_sae_fh_" + std::to_string(getpid()) + "_" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    write("areas.csv",
          "area,y,var,x1,x2,region,label\n"
          "1,10.2,1.1,3.0,0.5,East,a\n"
          "2,12.9,0.8,4.1,0.2,West,b\n"
          "3,9.1,1.5,2.2,0.9,East,c\n"
          "4,14.8,0.6,5.0,0.4,North,d\n"
          "5,11.7,1.2,3.9,0.7,West,e\n"
          "6,13.1,0.9,4.4,0.1,North,f\n"
          "7,8.4,1.7,1.9,0.8,East,g\n"
          "8,12.2,1.0,4.0,0.3,West,h\n"
          "9,15.6,0.7,5.3,0.6,North,i\n"
          "10,10.9,1.3,3.1,,East,j\n");
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name)) << text;
  }
  static std::string read(const std::string& file) {
    std::ifstream in(file);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // The area-table options on the scratch table, then `extra`.
  std::vector<std::string> area_args(std::vector<std::string> extra) const {
    std::vector<std::string> args = {"fh",     "--data", path("areas.csv"), "--y", "y",
                                     "--area", "area",   "--variance",      "var"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  fs::path dir_;
};

TEST_F(FhCommandTest, UsageErrorsExitWithStatusTwo) {
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string message;
  };
  const std::string areas = path("areas.csv");
  const std::vector<Case> cases = {
      {"neither input", {"fh", "--y", "y", "--area", "area"}, "Give either --data FILE"},
      {"both inputs",
       {"fh", "--data", areas, "--sample", areas, "--pop-data", areas, "--y", "y", "--area",
        "area"},
       "--data"},
      {"area table without variance",
       {"fh", "--data", areas, "--y", "y", "--area", "area"},
       "--variance"},
      {"sample without pop data",
       {"fh", "--sample", areas, "--y", "y", "--area", "area"},
       "--pop-data"},
      {"design with an area table", area_args({"--weight", "w"}), "--sample"},
      {"variance with a sample",
       {"fh", "--sample", areas, "--pop-data", areas, "--variance", "var", "--y", "y", "--area",
        "area"},
       "--variance"},
      {"ratio without denominator",
       {"fh", "--sample", areas, "--pop-data", areas, "--statistic", "Ratio", "--y", "y", "--area",
        "area"},
       "--statistic Ratio needs --ratio-denom COL."},
      {"denominator without ratio",
       {"fh", "--sample", areas, "--pop-data", areas, "--ratio-denom", "x1", "--y", "y", "--area",
        "area"},
       "--ratio-denom applies only with --statistic Ratio."},
      {"unknown statistic",
       {"fh", "--sample", areas, "--pop-data", areas, "--statistic", "Median", "--y", "y", "--area",
        "area"},
       "Median"},
      {"missing response", {"fh", "--data", areas, "--variance", "var", "--area", "area"}, "--y"},
      {"missing file",
       {"fh", "--data", path("nope.csv"), "--variance", "var", "--y", "y", "--area", "area"},
       "nope.csv"},
      {"unknown method", area_args({"--method", "REM"}), "REM"},
      {"unknown mse", area_args({"--mse", "bootstap"}), "bootstap"},
      {"zero replicates", area_args({"--n-reps", "0"}), "--n-reps"},
      {"negative seed", area_args({"--seed", "-3"}), "--seed"},
      {"narrow report", area_args({"--width", "20"}), "--width"},
      {"zero threads", area_args({"--threads", "0"}), "--threads"},
      {"unknown option", area_args({"--frobnicate"}), "--frobnicate"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome o = run_cli(c.args);
    EXPECT_EQ(o.status, 2);
    EXPECT_THAT(o.err, StartsWith("error: "));
    EXPECT_THAT(o.err, HasSubstr(c.message));
    EXPECT_EQ(o.out, "");
  }
}

TEST_F(FhCommandTest, NumberOptionErrorsNameTheOptionAndTheRange) {
  struct Case {
    std::vector<std::string> extra;
    std::string err;
  };
  const std::string reps = "must be a whole number from 1 to 1000000000; got '";
  const std::string seed = "--seed: must be a whole number from 0 to 9223372036854775807; got '";
  const std::vector<Case> cases = {
      {{"--n-reps", "0"}, "--n-reps: " + reps + "0'."},
      {{"--n-reps", "2147483647"}, "--n-reps: " + reps + "2147483647'."},
      {{"--batch-size", "1e10"}, "--batch-size: " + reps + "1e10'."},
      {{"--batch-size", "2.5"}, "--batch-size: " + reps + "2.5'."},
      {{"--seed", "-3"}, seed + "-3'."},
      {{"--seed", "9223372036854775808"}, seed + "9223372036854775808'."},
      {{"--seed", "1e300"}, seed + "1e300'."},
      {{"--seed", "9.223372036854775808e18"}, seed + "9.223372036854775808e18'."},
      {{"--tol", "0"}, "--tol: must be a positive number; got '0'."},
      {{"--tol", "inf"}, "--tol: must be a positive number; got 'inf'."},
      {{"--max-iter", "-1"}, "--max-iter: must be a whole number from 0 to 2147483647; got '-1'."},
      {{"--width", "20"}, "--width: must be a whole number from 21 to 100000; got '20'."},
      {{"--threads", "0"}, "--threads: must be a whole number from 1 to 4096; got '0'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    const Outcome o = run_cli(area_args(c.extra));
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, "error: " + c.err + "\n");
  }
}

TEST_F(FhCommandTest, EstimationFailuresPrintOneErrorLine) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {area_args({"--x", "x1,income"}), "error: Missing columns: "},
      {area_args({"--x", "label"}),
       "error: Non-numeric column: Column 'label' (covariate) holds text; it must be numeric.\n"},
      {area_args({"--x", "x2", "--keep-nulls"}),
       "error: Non-finite values: 1 area has missing or non-finite values in column 'x2'.\n"},
      {area_args({"--max-iter", "0"}),
       "error: Optimization failed: BFGS optimizer did not converge.\n"},
      {area_args({"--cat", "region:Nowhere"}),
       "error: Unknown reference level: --cat region:Nowhere: 'Nowhere' is not a level of "
       "column 'region' in the --data table; its levels are 'East', 'North', 'West'.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    const Outcome o = run_cli(c.args);
    EXPECT_EQ(o.status, 1);
    EXPECT_THAT(o.err, StartsWith(c.err));
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1);
    EXPECT_EQ(o.out, "");
  }
}

TEST_F(FhCommandTest, OptionsReachTheModel) {
  // --x lists and --cat terms in order, ML, nulls dropped: the same fit as
  // the library call with the same options.
  const Outcome o = run_cli(
      area_args({"--x", "x1", "--cat", "region:West", "--x", "x2", "--method", "ml", "--tol",
                 "1e-8", "--quiet", "--fixed-out", path("fixed.csv"), "--out", path("pred.csv")}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");

  AreaLevel model(kelp::read_csv(path("areas.csv")));
  const SAEResults expected = model.fh("y", {"x1", "x2", kelp::Cat{"region", "West"}}, "area",
                                       {.variance = "var", .method = "ML", .run = {.tol = 1e-8}});
  const kelp::Table fixed = kelp::read_csv(path("fixed.csv"));
  EXPECT_EQ(fixed.column_names(),
            (std::vector<std::string>{"term", "est", "se", "t_score", "p_value", "lci", "uci"}));
  ASSERT_EQ(fixed.num_rows(), expected.fixed_effects().size());
  for (std::size_t j = 0; j < fixed.num_rows(); ++j) {
    EXPECT_EQ(fixed.column("term").text(j), expected.fixed_effects()[j].term);
    EXPECT_EQ(fixed.column("est").as_double(j), expected.fixed_effects()[j].est);
  }
  EXPECT_EQ(fixed.column("term").text(3), "region_East");
  const kelp::Table pred = kelp::read_csv(path("pred.csv"));
  EXPECT_EQ(pred.num_rows(), 9u);  // area 10 has a null x2
  for (std::size_t i = 0; i < pred.num_rows(); ++i) {
    EXPECT_EQ(pred.column("pred").as_double(i), expected.prediction()[i].pred);
    EXPECT_EQ(pred.column("mse").as_double(i), expected.prediction()[i].mse);
  }
}

TEST_F(FhCommandTest, PrintsTheReportUnlessQuiet) {
  const Outcome o = run_cli(area_args({"--x", "x1", "--width", "72"}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_THAT(o.out, HasSubstr("SAE: Fay-Herriot (MSE: Prasad Rao) - Area Level"));
  EXPECT_THAT(o.out, HasSubstr("Intercept"));
  EXPECT_EQ(o.out.find("\x1b["), std::string::npos);  // not a terminal: no styles
  std::istringstream lines(o.out);
  for (std::string line; std::getline(lines, line);) {
    // Box-drawing characters take three bytes each; count code points.
    const auto width =
        std::count_if(line.begin(), line.end(), [](char ch) { return (ch & 0xC0) != 0x80; });
    EXPECT_EQ(width, 72) << line;
  }
}

TEST_F(FhCommandTest, OutputsAreWrittenWholeOrNotAtAll) {
  // A failing output, or a failing fit, leaves the folder as it was: the
  // earlier predictions untouched and no new or temporary file.
  fs::create_directory(path("sub"));
  struct Case {
    std::vector<std::string> extra;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"--json", path("missing/res.json")},
       "error: Cannot write --json file '" + path("missing/res.json") +
           "': No such file or directory.\n"},
      {{"--json", path("sub")},
       "error: Cannot write --json file '" + path("sub") + "': Is a directory.\n"},
      {{"--json", "/dev/full"},
       "error: Cannot write --json file '/dev/full': No space left on device.\n"},
      {{"--max-iter", "0"}, "error: Optimization failed: BFGS optimizer did not converge.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    write("pred.csv", "earlier\n");
    std::vector<std::string> extra = {"--quiet", "--out", path("pred.csv"), "--fixed-out",
                                      path("fixed.csv")};
    extra.insert(extra.end(), c.extra.begin(), c.extra.end());
    const Outcome o = run_cli(area_args(extra));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(read(path("pred.csv")), "earlier\n");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"areas.csv", "pred.csv", "sub"}));
  }
  // A device is written in place, never replaced.
  const Outcome to_stdout = run_cli(area_args({"--quiet", "--json", "/dev/null"}));
  EXPECT_EQ(to_stdout.status, 0) << to_stdout.err;
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(FhCommandTest, HtmlReportWithShapes) {
  // Shapes for areas 1 and 2 only, keyed by a number; one for an area 99.
  std::string features;
  for (const int a : {1, 2, 99}) {
    features += std::string(features.empty() ? "" : ",") +
                R"({"type":"Feature","properties":{"code":)" + std::to_string(a) +
                R"(},"geometry":{"type":"Polygon","coordinates":[[[0,0],[1,0],[1,1],[0,0]]]}})";
  }
  write("shapes.geojson", R"({"type":"FeatureCollection","features":[)" + features + "]}");
  const Outcome o = run_cli(area_args({"--x", "x1", "--quiet", "--html", path("r.html"), "--shapes",
                                       path("shapes.geojson"), "--shapes-key", "code"}));
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err,
            "[warning] kelp_sae.cli: --shapes: 8 of 10 areas have no shape: '3', '4', '5', '6', "
            "'7' and 3 more.\n"
            "[warning] kelp_sae.cli: --shapes: 1 shapes have no estimate: '99'.\n");
  const std::string html = read(path("r.html"));
  EXPECT_THAT(html, HasSubstr("<title>SAE: Fay-Herriot (MSE: Prasad Rao) - Area Level</title>"));
  EXPECT_THAT(html, HasSubstr("\"kelp_area\":\"1\",\"e0\":"));

  // Shapes need the report and a key; a file that is not GeoJSON, or a key
  // no shape has, is one error line before the fit (which would fail here)
  // and leaves no report.
  EXPECT_EQ(run_cli(area_args({"--shapes", path("shapes.geojson"), "--shapes-key", "code"})).status,
            2);
  EXPECT_EQ(
      run_cli(area_args({"--html", path("s.html"), "--shapes", path("shapes.geojson")})).status, 2);
  write("bad.geojson", "{\"type\":");
  const Outcome bad = run_cli(area_args({"--quiet", "--max-iter", "0", "--html", path("s.html"),
                                         "--shapes", path("bad.geojson"), "--shapes-key", "c"}));
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err,
            "error: Cannot read --shapes file '" + path("bad.geojson") + "': not JSON (byte 9).\n");
  const Outcome no_key = run_cli(area_args({"--quiet", "--html", path("s.html"), "--shapes",
                                            path("shapes.geojson"), "--shapes-key", "name"}));
  EXPECT_EQ(no_key.status, 1);
  EXPECT_EQ(no_key.err, "error: Cannot use --shapes file '" + path("shapes.geojson") +
                            "': no shape has the property 'name' (--shapes-key name).\n");
  EXPECT_FALSE(fs::exists(path("s.html")));
}

TEST_F(FhCommandTest, LatinOneLabelsKeepTheirBytesInCsvAndAreReplacedInJson) {
  write("latin1.csv",
        "area,y,var,x1\n"
        "K\xf6ln,10.2,1.1,3.0\nM\xfcnchen,12.9,0.8,4.1\nBonn,9.1,1.5,2.2\n"
        "Essen,14.8,0.6,5.0\nKiel,11.7,1.2,3.9\n");
  const Outcome o =
      run_cli({"fh", "--data", path("latin1.csv"), "--y", "y", "--area", "area", "--variance",
               "var", "--x", "x1", "--quiet", "--out", path("pred.csv"), "--json", path("r.json")});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err,
            "[warning] kelp_sae.cli: Column 'area' holds labels that are not valid UTF-8 "
            "(Latin-1?); the JSON output replaces their invalid bytes with U+FFFD, the CSV "
            "output keeps them.\n");
  const kelp::Table pred = kelp::read_csv(path("pred.csv"));
  std::ifstream json_file(path("r.json"));
  const nlohmann::json j = nlohmann::json::parse(json_file);
  std::vector<std::string> csv_areas;
  std::vector<std::string> json_areas;
  for (std::size_t i = 0; i < pred.num_rows(); ++i) {
    csv_areas.push_back(pred.column("area").text(i));
    json_areas.push_back(j.at("prediction")[i].at("area").get<std::string>());
  }
  EXPECT_THAT(csv_areas, ::testing::Contains("K\xf6ln"));
  EXPECT_THAT(csv_areas, ::testing::Contains("M\xfcnchen"));
  EXPECT_THAT(json_areas, ::testing::Contains("K\xef\xbf\xbdln"));
  EXPECT_THAT(json_areas, ::testing::Contains("M\xef\xbf\xbdnchen"));
}

TEST_F(FhCommandTest, ProgressIsShownOnTheErrorStreamUnlessQuietOrNoProgress) {
  struct Case {
    std::vector<std::string> extra;
    bool shown;
  };
  const std::vector<Case> cases = {{{}, true}, {{"--no-progress"}, false}, {{"--quiet"}, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.extra));
    std::vector<std::string> extra = {"--mse",        "bootstrap", "--n-reps", "10",
                                      "--batch-size", "5",         "--seed",   "1"};
    extra.insert(extra.end(), c.extra.begin(), c.extra.end());
    const Outcome o = run_cli(area_args(extra));
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, c.shown ? "Bootstrap FH: 10 reps, batch_size=5, batches=2\n"
                               "  Batch 1/2 completed.\n  Batch 2/2 completed.\n"
                             : "");
    EXPECT_EQ(o.out.find("Batch"), std::string::npos);
  }
}

TEST_F(FhCommandTest, AnySeedReproducesTheBootstrapAndNoSeedDrawsAFreshOne) {
  const auto bootstrap_mse = [this](std::vector<std::string> seed) {
    std::vector<std::string> extra = {"--mse",   "bootstrap", "--n-reps",      "2e1",
                                      "--quiet", "--out",     path("pred.csv")};
    extra.insert(extra.end(), seed.begin(), seed.end());
    const Outcome o = run_cli(area_args(extra));
    EXPECT_EQ(o.status, 0) << o.err;
    return read(path("pred.csv"));
  };
  for (const std::string seed : {"0", "1", "9223372036854775807"}) {
    SCOPED_TRACE(seed);
    EXPECT_EQ(bootstrap_mse({"--seed", seed}), bootstrap_mse({"--seed", seed}));
  }
  EXPECT_NE(bootstrap_mse({"--seed", "0"}), bootstrap_mse({"--seed", "1"}));
  EXPECT_NE(bootstrap_mse({}), bootstrap_mse({}));  // equal with probability 2^-30
}

// ---------------------------------------------------------------------------
// The built program on the example data.

using ProgramOutcome = kelp_sae::testing::CliOutcome;

ProgramOutcome run_program(const std::string& args) {
  return testing::run_program(KELP_SAE_PROGRAM, args);
}

// The predictions CSV and the JSON hold the same rows at full precision.
void expect_consistent_outputs(const std::string& csv_path, const std::string& json_path,
                               std::size_t expected_areas, const std::string& model_type) {
  const kelp::Table pred = kelp::read_csv(csv_path);
  EXPECT_EQ(pred.column_names(),
            (std::vector<std::string>{"area", "pred", "mse", "cv", "lci", "uci", "indicator"}));
  ASSERT_EQ(pred.num_rows(), expected_areas);

  std::ifstream json_file(json_path);
  const nlohmann::json j = nlohmann::json::parse(json_file);
  EXPECT_EQ(j.at("level"), "Area Level");
  EXPECT_EQ(j.at("model_type"), model_type);
  const auto& rows = j.at("prediction");
  ASSERT_EQ(rows.size(), expected_areas);
  EXPECT_EQ(j.at("stats").at("n_areas"), expected_areas);
  for (std::size_t i = 0; i < expected_areas; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pred.column("area").text(i), rows[i].at("area").get<std::string>());
    // Full precision: the CSV text reads back to the very same double.
    EXPECT_EQ(pred.column("pred").as_double(i), rows[i].at("pred").get<double>());
    EXPECT_EQ(pred.column("mse").as_double(i), rows[i].at("mse").get<double>());
    EXPECT_EQ(pred.column("cv").as_double(i), rows[i].at("cv").get<double>());
    EXPECT_EQ(pred.column("indicator").text(i), "mean");
    EXPECT_GT(pred.column("mse").as_double(i), 0.0);
    EXPECT_NEAR(pred.column("uci").as_double(i) - pred.column("lci").as_double(i),
                2 * 1.96 * std::sqrt(pred.column("mse").as_double(i)), 1e-9);
  }
}

TEST_F(FhCommandTest, ProgramRunsAreaTableModeOnTheExampleData) {
  const ProgramOutcome o = run_program(
      "fh --data " + kExamples + "area_table.csv --y y --area area --variance var --x x1,x2 " +
      "--cat region --out " + path("pred.csv") + " --json " + path("res.json") +
      " --width 90 --mse bootstrap --n-reps 50 --batch-size 10 --seed 7 --no-progress");
  ASSERT_EQ(o.status, 0) << o.out;
  EXPECT_THAT(o.out, HasSubstr("SAE: Fay-Herriot (MSE: Bootstrap) - Area Level"));
  expect_consistent_outputs(path("pred.csv"), path("res.json"),
                            kelp::read_csv(kExamples + "area_table.csv").num_rows(),
                            "Fay-Herriot (MSE: Bootstrap)");
  // The same seed reproduces the bootstrap, whatever the thread count.
  const ProgramOutcome again = run_program(
      "fh --data " + kExamples + "area_table.csv --y y --area area --variance var --x x1,x2 " +
      "--cat region --out " + path("pred2.csv") +
      " --quiet --mse bootstrap --n-reps 50 --batch-size 10 --seed 7 --no-progress --threads 1");
  ASSERT_EQ(again.status, 0) << again.out;
  EXPECT_EQ(read(path("pred.csv")), read(path("pred2.csv")));
}

TEST_F(FhCommandTest, ProgramRunsRawSampleModeOnTheExampleData) {
  const std::string sample = kExamples + "survey_sample.csv";
  const std::string areas = kExamples + "survey_areas.csv";
  const ProgramOutcome o = run_program(
      "fh --sample " + sample + " --weight weight --strata stratum --psu psu --pop-data " + areas +
      " --y income --area area --x x1,x2 --out " + path("pred.csv") + " --json " +
      path("res.json") + " --verbose");
  ASSERT_EQ(o.status, 0) << o.out;
  EXPECT_THAT(o.out, HasSubstr("SAE: Fay-Herriot (MSE: Prasad Rao) - Area Level"));

  // Areas present both in the sample and in the area table.
  const kelp::Table units = kelp::read_csv(sample);
  const kelp::Table covariates = kelp::read_csv(areas);
  std::size_t both = 0;
  const kelp::Column sampled = units.distinct("area");
  for (std::size_t i = 0; i < sampled.size(); ++i) {
    const kelp::Column known = covariates.distinct("area");
    for (std::size_t k = 0; k < known.size(); ++k) both += known.text(k) == sampled.text(i);
  }
  ASSERT_GT(both, 0u);
  expect_consistent_outputs(path("pred.csv"), path("res.json"), both,
                            "Fay-Herriot (MSE: Prasad Rao)");
  std::ifstream json_file(path("res.json"));
  EXPECT_EQ(nlohmann::json::parse(json_file).at("y"), "direct_est");
}

TEST_F(FhCommandTest, ProgramFailuresPrintOneLine) {
  // A failing direct estimation is one "error:" line, without the library's
  // log line; so is running out of memory; a report that cannot be written
  // fails.
  const ProgramOutcome failed =
      run_program("fh --sample " + kExamples + "survey_sample.csv --weight nope --pop-data " +
                  kExamples + "survey_areas.csv --y income --area area --x x1");
  EXPECT_EQ(failed.status, 1);
  EXPECT_THAT(failed.out, StartsWith("error: "));
  EXPECT_EQ(std::count(failed.out.begin(), failed.out.end(), '\n'), 1) << failed.out;

#if !defined(__SANITIZE_ADDRESS__)  // ASan reserves more address space than the limit
  // Replicates that do not fit in memory: the message says which option to lower.
  const ProgramOutcome no_memory = testing::run_program(
      "/bin/sh", "-c \"ulimit -v 400000 && exec '" + std::string(KELP_SAE_PROGRAM) +
                     "' eblup --sample " + kExamples + "unit_sample.csv --pop " + kExamples +
                     "census.csv --y y --x x1 --area area --mse Bootstrap --n-reps 1e9 "
                     "--batch-size 1e9 --quiet\"");
  EXPECT_EQ(no_memory.status, 1);
  EXPECT_THAT(no_memory.out, StartsWith("error: "));
  EXPECT_THAT(no_memory.out, HasSubstr("lower --batch-size"));
  EXPECT_EQ(std::count(no_memory.out.begin(), no_memory.out.end(), '\n'), 1) << no_memory.out;
#endif

  const ProgramOutcome full = testing::run_program(
      KELP_SAE_PROGRAM,
      "fh --data " + path("areas.csv") + " --y y --area area --variance var >/dev/full",
      testing::Stderr::kDiscard);
  EXPECT_EQ(full.status, 1);
}

// The processes of an MPI run, played in one process: a follower writes and
// prints nothing; without --seed every process uses the lead's seed, which
// gives the numbers of --seed with that value.
TEST_F(FhCommandTest, ProcessesOfAnMpiRunShareTheSeedAndOnlyTheLeadWrites) {
  const std::vector<std::string> bootstrap = {"--x", "x1", "--mse", "bootstrap", "--n-reps", "6"};
  auto run_as = [&](bool lead, const std::string& out, std::vector<std::string> extra) {
    const Processes processes{
        .share = std::make_shared<SingleProcessShare>(), .lead = lead, .seed = 4242};
    std::vector<std::string> args = area_args(bootstrap);
    args.insert(args.end(), {"--out", path(out)});
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream stdout_text;
    std::ostringstream stderr_text;
    const int status = run(args, {.out = stdout_text, .err = stderr_text, .processes = &processes});
    return Outcome{status, stdout_text.str(), stderr_text.str()};
  };
  const Outcome follower = run_as(false, "follower.csv", {});
  EXPECT_EQ(follower.status, 0);
  EXPECT_EQ(follower.out + follower.err, "");
  EXPECT_FALSE(fs::exists(path("follower.csv")));

  const Outcome lead = run_as(true, "lead.csv", {"--quiet"});
  ASSERT_EQ(lead.status, 0) << lead.err;
  std::vector<std::string> seeded = area_args(bootstrap);
  seeded.insert(seeded.end(), {"--seed", "4242", "--quiet", "--out", path("seeded.csv")});
  ASSERT_EQ(run_cli(seeded).status, 0);
  EXPECT_EQ(read(path("lead.csv")), read(path("seeded.csv")));
}

}  // namespace
}  // namespace kelp_sae::cli
