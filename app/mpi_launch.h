// Whether an MPI launcher (Open MPI's mpirun, or a PMI-based one such as
// srun) started this process, read from the environment it sets. Needs no
// MPI library: a program built without the MPI layer uses it to refuse runs
// in which every process would run the whole bootstrap.
#pragma once

#include <optional>

namespace kelp_sae::cli {

struct LaunchedProcess {
  int rank = 0;   // this process, 0 .. count - 1
  int count = 1;  // processes the launcher started
};

// The launcher's numbering of this process, or nothing when no launcher
// started it.
std::optional<LaunchedProcess> mpi_launch();

}  // namespace kelp_sae::cli
