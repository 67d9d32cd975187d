#include "app/mpi/run_on_processes.h"

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/mpi/mpi_replicate_share.h"
#include "app/mpi/processes.h"

namespace kelp_sae::cli {

int run_on_processes(int& argc, char**& argv) {
  mpi::Processes processes(argc, argv, std::cerr);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const Processes run_processes{.share = std::make_shared<mpi::MpiReplicateShare>(processes),
                                .lead = processes.lead(),
                                .seed = static_cast<std::int64_t>(processes.shared_seed())};

  if (processes.lead()) {
    const int status = run(args, {.out = std::cout, .err = std::cerr, .processes = &run_processes});
    // The lead's own error line is printed: end the others, wherever they are.
    if (status != 0) processes.end_all(status);
    return processes.lead_finish();
  }
  // A follower writes nothing; its error text goes to the lead.
  std::ostringstream out;
  std::ostringstream err;
  const int status = run(args, {.out = out, .err = err, .processes = &run_processes});
  if (status != 0) processes.follower_failed(err.str(), status);
  processes.follower_done();
  return 0;
}

}  // namespace kelp_sae::cli
