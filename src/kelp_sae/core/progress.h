// Progress over bootstrap batches.
//
//   ProgressIterator it({.n_batches = 12, .batch_size = 10, .n_reps = 120,
//                        .enabled = true, .use_bar = true,
//                        .msg = {.desc = "Bootstrap FH"}});
//   for (std::size_t i : it) { run_batch(i); }
//
// Disabled: yields 0 .. n_batches-1 silently. With a bar on a terminal
// (stderr is a tty): a progress bar on stderr showing "<desc> (Batch size:
// <batch_size>)", unit "batch", count, rate, elapsed and remaining time.
// Otherwise plain lines on stdout: on first use
//   "<fallback>: <n_reps> reps, batch_size=<batch_size>, batches=<n_batches>"
// and after batch i+1 is finished "  Batch <i+1>/<n_batches> completed." when
// (i+1) % print_every == 1 or i+1 == n_batches.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>

namespace kelp_sae {

struct ProgressMessage {
  std::string desc = "Bootstrap";
  std::optional<std::string> fallback = std::nullopt;  // defaults to desc
  long print_every = 5;
};

struct ProgressOptions {
  std::size_t n_batches = 0;
  std::size_t batch_size = 1;
  std::size_t n_reps = 0;
  bool enabled = true;
  bool use_bar = true;
  ProgressMessage msg = {};
  // Destination of the plain lines (std::cout when null); for tests.
  std::ostream* out = nullptr;
};

class ProgressIterator {
 public:
  // Throws std::invalid_argument when msg.print_every < 1.
  explicit ProgressIterator(ProgressOptions options);
  ~ProgressIterator();
  ProgressIterator(const ProgressIterator&) = delete;
  ProgressIterator& operator=(const ProgressIterator&) = delete;

  class iterator {
   public:
    using value_type = std::size_t;
    using difference_type = std::ptrdiff_t;
    std::size_t operator*() const { return index_; }
    iterator& operator++();
    bool operator==(const iterator& other) const { return index_ == other.index_; }

   private:
    friend class ProgressIterator;
    iterator(ProgressIterator* owner, std::size_t index) : owner_(owner), index_(index) {}
    ProgressIterator* owner_;
    std::size_t index_;
  };

  iterator begin();
  iterator end();

 private:
  void on_batch_done(std::size_t index);
  struct State;
  ProgressOptions options_;
  State* state_ = nullptr;
};

}  // namespace kelp_sae
