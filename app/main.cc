// kelp-sae: the program entry point. Parsing and work live in the cli library.
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return kelp_sae::cli::run(args, {.out = std::cout, .err = std::cerr});
}
