// The kelp-sae command line: parses an argument vector, runs the chosen
// subcommand through the library and returns the process exit status.
//
// Exit statuses: 0 success (also the welcome and version texts), 1 a failure
// of the estimation (one line "error: <message>" on the error stream), 2 a
// usage error.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kelp_sae::cli {

struct Io {
  std::ostream& out;
  std::ostream& err;
};

// Runs the program on its arguments (without the program name).
int run(const std::vector<std::string>& args, Io io);

// A library message in the program's terms: the keyword arguments that
// library texts name (n_reps, 'drop_nulls=True', ...) become the flags.
std::string in_program_terms(std::string message);

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
