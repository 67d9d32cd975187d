// kelp-sae: the program entry point. Parsing and work live in the cli library;
// under an MPI launcher the processes share the bootstrap (app/mpi/).
#include <iostream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/mpi_launch.h"
#include "app/temporary_files.h"
#ifdef KELP_SAE_WITH_MPI
#include "app/mpi/run_on_processes.h"
#endif

int main(int argc, char** argv) {
  // An interrupted run removes its temporary output files.
  kelp_sae::cli::install_temporary_cleanup();
  const auto launch = kelp_sae::cli::mpi_launch();
#ifdef KELP_SAE_WITH_MPI
  if (launch) return kelp_sae::cli::run_on_processes(argc, argv);
#else
  // Without the MPI layer every process would run the whole command and write
  // the same files.
  if (launch && launch->count > 1) {
    if (launch->rank == 0) {
      std::cerr << "error: This kelp-sae was built without MPI: under mpirun each process would "
                   "run the whole bootstrap. Run it without mpirun, or build it with "
                   "-DKELP_SAE_WITH_MPI=ON.\n";
    }
    return 1;
  }
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  return kelp_sae::cli::run(args, {.out = std::cout, .err = std::cerr});
}
