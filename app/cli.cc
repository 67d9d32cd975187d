#include "app/cli.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <ostream>
#include <regex>
#include <string>
#include <utility>

#include "app/command_support.h"
#include "kelp/errors.h"
#include "kelp_sae/version.h"

namespace kelp_sae::cli {
namespace {

void print_welcome(std::ostream& out) {
  out << "Welcome to kelp-sae!\n"
      << "This is the Small Area Estimation package.\n"
      << "Use `kelp-sae --version` for version info.\n";
}

// Flushes the output stream; a report that did not reach it is a failure.
int finish(int status, Io& io) {
  io.out << std::flush;
  if (status == 0 && !io.out) {
    io.err << "error: Cannot write to the standard output: "
           << std::strerror(errno != 0 ? errno : EIO) << ".\n";
    return 1;
  }
  return status;
}

int run_parsed(const std::vector<std::string>& args, Io& io) {
  const std::vector<CommandDefinition> commands = registered_commands();
  if (args.empty()) {
    print_welcome(io.out);
    return 0;
  }
  if (args.front() == "--version") {
    io.out << "kelp-sae version " << kelp_sae::version << '\n';
    return 0;
  }
  const std::string& first = args.front();
  const bool is_command = std::any_of(commands.begin(), commands.end(),
                                      [&](const CommandDefinition& c) { return c.name == first; });
  if (!is_command && (first.empty() || first.front() != '-')) {
    std::string names;
    for (const CommandDefinition& c : commands) names += (names.empty() ? "" : ", ") + c.name;
    io.err << "error: Unknown subcommand '" << kelp::printable(first) << "'. The subcommands are "
           << names << "; see kelp-sae --help.\n";
    return 2;
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
    // An unknown option is named first, even when it also hid a required one.
    const std::vector<std::string> unknown = app.remaining(true);
    if (!unknown.empty()) {
      // ExtrasError lists its arguments from the back.
      io.err << "error: "
             << one_line(
                    CLI::ExtrasError(std::vector<std::string>(unknown.rbegin(), unknown.rend()))
                        .what());
    } else {
      io.err << "error: " << one_line(e.what());
    }
    if (!unknown.empty()) io.err << ". See kelp-sae --help for the options.";
    io.err << '\n';
    return 2;
  }
  if (!action) {
    io.out << app.help();
    return 0;
  }
  try {
    return action(io);
  } catch (const CLI::ParseError& e) {
    io.err << "error: " << one_line(e.what()) << '\n';
    return 2;
  } catch (const std::bad_alloc&) {
    const std::string& activity = current_activity();
    io.err << "error: Out of memory" << (activity.empty() ? "" : " while ") << activity << ".\n";
    return 1;
  } catch (const std::exception& e) {
    io.err << "error: " << one_line(in_program_terms(e.what())) << '\n';
    return 1;
  }
}

}  // namespace

std::string in_program_terms(std::string message) {
  // Library texts name keyword arguments; the program's user knows flags.
  static const std::pair<std::regex, const char*> kTerms[] = {
      {std::regex("'drop_nulls=True'"), "--drop-nulls"},
      {std::regex("\\(variance=None\\)"), "(no --variance)"},
      {std::regex("'pop_data'"), "--pop-data"},
      {std::regex("a 'kelp\\.Sample' object"), "--sample with --weight"},
      {std::regex("\\bn_reps\\b"), "--n-reps"},
      {std::regex("\\bbatch_size\\b"), "--batch-size"},
      {std::regex("\\bmax_iter\\b"), "--max-iter"},
      {std::regex("\\bdrop_nulls\\b"), "--drop-nulls"},
      {std::regex("\\bratio_denom\\b"), "--ratio-denom"},
      {std::regex("\\bpop_size\\b"), "--pop-size"},
      {std::regex("\\bn_mc\\b"), "--n-mc"},
      {std::regex("\\bbenchmark_type\\b"), "--benchmark-type"},
      {std::regex("\\btransform_shift\\b"), "--shift"},
      {std::regex("\\bboxcox_bounds\\b"), "--lambda-bounds"},
      {std::regex("\\bboxcox_param\\b"), "--lambda"},
      {std::regex("\\bset mse to false\\b"), "give --no-mse"},
      {std::regex("\\bthreshold must\\b"), "--threshold must"},
  };
  for (const auto& [pattern, flag] : kTerms) message = std::regex_replace(message, pattern, flag);
  return message;
}

std::string one_line(std::string_view message) {
  return kelp::printable(message, std::string_view::npos);
}

int run(const std::vector<std::string>& args, Io io) {
  errno = 0;
  doing("");
  return finish(run_parsed(args, io), io);
}

}  // namespace kelp_sae::cli
