// Test helpers that run the kelp-sae command line: in process on an argument
// vector, or the built program through the shell.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"

namespace kelp_sae::testing {

struct CliOutcome {
  int status;
  std::string out;
  std::string err;
};

// Runs the command line in process with captured output streams.
inline CliOutcome run_cli(const std::vector<std::string>& args) {
  std::ostringstream out;
  std::ostringstream err;
  const int status = cli::run(args, {.out = out, .err = err});
  return {status, out.str(), err.str()};
}

enum class Stderr { kMerge, kDiscard };

// Runs the program at `program` with the shell-quoted `args`; its stderr is
// merged into `out` or discarded.
inline CliOutcome run_program(const std::string& program, const std::string& args,
                              Stderr stderr_mode = Stderr::kMerge) {
  const std::string command =
      "'" + program + "' " + args + (stderr_mode == Stderr::kMerge ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "popen failed for " << command;
    return {-1, "", ""};
  }
  std::string out;
  std::array<char, 4096> buffer{};
  std::size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
    out.append(buffer.data(), n);
  }
  const int raw = pclose(pipe);
  return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, out, ""};
}

}  // namespace kelp_sae::testing
