// What every estimation subcommand shares: outputs that never replace an
// input or each other, designs the fit cannot identify, option checks and
// one-line errors, run in process for fh, eblup and ebp alike.
#include "app/command_support.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cli_runner.h"

namespace kelp_sae::cli {
namespace {

namespace fs = std::filesystem;
using kelp_sae::testing::run_cli;
using Outcome = kelp_sae::testing::CliOutcome;

constexpr const char* kAreas =
    "area,y,var,x,c\n1,10.2,1.1,3.0,7\n2,12.9,0.8,4.1,7\n3,9.1,1.5,2.2,7\n"
    "4,14.8,0.6,5.0,7\n5,11.7,1.2,3.9,7\n6,13.1,0.9,4.4,7\n";
constexpr const char* kUnits =
    "area,y,x,c\n1,10.5,1.0,2\n1,11.0,2.0,2\n1,12.5,2.5,2\n2,15.0,3.0,2\n2,14.0,3.5,2\n"
    "3,9.0,0.5,2\n3,8.0,1.0,2\n3,10.0,1.5,2\n3,9.5,1.2,2\n";
constexpr const char* kCensus =
    "area,x,c\n1,1.0,2\n1,2.2,2\n2,3.1,2\n2,2.9,2\n3,1.1,2\n3,0.7,2\n4,2.0,2\n";

class CommandSupportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kelp_sae_support_" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    write("areas.csv", kAreas);
    write("units.csv", kUnits);
    write("census.csv", kCensus);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  void write(const std::string& name, const std::string& text) const {
    std::ofstream(path(name)) << text;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name));
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::vector<std::string> files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // The subcommands on the test data, with `x` as covariates.
  std::vector<std::vector<std::string>> subcommands(const std::string& x = "x") const {
    return {{"fh", "--data", path("areas.csv"), "--y", "y", "--area", "area", "--variance", "var",
             "--x", x, "--quiet"},
            {"eblup", "--sample", path("units.csv"), "--pop", path("census.csv"), "--y", "y",
             "--area", "area", "--x", x, "--quiet"},
            {"ebp", "--sample", path("units.csv"), "--pop", path("census.csv"), "--y", "y",
             "--area", "area", "--x", x, "--n-mc", "2", "--no-mse", "--quiet"}};
  }

  static Outcome run_with(std::vector<std::string> args, const std::vector<std::string>& extra) {
    args.insert(args.end(), extra.begin(), extra.end());
    return run_cli(args);
  }

  fs::path dir_;
};

TEST_F(CommandSupportTest, AnOutputThatIsAnInputOrAnotherOutputIsAUsageError) {
  fs::create_directory(path("sub"));
  fs::create_hard_link(path("units.csv"), path("units_link.csv"));
  fs::create_symlink(path("areas.csv"), path("areas_link.csv"));
  const std::vector<std::string> before = files();
  const std::string units = read("units.csv");
  const std::string areas = read("areas.csv");
  struct Case {
    std::size_t subcommand;  // 0 fh, 1 eblup, 2 ebp
    std::vector<std::string> outputs;
    std::string err;
  };
  const std::string respelled_units = path("sub") + "/../units.csv";
  const std::vector<Case> cases = {
      {0,
       {"--out", path("areas.csv")},
       "error: --out: '" + path("areas.csv") +
           "' is the --data input file; an output must not replace an input.\n"},
      {0,
       {"--json", path("areas_link.csv")},
       "error: --json: '" + path("areas_link.csv") +
           "' is the --data input file; an output must not replace an input.\n"},
      {1,
       {"--fixed-out", respelled_units},
       "error: --fixed-out: '" + respelled_units +
           "' is the --sample input file; an output must not replace an input.\n"},
      {1,
       {"--out", path("pred.csv"), "--json", path("census.csv")},
       "error: --json: '" + path("census.csv") +
           "' is the --pop input file; an output must not replace an input.\n"},
      {2,
       {"--wide-out", path("units_link.csv")},
       "error: --wide-out: '" + path("units_link.csv") +
           "' is the --sample input file; an output must not replace an input.\n"},
      {2,
       {"--out", path("same.csv"), "--json", path("sub") + "/.././same.csv"},
       "error: --json: '" + path("sub") + "/.././same.csv' is the file of --out ('" +
           path("same.csv") + "'); each output needs its own file.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.err);
    const Outcome o = run_with(subcommands()[c.subcommand], c.outputs);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(files(), before);
    EXPECT_EQ(read("units.csv"), units);
    EXPECT_EQ(read("areas.csv"), areas);
  }
  // A device may take several outputs: it is written in place.
  for (const std::vector<std::string>& args : subcommands()) {
    SCOPED_TRACE(args.front());
    const Outcome o = run_with(args, {"--out", "/dev/null", "--json", "/dev/null"});
    EXPECT_EQ(o.status, 0) << o.err;
  }
}

TEST_F(CommandSupportTest, DesignsTheFitCannotIdentifyAreRejectedInEverySubcommand) {
  const struct {
    std::string x;
    std::string err;
  } cases[] = {
      {"x,x",
       "error: Duplicate covariates: Covariate 'x' is given 2 times; give each covariate once.\n"},
      {"x,c",
       "error: Collinear covariates: 'c' is constant in the data, like the intercept; drop "
       "it.\n"},
  };
  for (const auto& c : cases) {
    for (const std::vector<std::string>& args : subcommands(c.x)) {
      SCOPED_TRACE(args.front() + " --x " + c.x);
      const Outcome o = run_cli(args);
      EXPECT_EQ(o.status, 1);
      EXPECT_EQ(o.err, c.err);
    }
  }
  // Three units for three coefficients, with the bootstrap MSE or the EBP.
  write("three.csv", "area,y,x,z\n1,10.5,1.0,4\n1,11.0,2.0,1\n2,15.0,3.0,3\n");
  const std::string too_few =
      "error: Too few observations: The {} fit needs more sample units than design columns; "
      "found 3 sample units for 3 columns.\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> small = {
      {{"eblup", "--mse", "Bootstrap", "--n-reps", "2"}, "nested-error"},
      {{"ebp", "--n-mc", "2", "--n-reps", "2"}, "EBP"}};
  for (const auto& [command, fit] : small) {
    SCOPED_TRACE(command.front());
    std::vector<std::string> args = command;
    args.insert(args.end(), {"--sample", path("three.csv"), "--pop", path("census.csv"), "--y", "y",
                             "--area", "area", "--x", "x,z", "--quiet"});
    const Outcome o = run_cli(args);
    EXPECT_EQ(o.status, 1);
    std::string expected = too_few;
    expected.replace(expected.find("{}"), 2, fit);
    EXPECT_EQ(o.err, expected);
  }
}

TEST_F(CommandSupportTest, NonFiniteToleranceIsAUsageError) {
  for (const char* tol : {"inf", "nan", "-inf"}) {
    for (const std::vector<std::string>& args : subcommands()) {
      SCOPED_TRACE(args.front() + " --tol " + tol);
      const Outcome o = run_with(args, {"--tol", tol});
      EXPECT_EQ(o.status, 2);
      EXPECT_EQ(o.err,
                std::string("error: --tol: must be a positive number; got '") + tol + "'.\n");
    }
  }
}

TEST_F(CommandSupportTest, AMissingCensusColumnIsOneLine) {
  write("census_no_x.csv", "area,c\n1,2\n2,2\n");
  for (std::size_t s : {1, 2}) {
    std::vector<std::string> args = subcommands()[s];
    std::replace(args.begin(), args.end(), path("census.csv"), path("census_no_x.csv"));
    SCOPED_TRACE(args.front());
    const Outcome o = run_cli(args);
    EXPECT_EQ(o.status, 1);
    EXPECT_THAT(o.err, ::testing::HasSubstr("column \"x\" not found"));
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
  }
}

}  // namespace
}  // namespace kelp_sae::cli
