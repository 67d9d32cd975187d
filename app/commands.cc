// The list of subcommands. Adding one: write its <name>_command.cc defining
// make_<name>_command(), declare it here and append it to the list.
#include "app/cli.h"

namespace kelp_sae::cli {

CommandDefinition make_fh_command();
CommandDefinition make_eblup_command();
CommandDefinition make_ebp_command();
CommandDefinition make_direct_command();

std::vector<CommandDefinition> registered_commands() {
  return {make_fh_command(), make_eblup_command(), make_ebp_command(), make_direct_command()};
}

}  // namespace kelp_sae::cli
