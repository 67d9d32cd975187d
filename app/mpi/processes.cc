#include "app/mpi/processes.h"

#include <mpi.h>

#include "app/temporary_files.h"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kelp_sae::mpi {
namespace {

// How long a waiting process sleeps between looks at its messages: short
// against a batch, long enough that waiting costs no CPU that the computing
// processes (or their threads) could use.
constexpr auto kPollInterval = std::chrono::microseconds(200);

}  // namespace

bool has_message(int source, int tag) {
  int flag = 0;
  MPI_Iprobe(source, tag, MPI_COMM_WORLD, &flag, MPI_STATUS_IGNORE);
  return flag != 0;
}

Processes::Processes(int& argc, char**& argv, std::ostream& err) : err_(err) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
  MPI_Comm_size(MPI_COMM_WORLD, &size_);
}

Processes::~Processes() { MPI_Finalize(); }

std::uint64_t Processes::shared_seed() const {
  std::uint64_t seed = 0;
  if (lead()) {
    std::random_device device;
    seed = (std::uint64_t{device()} << 32 | device()) & std::numeric_limits<std::int64_t>::max();
  }
  // Every process calls this once at the start, before any can fail.
  MPI_Bcast(&seed, 1, MPI_UINT64_T, 0, MPI_COMM_WORLD);
  return seed;
}

void Processes::end_all(int status) const {
  // MPI_Abort ends this process without unwinding: its temporary output
  // files go first.
  cli::remove_remembered_temporaries();
  std::cout.flush();
  err_.flush();
  MPI_Abort(MPI_COMM_WORLD, status);
  std::_Exit(status);  // MPI_Abort does not return
}

std::int64_t Processes::take_messages() const {
  MPI_Status status;
  int flag = 0;
  MPI_Iprobe(MPI_ANY_SOURCE, kTagFailure, MPI_COMM_WORLD, &flag, &status);
  if (flag != 0) end_with_failure_from(status.MPI_SOURCE);
  std::int64_t batches = 0;
  while (has_message(MPI_ANY_SOURCE, kTagProgress)) {
    MPI_Recv(nullptr, 0, MPI_CHAR, MPI_ANY_SOURCE, kTagProgress, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
    ++batches;
  }
  return batches;
}

void Processes::lead_wait(const std::function<bool()>& ready,
                          const std::function<void(std::int64_t)>& on_progress) const {
  for (;;) {
    const std::int64_t batches = take_messages();
    if (batches > 0 && on_progress) on_progress(batches);
    if (ready()) return;
    std::this_thread::sleep_for(kPollInterval);
  }
}

void Processes::follower_wait(const std::function<bool()>& ready) const {
  while (!ready()) std::this_thread::sleep_for(kPollInterval);
}

void Processes::follower_failed(const std::string& error_text, int status) const {
  const std::string payload = std::to_string(status) + '\n' + error_text;
  MPI_Request request;
  MPI_Isend(payload.data(), static_cast<int>(payload.size()), MPI_CHAR, 0, kTagFailure,
            MPI_COMM_WORLD, &request);
  // The lead ends every process once it reads the message; until then this
  // process only keeps the message moving.
  for (;;) {
    int sent = 0;
    if (request != MPI_REQUEST_NULL) MPI_Test(&request, &sent, MPI_STATUS_IGNORE);
    std::this_thread::sleep_for(kPollInterval);
  }
}

void Processes::follower_done() const {
  MPI_Send(nullptr, 0, MPI_CHAR, 0, kTagDone, MPI_COMM_WORLD);
}

int Processes::lead_finish() const {
  int finished = 0;
  lead_wait(
      [&] {
        while (has_message(MPI_ANY_SOURCE, kTagDone)) {
          MPI_Recv(nullptr, 0, MPI_CHAR, MPI_ANY_SOURCE, kTagDone, MPI_COMM_WORLD,
                   MPI_STATUS_IGNORE);
          ++finished;
        }
        return finished == size_ - 1;
      },
      nullptr);
  return 0;
}

void Processes::end_with_failure_from(int source) const {
  MPI_Status status;
  MPI_Probe(source, kTagFailure, MPI_COMM_WORLD, &status);
  int length = 0;
  MPI_Get_count(&status, MPI_CHAR, &length);
  std::vector<char> buffer(static_cast<std::size_t>(length));
  MPI_Recv(buffer.data(), length, MPI_CHAR, source, kTagFailure, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
  const std::string payload(buffer.begin(), buffer.end());
  const std::size_t newline = payload.find('\n');
  int exit_status = 1;
  try {
    exit_status = std::stoi(payload.substr(0, newline));
  } catch (const std::exception&) {
  }
  std::string text = newline == std::string::npos ? "" : payload.substr(newline + 1);
  // The follower's "error: <message>" line, naming the process it came from.
  const std::string prefix = "error: ";
  if (text.compare(0, prefix.size(), prefix) == 0) text.erase(0, prefix.size());
  if (text.empty() || text.back() != '\n') text += '\n';
  err_ << prefix << "process " << source << " of " << size_ << ": " << text;
  end_all(exit_status == 0 ? 1 : exit_status);
}

}  // namespace kelp_sae::mpi
