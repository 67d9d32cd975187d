// The kelp-sae command line: parses an argument vector, runs the chosen
// subcommand through the library and returns the process exit status.
//
// Exit statuses: 0 success (also the welcome and version texts), 1 a failure
// of the estimation (one line "error: <message>" on the error stream), 2 a
// usage error.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

namespace kelp_sae {
class ReplicateShare;
}

namespace kelp_sae::cli {

// The processes of a run started by mpirun (see app/mpi/): every process
// runs the same command; the share divides the bootstrap's replicates.
struct Processes {
  std::shared_ptr<ReplicateShare> share;
  // The lead prints the report and the progress and writes the files; the
  // other processes stay silent.
  bool lead = true;
  // The run's seed when --seed is not given, drawn once for all processes.
  std::int64_t seed = 0;
};

struct Io {
  std::ostream& out;
  std::ostream& err;
  const Processes* processes = nullptr;  // null: a single process
};

// Runs the program on its arguments (without the program name).
int run(const std::vector<std::string>& args, Io io);

// A library message in the program's terms: the keyword arguments that
// library texts name (n_reps, 'drop_nulls=True', ...) become the flags.
std::string in_program_terms(std::string message);

// A message as one line of the error stream: line ends and other control
// characters escaped, as kelp::printable does (without cutting it); the
// messages name user text through kelp::printable already, this is the last
// guard of "one failure, one line".
std::string one_line(std::string_view message);

// A subcommand: its name, one-line description, and a function that declares
// its options on the CLI11 subcommand and returns the action that runs after
// parsing. Each subcommand lives in its own file.
using CommandAction = std::function<int(Io&)>;
struct CommandDefinition {
  std::string name;
  std::string description;
  std::function<CommandAction(CLI::App&)> attach;
};

// Every subcommand of the program, in the order shown by --help.
std::vector<CommandDefinition> registered_commands();

}  // namespace kelp_sae::cli
