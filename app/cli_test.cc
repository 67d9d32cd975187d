// The program shell: welcome, version and help texts, exit statuses, and the
// built binary itself.
#include "app/cli.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/mpi_launch.h"
#include "kelp_sae/version.h"
#include "tests/support/cli_runner.h"

namespace kelp_sae::cli {
namespace {

using Outcome = kelp_sae::testing::CliOutcome;
using kelp_sae::testing::run_cli;

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kWelcome =
    "Welcome to kelp-sae!\n"
    "This is the Small Area Estimation package.\n"
    "Use `kelp-sae --version` for version info.\n";

TEST(CliTest, VersionIsZeroPointOnePointZero) { EXPECT_STREQ(kelp_sae::version, "0.1.0"); }

TEST(CliTest, VersionAndWelcomeTexts) {
  struct Case {
    std::vector<std::string> args;
    std::string expected_out;
  };
  const std::string version_line = "kelp-sae version 0.1.0\n";
  const std::vector<Case> cases = {
      {{}, kWelcome},
      {{"--version"}, version_line},
      {{"--version", "--help"}, version_line},  // further arguments are ignored
      {{"--version", "extra", "args"}, version_line},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome o = run_cli(c.args);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, c.expected_out);
    EXPECT_EQ(o.err, "");
  }
}

TEST(CliTest, UnknownSubcommandsAndOptionsAreUsageErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string subcommands =
      "'. The subcommands are fh, eblup, ebp, direct; see kelp-sae --help.\n";
  const std::string options = " See kelp-sae --help for the options.\n";
  const std::vector<Case> cases = {
      {{"foo", "--bar"}, "error: Unknown subcommand 'foo" + subcommands},
      {{"unknown", "--version"}, "error: Unknown subcommand 'unknown" + subcommands},
      {{""}, "error: Unknown subcommand '" + subcommands},
      {{"--bogus"}, "error: The following argument was not expected: --bogus." + options},
      {{"-x"}, "error: The following argument was not expected: -x." + options},
      {{"-V"}, "error: The following argument was not expected: -V." + options},
      // Named first, before the required options it hid.
      {{"fh", "--bogus", "1", "--qq"},
       "error: The following arguments were not expected: --bogus 1 --qq." + options},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Outcome o = run_cli(c.args);
    EXPECT_EQ(o.status, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, c.err);
  }
}

TEST(CliTest, LibraryMessagesNameTheFlags) {
  const std::pair<std::string, std::string> cases[] = {
      {"Ensure 'drop_nulls=True' or clean your data manually.",
       "Ensure --drop-nulls or clean your data manually."},
      {"n_reps must be at most 5; lower n_reps", "--n-reps must be at most 5; lower --n-reps"},
      {"more than half the memory; lower batch_size",
       "more than half the memory; lower --batch-size"},
      {"column 'my_n_reps' is missing", "column 'my_n_reps' is missing"},
  };
  for (const auto& [library, program] : cases) {
    SCOPED_TRACE(library);
    EXPECT_EQ(kelp_sae::cli::in_program_terms(library), program);
  }
}

TEST(CliTest, HelpListsEverySubcommand) {
  for (const std::string flag : {"--help", "-h"}) {
    SCOPED_TRACE(flag);
    const Outcome o = run_cli({flag});
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, "");
    EXPECT_THAT(o.out, HasSubstr("kelp-sae"));
    for (const CommandDefinition& command : registered_commands()) {
      EXPECT_THAT(o.out, HasSubstr(command.name));
      EXPECT_THAT(o.out, HasSubstr(command.description));
    }
  }
}

TEST(CliTest, SubcommandHelpExitsCleanly) {
  for (const CommandDefinition& command : registered_commands()) {
    SCOPED_TRACE(command.name);
    const Outcome o = run_cli({command.name, "--help"});
    EXPECT_EQ(o.status, 0);
    EXPECT_THAT(o.out, HasSubstr(command.name));
    EXPECT_THAT(o.out, Not(HasSubstr(":FILE")));  // a file reads as one FILE
    EXPECT_THAT(o.out, HasSubstr("without it a fresh seed is drawn each run"));
  }
}

TEST(CliTest, SubcommandNamesAreDistinct) {
  const std::vector<CommandDefinition> commands = registered_commands();
  for (std::size_t i = 0; i < commands.size(); ++i) {
    for (std::size_t j = i + 1; j < commands.size(); ++j) {
      EXPECT_NE(commands[i].name, commands[j].name);
    }
  }
}

Outcome run_program(const std::string& args) {
  return testing::run_program(KELP_SAE_PROGRAM, args, testing::Stderr::kDiscard);
}

TEST(CliTest, MpiLaunchIsReadFromTheLaunchersEnvironment) {
  for (const char* name :
       {"OMPI_COMM_WORLD_RANK", "OMPI_COMM_WORLD_SIZE", "PMI_RANK", "PMI_SIZE", "PMIX_RANK"}) {
    unsetenv(name);
  }
  EXPECT_FALSE(mpi_launch().has_value());
  setenv("PMI_RANK", "2", 1);
  setenv("PMI_SIZE", "4", 1);
  ASSERT_TRUE(mpi_launch().has_value());
  EXPECT_EQ(mpi_launch()->rank, 2);
  EXPECT_EQ(mpi_launch()->count, 4);
  setenv("OMPI_COMM_WORLD_RANK", "1", 1);
  setenv("OMPI_COMM_WORLD_SIZE", "3", 1);
  EXPECT_EQ(mpi_launch()->rank, 1);
  EXPECT_EQ(mpi_launch()->count, 3);
  for (const char* name :
       {"OMPI_COMM_WORLD_RANK", "OMPI_COMM_WORLD_SIZE", "PMI_RANK", "PMI_SIZE"}) {
    unsetenv(name);
  }
}

TEST(CliProgramTest, BinaryPrintsVersionAndWelcome) {
  const Outcome version = run_program("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "kelp-sae version 0.1.0\n");

  const Outcome welcome = run_program("");
  EXPECT_EQ(welcome.status, 0);
  EXPECT_EQ(welcome.out, kWelcome);

  // Output that cannot be written is a failure.
  EXPECT_EQ(run_program("--version >/dev/full").status, 1);
}

// The program killed by a signal in the middle of a bootstrap: it ends by
// that signal (the shell's 130, 143, 129), leaves no temporary output file,
// and an earlier output stays as it was.
TEST(CliProgramTest, SignalsDuringTheBootstrapRemoveTemporaryOutputs) {
  namespace fs = std::filesystem;
  const std::string data = std::string(KELP_SAE_SOURCE_DIR) + "/examples/data/";
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal_number));
    const fs::path dir =
        fs::temp_directory_path() /
        ("kelp_sae_signal_" + std::to_string(::getpid()) + "_" + std::to_string(signal_number));
    fs::create_directories(dir);
    const std::string earlier = (dir / "pred.csv").string();
    std::ofstream(earlier) << "earlier\n";
    const std::vector<std::string> args = {KELP_SAE_PROGRAM,
                                           "ebp",
                                           "--sample",
                                           data + "income_sample.csv",
                                           "--pop",
                                           data + "income_census.csv",
                                           "--y",
                                           "income",
                                           "--area",
                                           "area",
                                           "--x",
                                           "hh_size,age",
                                           "--n-mc",
                                           "2",
                                           "--n-reps",
                                           "1000000",
                                           "--out",
                                           earlier,
                                           "--json",
                                           (dir / "result.json").string()};
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int progress[2];
    ASSERT_EQ(::pipe(progress), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // As started from a terminal: nothing ignored (a background job of a
      // script would ignore SIGINT).
      for (const int s : {SIGINT, SIGTERM, SIGHUP}) ::signal(s, SIG_DFL);
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(progress[1], 2);
      ::close(progress[0]);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(progress[1]);
    // Wait for the bootstrap's first batch lines.
    std::string seen;
    std::array<char, 256> buffer{};
    while (seen.find("Batch") == std::string::npos) {
      const ssize_t n = ::read(progress[0], buffer.data(), buffer.size());
      if (n <= 0) break;
      seen.append(buffer.data(), static_cast<std::size_t>(n));
    }
    EXPECT_THAT(seen, HasSubstr("Batch"));
    ::kill(pid, signal_number);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(progress[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_THAT(names, ::testing::ElementsAre("pred.csv"));
    std::ifstream in(earlier);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "earlier");
    fs::remove_all(dir);
  }
}

}  // namespace
}  // namespace kelp_sae::cli
