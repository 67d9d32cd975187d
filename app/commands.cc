// The list of subcommands. Adding one: write its <name>_command.cc defining
// make_<name>_command(), declare it here and append it to the list.
#include "app/cli.h"

namespace kelp_sae::cli {

std::vector<CommandDefinition> registered_commands() { return {}; }

}  // namespace kelp_sae::cli
