#include "app/mpi_launch.h"

#include <cstdlib>
#include <string>

namespace kelp_sae::cli {
namespace {

int number_from(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr) return fallback;
  try {
    return std::stoi(text);
  } catch (const std::exception&) {
    return fallback;
  }
}

}  // namespace

std::optional<LaunchedProcess> mpi_launch() {
  // Open MPI, then the PMI variables of MPICH-style launchers and Slurm.
  for (const auto& [rank, size] : {std::pair{"OMPI_COMM_WORLD_RANK", "OMPI_COMM_WORLD_SIZE"},
                                   std::pair{"PMI_RANK", "PMI_SIZE"}}) {
    if (std::getenv(size) != nullptr) {
      return LaunchedProcess{.rank = number_from(rank, 0), .count = number_from(size, 1)};
    }
  }
  if (std::getenv("PMIX_RANK") != nullptr) {
    return LaunchedProcess{.rank = number_from("PMIX_RANK", 0), .count = 1};
  }
  return std::nullopt;
}

}  // namespace kelp_sae::cli
