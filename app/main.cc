// kelp-sae: the program entry point. Parsing and work live in the cli library;
// under an MPI launcher the processes share the bootstrap (app/mpi/).
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"
#ifdef KELP_SAE_WITH_MPI
#include "app/mpi/processes.h"
#include "app/mpi/run_on_processes.h"
#endif

int main(int argc, char** argv) {
#ifdef KELP_SAE_WITH_MPI
  if (kelp_sae::mpi::launched_by_mpi_launcher()) return kelp_sae::cli::run_on_processes(argc, argv);
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  return kelp_sae::cli::run(args, {.out = std::cout, .err = std::cerr});
}
