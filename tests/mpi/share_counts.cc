// MpiReplicateShare under mpirun: the rows and the per-process counts (the
// failed replicates of a bootstrap) of every process reach the lead in
// replicate order, and the totals come back to every process.
//
//   mpirun -np 3 mpi_share_counts
//
// Seven batches of one row each, row b = (b, 1); batch b counts one failure
// when b is even. Every process must end with the sums (21, 7) and the count
// 4; a process that does not prints what it got and the run fails.
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "app/mpi/mpi_replicate_share.h"
#include "app/mpi/processes.h"

int main(int argc, char** argv) {
  using namespace kelp_sae;
  mpi::Processes processes(argc, argv, std::cerr);
  mpi::MpiReplicateShare share(processes);
  const BatchRange mine = share.begin(7);
  std::vector<double> sum(2, 0.0);
  std::int64_t count = 0;
  for (std::int64_t b = mine.first; b < mine.end; ++b) {
    const std::vector<double> row{static_cast<double>(b), 1.0};
    sum[0] += row[0];
    sum[1] += row[1];
    share.add(row);
    count += b % 2 == 0 ? 1 : 0;
    share.batch_done({});
  }
  const std::int64_t total = share.finish(sum, count, {});
  if (sum[0] != 21.0 || sum[1] != 7.0 || total != 4) {
    const std::string got = "process " + std::to_string(processes.rank()) + " ended with sums (" +
                            std::to_string(sum[0]) + ", " + std::to_string(sum[1]) +
                            ") and count " + std::to_string(total) + ", not (21, 7) and 4";
    if (!processes.lead()) processes.follower_failed(got, 1);
    std::cerr << got << '\n';
    processes.end_all(1);
  }
  if (!processes.lead()) {
    processes.follower_done();
    return 0;
  }
  return processes.lead_finish();
}
