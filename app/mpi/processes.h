// The processes of a run started by an MPI launcher (mpirun -np K kelp-sae
// ...): MPI's lifetime, the run's shared seed, and how a run ends.
//
// Every process runs the whole command on the same input; only the
// bootstrap's replicates are divided (MpiReplicateShare). Process 0, the
// lead, prints and writes; the others are followers and stay silent.
//
// Ending. A failure must end every process promptly, with one "error:" line:
//   - the lead prints its own error and calls end_all(), which ends every
//     process (MPI_Abort) with the run's exit status;
//   - a follower hands its error text to the lead (follower_failed()) and
//     waits to be ended; the lead notices it whenever it waits for or hears
//     from the followers (during the bootstrap, and at the end of the run in
//     lead_finish()), prints it and ends every process.
// A process never blocks in MPI without also watching for failures, so no
// failure leaves the others waiting.
//
// Calls into MPI come from the thread that created Processes only
// (MPI_THREAD_FUNNELED): OpenMP threads never communicate.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

namespace kelp_sae::mpi {

// Whether a message from `source` with `tag` is waiting to be received.
bool has_message(int source, int tag);

// Message tags between the processes.
enum Tag : int {
  kTagProgress = 101,  // a follower finished one batch (no payload)
  kTagRows = 102,      // a follower's bootstrap rows: its count, then the rows
  kTagTotal = 103,     // the lead's completed sum: the sum, then the count
  kTagFailure = 104,   // a follower failed: its exit status, then its error text
  kTagDone = 105,      // a follower finished its run
};

class Processes {
 public:
  // Initialises MPI; `err` is where the lead prints a follower's failure.
  Processes(int& argc, char**& argv, std::ostream& err);
  ~Processes();
  Processes(const Processes&) = delete;
  Processes& operator=(const Processes&) = delete;

  int rank() const { return rank_; }
  int size() const { return size_; }
  bool lead() const { return rank_ == 0; }

  // A seed drawn by the lead and known to every process, for runs without
  // --seed: the processes must draw the same replicates.
  std::uint64_t shared_seed() const;

  // Ends every process at once with exit status `status`.
  [[noreturn]] void end_all(int status) const;

  // Lead: takes the messages followers have sent so far: counts finished
  // batches (returned), and ends the run if a follower failed.
  std::int64_t take_messages() const;
  // Lead: waits until `ready()` is true, taking messages meanwhile;
  // `on_progress(n)` is told each count of batches finished elsewhere.
  void lead_wait(const std::function<bool()>& ready,
                 const std::function<void(std::int64_t)>& on_progress) const;
  // Follower: waits until `ready()` is true (the lead ends the run if it
  // fails meanwhile).
  void follower_wait(const std::function<bool()>& ready) const;

  // Follower: hands its error text and exit status to the lead and waits to
  // be ended.
  [[noreturn]] void follower_failed(const std::string& error_text, int status) const;
  // Follower: tells the lead it finished.
  void follower_done() const;
  // Lead, after its own successful run: waits until every follower finished
  // (a failed one ends the run) and returns 0.
  int lead_finish() const;

 private:
  // Prints a follower's failure message as the run's error and ends the run.
  [[noreturn]] void end_with_failure_from(int source) const;

  int rank_ = 0;
  int size_ = 1;
  std::ostream& err_;
};

}  // namespace kelp_sae::mpi
