// What the user sees of a bootstrap's progress: the default progress
// callback of the model front ends.
//
//   ProgressDisplay display({.desc = "Bootstrap FH", .batch_size = 10, .n_reps = 120});
//   mse_bootstrap_area_fh(..., {.batch_size = 10, .on_progress = display.callback()});
//
// The display is fed (done, total) after each finished batch. With use_bar
// and stderr a terminal: a progress bar on stderr showing "<desc> (Batch
// size: <batch_size>)", unit "batch", count, rate, elapsed and remaining
// time. Otherwise plain lines to `out` (std::cout when null), by `lines`:
//   kHeaderAndEvery: on first use
//       "<fallback>: <n_reps> reps, batch_size=<batch_size>, batches=<total>"
//     then "  Batch <i>/<total> completed." when i % print_every == 1 or
//     i == total;
//   kEveryTenth: "  Batch <i>/<total> completed." when i % max(1, total / 10)
//     == 0;
//   kFirstOfEachTenth: the same line for every batch when total <= 20, else
//     when (i - 1) % (total / 10) == 0 or i == total.
// Disabled: silent. The display must outlive the callbacks it hands out.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>

#include "kelp_sae/core/progress_callback.h"

namespace kelp_sae {

enum class BatchLines { kHeaderAndEvery, kEveryTenth, kFirstOfEachTenth };

struct ProgressDisplayOptions {
  std::string desc = "Bootstrap";
  std::optional<std::string> fallback = std::nullopt;  // header text; defaults to desc
  long print_every = 5;
  std::size_t batch_size = 1;
  std::size_t n_reps = 0;
  bool enabled = true;
  bool use_bar = true;  // the bar when stderr is a terminal
  BatchLines lines = BatchLines::kHeaderAndEvery;
  std::ostream* out = nullptr;  // destination of the plain lines; std::cout when null
};

class ProgressDisplay {
 public:
  // Throws std::invalid_argument when print_every < 1.
  explicit ProgressDisplay(ProgressDisplayOptions options);
  // Ends an unfinished bar's line, so that an abandoned run does not leave
  // the terminal's cursor on it.
  ~ProgressDisplay();
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  // Batch `done` of `total` is finished.
  void operator()(std::size_t done, std::size_t total);
  // A callback that forwards to this display.
  ProgressCallback callback();

 private:
  enum class Mode { kSilent, kBar, kLines };
  void draw_bar(std::size_t done, std::size_t total, bool force);
  ProgressDisplayOptions options_;
  Mode mode_ = Mode::kSilent;
  bool started_ = false;
  bool bar_finished_ = false;
  double start_ = 0.0;      // steady-clock seconds at the first report
  double last_draw_ = 0.0;  // steady-clock seconds of the last redraw
};

}  // namespace kelp_sae
