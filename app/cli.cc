#include "app/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <ostream>

#include "kelp/errors.h"
#include "kelp_sae/version.h"

namespace kelp_sae::cli {
namespace {

void print_welcome(std::ostream& out) {
  out << "Welcome to kelp-sae!\n"
      << "This is the Small Area Estimation package.\n"
      << "Use `kelp-sae --version` for version info.\n";
}

}  // namespace

int run(const std::vector<std::string>& args, Io io) {
  const std::vector<CommandDefinition> commands = registered_commands();
  const auto is_command = [&](const std::string& name) {
    return std::any_of(commands.begin(), commands.end(),
                       [&](const CommandDefinition& c) { return c.name == name; });
  };

  if (!args.empty() && args.front() == "--version") {
    io.out << "kelp-sae version " << kelp_sae::version << '\n';
    return 0;
  }
  const bool wants_help = !args.empty() && (args.front() == "--help" || args.front() == "-h");
  if (args.empty() || (!wants_help && !is_command(args.front()))) {
    print_welcome(io.out);
    return 0;
  }

  CLI::App app{"kelp-sae: small area estimation from the command line", "kelp-sae"};
  app.require_subcommand(0, 1);
  app.set_version_flag("--version", std::string("kelp-sae version ") + kelp_sae::version);
  CommandAction action;
  for (const CommandDefinition& command : commands) {
    CLI::App* sub = app.add_subcommand(command.name, command.description);
    CommandAction sub_action = command.attach(*sub);
    sub->callback([&action, sub_action] { action = sub_action; });
  }

  // CLI11 parses from the back of a reversed vector.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {  // --help on the program or a subcommand
      app.exit(e, io.out, io.err);
      return 0;
    }
    io.err << "error: " << e.what() << '\n';
    return 2;
  }
  if (!action) {
    io.out << app.help();
    return 0;
  }
  try {
    return action(io);
  } catch (const CLI::ParseError& e) {
    io.err << "error: " << e.what() << '\n';
    return 2;
  } catch (const std::exception& e) {
    io.err << "error: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace kelp_sae::cli
