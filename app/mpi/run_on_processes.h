// The program under an MPI launcher: `mpirun -np K kelp-sae ebp ...`.
//
// Every process reads the input files itself (a shared file system is the
// usual case on a cluster) and runs the whole command; the bootstrap's
// replicates are divided between the processes, with the numbers of a single
// process. Process 0 prints the report and the progress and writes the
// files. A failure on any process ends every process, with one "error:" line
// from process 0 and the failing exit status.
#pragma once

namespace kelp_sae::cli {

// Runs the program on argv under MPI and returns the exit status.
int run_on_processes(int& argc, char**& argv);

}  // namespace kelp_sae::cli
