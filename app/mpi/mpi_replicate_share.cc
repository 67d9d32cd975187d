#include "app/mpi/mpi_replicate_share.h"

#include <mpi.h>

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>

namespace kelp_sae::mpi {
namespace {

// Messages larger than an int can count are sent in pieces of this many
// doubles.
constexpr std::size_t kPiece = std::size_t{1} << 26;

// Sends `data` to `dest` in pieces, watching `wait` between looks, so that a
// large send never blocks a process that must keep watching for failures.
template <typename Wait>
void send_doubles(std::span<const double> data, int dest, int tag, Wait wait) {
  std::size_t offset = 0;
  do {
    const std::size_t n = std::min(kPiece, data.size() - offset);
    MPI_Request request;
    MPI_Isend(data.data() + offset, static_cast<int>(n), MPI_DOUBLE, dest, tag, MPI_COMM_WORLD,
              &request);
    wait([&] {
      int sent = 0;
      MPI_Test(&request, &sent, MPI_STATUS_IGNORE);
      return sent != 0;
    });
    offset += n;
  } while (offset < data.size());
}

// Receives what send_doubles sent: `count` doubles in pieces.
template <typename Wait>
void receive_doubles(std::span<double> data, int source, int tag, Wait wait) {
  std::size_t offset = 0;
  do {
    const std::size_t n = std::min(kPiece, data.size() - offset);
    wait([&] { return has_message(source, tag); });
    MPI_Recv(data.data() + offset, static_cast<int>(n), MPI_DOUBLE, source, tag, MPI_COMM_WORLD,
             MPI_STATUS_IGNORE);
    offset += n;
  } while (offset < data.size());
}

}  // namespace

BatchRange MpiReplicateShare::begin(std::int64_t n_batches) {
  n_batches_ = n_batches;
  done_ = 0;
  // A follower's message starts with its count (set in finish), then its rows.
  rows_.assign(1, 0.0);
  // A follower that failed before the bootstrap ends the run here; one that
  // started early may already have finished batches.
  pending_ = processes_.lead() ? processes_.take_messages() : 0;
  const auto k = static_cast<std::int64_t>(processes_.rank());
  const auto size = static_cast<std::int64_t>(processes_.size());
  // k n / K cannot overflow: n is below 2^32 and K below 2^31.
  return {k * n_batches / size, (k + 1) * n_batches / size};
}

void MpiReplicateShare::add(std::span<const double> row) {
  if (!processes_.lead()) rows_.insert(rows_.end(), row.begin(), row.end());
}

void MpiReplicateShare::advance(std::int64_t batches, const ProgressCallback& progress) {
  // Never past the last batch: progress messages may trail the rows.
  for (std::int64_t i = 0; i < batches && done_ < n_batches_; ++i) {
    ++done_;
    if (progress) progress(static_cast<std::size_t>(done_), static_cast<std::size_t>(n_batches_));
  }
}

void MpiReplicateShare::batch_done(const ProgressCallback& progress) {
  if (processes_.lead()) {
    advance(1 + std::exchange(pending_, 0) + processes_.take_messages(), progress);
  } else {
    MPI_Send(nullptr, 0, MPI_CHAR, 0, kTagProgress, MPI_COMM_WORLD);
  }
}

std::int64_t MpiReplicateShare::finish(std::span<double> sum, std::int64_t count,
                                       const ProgressCallback& progress) {
  const std::size_t width = sum.size();
  if (!processes_.lead()) {
    // The count leads the rows; the completed sum comes back with the total
    // count at its end.
    if (rows_.empty()) rows_.assign(1, 0.0);
    rows_[0] = static_cast<double>(count);
    const auto wait = [&](const auto& ready) { processes_.follower_wait(ready); };
    const double length = static_cast<double>(rows_.size());
    send_doubles(std::span<const double>(&length, 1), 0, kTagRows, wait);
    send_doubles(rows_, 0, kTagRows, wait);
    rows_.clear();
    rows_.shrink_to_fit();
    std::vector<double> total(width + 1);
    receive_doubles(total, 0, kTagTotal, wait);
    std::copy(total.begin(), total.begin() + static_cast<std::ptrdiff_t>(width), sum.begin());
    return static_cast<std::int64_t>(total[width]);
  }

  advance(std::exchange(pending_, 0), progress);
  const auto wait = [&](const auto& ready) {
    processes_.lead_wait(ready, [&](std::int64_t batches) { advance(batches, progress); });
  };
  std::vector<double> rows;
  for (int source = 1; source < processes_.size(); ++source) {
    double length = 0.0;
    receive_doubles(std::span<double>(&length, 1), source, kTagRows, wait);
    rows.resize(static_cast<std::size_t>(length));
    receive_doubles(rows, source, kTagRows, wait);
    if (rows.empty() || (rows.size() - 1) % std::max<std::size_t>(width, 1) != 0) {
      throw std::runtime_error("process " + std::to_string(source) + " sent " +
                               std::to_string(rows.size()) + " values for rows of " +
                               std::to_string(width));
    }
    count += static_cast<std::int64_t>(rows[0]);
    // Element by element, in replicate order: the additions of one process.
    for (std::size_t r = 1; width > 0 && r < rows.size(); r += width) {
      for (std::size_t i = 0; i < width; ++i) sum[i] += rows[r + i];
    }
  }
  // Every batch is done once all rows are in, whatever progress messages
  // are still on their way.
  advance(processes_.take_messages(), progress);
  if (done_ < n_batches_) advance(n_batches_ - done_, progress);
  std::vector<double> total(sum.begin(), sum.end());
  total.push_back(static_cast<double>(count));
  for (int dest = 1; dest < processes_.size(); ++dest) send_doubles(total, dest, kTagTotal, wait);
  return count;
}

}  // namespace kelp_sae::mpi
